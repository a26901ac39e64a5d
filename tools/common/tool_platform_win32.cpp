// Windows: the console control handler asks the tool to stop; standard
// output is binary (LF stays LF) and the console shows UTF-8.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tool_cli.h"

namespace zeltools {
namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        RequestStop(event == CTRL_C_EVENT ? kStopInterrupt : kStopTerminate);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void InstallStopHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

// Writing to a closed pipe only fails on Windows.
void IgnoreBrokenPipe() {}

bool LocalCalendar(std::time_t time, std::tm *local) { return localtime_s(local, &time) == 0; }

// Opens the port as the driver does, without sharing, and reads the reason
// Windows gives.
std::string PortOpenProblem(const std::string &name) {
    if (name == "NUL") return "";
    const std::string device = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return "";
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME: return "no such port";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY: return "in use by another program";
        default: return "";
    }
}

}  // namespace zeltools
