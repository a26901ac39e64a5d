// Linux binding. KorMkClient, KorGetKorvanVer and KorRmClient have names of
// their own and bind to the host library directly. `err` does not: glibc
// has an err(3) of its own that prints and exits, and a host that loads the
// driver with dlopen has libc in the global scope, which is searched before
// the driver's own dependencies. So `err` is looked up in the host library's
// own handle, never by plain name.
#include "host_services.h"

#include <dlfcn.h>

#include "korvan.h"

namespace zel {
namespace {

using ErrFunction = int (*)(int, const char *, ...);

// Used when the host library cannot be found: a line that has nowhere to go
// is dropped, which is better than calling glibc's err and exiting.
int DropLogLine(int, const char *, ...) { return 0; }

ErrFunction LookUpIn(void *handle) {
    if (handle == nullptr) return nullptr;
    auto *fn = reinterpret_cast<ErrFunction>(dlsym(handle, "err"));
    dlclose(handle);
    return fn;
}

ErrFunction FindHostErr() {
    // The host library under the name the driver was linked against.
    if (ErrFunction fn = LookUpIn(dlopen(ZEL_HOST_LIBRARY_NAME, RTLD_LAZY | RTLD_NOLOAD))) return fn;
    // Otherwise the object that holds KorMkClient, whatever its file name.
    // Accept it only when it is defined in that same object.
    Dl_info host{};
    if (dladdr(reinterpret_cast<void *>(&KorMkClient), &host) != 0 && host.dli_fname != nullptr) {
        ErrFunction fn = LookUpIn(dlopen(host.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
        Dl_info found{};
        if (fn != nullptr && dladdr(reinterpret_cast<void *>(fn), &found) != 0 &&
            found.dli_fbase == host.dli_fbase)
            return fn;
    }
    return &DropLogLine;
}

}  // namespace

const HostServices &Host() {
    static const HostServices services{FindHostErr(), &KorMkClient, &KorGetKorvanVer, &KorRmClient};
    return services;
}

}  // namespace zel
