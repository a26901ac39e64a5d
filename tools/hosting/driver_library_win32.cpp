// Windows: LoadLibraryA and GetProcAddress, as the host loads the DLL.
#include <windows.h>

#include "driver_library.h"

namespace zelhost {
namespace {

std::string LastErrorText() {
    const DWORD code = GetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) out.pop_back();
    return (out.empty() ? "error" : out) + " (" + std::to_string(code) + ")";
}

}  // namespace

// Beside zelhost.exe; failing that, in the folder above, where the release
// zip puts the driver (its tools lie in a folder of their own, with the
// KORVAN stand-in that must never lie beside the host's driver).
std::string DefaultDriverPath() {
    char self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self, n);
    const std::size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    const std::string beside = dir + "\\ZELWNQX.DLL";
    const std::size_t up = dir.find_last_of("\\/");
    if (up == std::string::npos || GetFileAttributesA(beside.c_str()) != INVALID_FILE_ATTRIBUTES) return beside;
    const std::string above = dir.substr(0, up) + "\\ZELWNQX.DLL";
    return GetFileAttributesA(above.c_str()) != INVALID_FILE_ATTRIBUTES ? above : beside;
}

bool LoadDriverLibrary(const std::string &path, DriverLibrary *library, std::string *error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        *error = "cannot load the driver " + path + ": " + LastErrorText();
        return false;
    }
    auto zelMain = reinterpret_cast<ZelMainFunction>(reinterpret_cast<void *>(GetProcAddress(module, "ZelMain")));
    if (zelMain == nullptr) {
        FreeLibrary(module);
        *error = path + " is not the driver: it has no ZelMain";
        return false;
    }
    *library = {path, module, zelMain};
    return true;
}

}  // namespace zelhost
