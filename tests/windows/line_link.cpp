#include "line_link.h"

#include <cstdio>
#include <cstdlib>

namespace zeltest {
namespace {

std::string LinkDir() {
    const char *dir = std::getenv("ZEL_LINK_DIR");
    return dir != nullptr ? dir : "/tmp/zel-wine-links";
}

// The Unix path as Wine's Z: drive shows it.
std::string DosPath(const std::string &unixPath) {
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/') c = '\\';
    return path;
}

// Not "comN": Windows reads that file name as the device COMN.
std::string LinkPath(int port) { return LinkDir() + "/line" + std::to_string(port); }

// Wine answers a link to a character device with ERROR_INVALID_PARAMETER,
// a missing file with a not-found error.
bool Exists(const std::string &unixPath) {
    if (GetFileAttributesA(DosPath(unixPath).c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

std::string PidFile(int a, int b) { return LinkDir() + "/link-" + std::to_string(a) + "-" + std::to_string(b) + ".pid"; }

bool WaitFor(bool wanted, const std::string &path, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (Exists(path) != wanted) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

}  // namespace

void RunUnix(const std::string &command) {
    std::string line = "/bin/sh -c \"" + command + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

LineLink::LineLink(int portA, int portB) : a_(portA), b_(portB) {
    const std::string options = ",raw,echo=0";
    RunUnix("socat PTY,link=" + LinkPath(a_) + options + " PTY,link=" + LinkPath(b_) + options +
            " </dev/null >/dev/null 2>&1 & echo $! > " + PidFile(a_, b_));
    up_ = WaitFor(true, LinkPath(a_), 5000) && WaitFor(true, LinkPath(b_), 5000);
}

void LineLink::Cut() {
    if (!up_) return;
    RunUnix("kill $(cat " + PidFile(a_, b_) + " 2>/dev/null) 2>/dev/null; rm -f " + PidFile(a_, b_));
    WaitFor(false, LinkPath(a_), 5000);
    WaitFor(false, LinkPath(b_), 5000);
    up_ = false;
}

LineLink::~LineLink() { Cut(); }

PanelPort::PanelPort(int port) {
    const std::string name = "COM" + std::to_string(port);
    const std::string device = port >= 10 ? "\\\\.\\" + name : name;
    handle_ = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
}

PanelPort::~PanelPort() {
    if (Open()) CloseHandle(handle_);
}

void PanelPort::Send(const std::string &bytes) const {
    DWORD done = 0;
    std::size_t at = 0;
    while (at < bytes.size() && WriteFile(handle_, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &done, nullptr))
        at += done;
}

void PanelPort::SendPaced(const std::string &bytes, int baud) const {
    constexpr std::size_t kChunk = 8;
    const double start = NowMs();
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
        const double due = start + static_cast<double>(at) * 10000.0 / baud;
        while (NowMs() < due) Sleep(1);
        Send(bytes.substr(at, kChunk));
    }
}

bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace zeltest
