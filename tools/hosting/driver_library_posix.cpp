// Linux: dlopen with local binding, as a host loads a driver.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include "driver_library.h"

namespace zelhost {

std::string DefaultDriverPath() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = ".";
    if (n > 0) {
        dir.assign(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return dir + "/libzelwnqx.so";
}

bool LoadDriverLibrary(const std::string &path, DriverLibrary *library, std::string *error) {
    // A bare file name would be searched on the library path, not here.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        *error = "cannot load the driver " + path + ": " + (why != nullptr ? why : "unknown reason");
        return false;
    }
    auto zelMain = reinterpret_cast<ZelMainFunction>(dlsym(handle, "ZelMain"));
    if (zelMain == nullptr) {
        dlclose(handle);
        *error = path + " is not the driver: it has no ZelMain";
        return false;
    }
    *library = {path, handle, zelMain};
    return true;
}

}  // namespace zelhost
