// Linux binding. KorMkClient, KorGetKorvanVer and KorRmClient have names of
// their own and bind to the host library directly. `err` does not: glibc
// has an err(3) of its own that prints and exits, and a host that loads the
// driver with dlopen has libc in the global scope, which is searched before
// the driver's own dependencies. So `err` is looked up in the host library's
// own handle, never by plain name.
#include "host_services.h"

#include <dlfcn.h>

#include <initializer_list>

#include "korvan.h"

namespace zel {
namespace {

using ErrFunction = int (*)(int, const char *, ...);

// Used when the host library cannot be found: a line that has nowhere to go
// is dropped, which is better than calling glibc's err and exiting.
int DropLogLine(int, const char *, ...) { return 0; }

// The host library's own `err`: looked up through the library's handle,
// first under the name the driver was linked against, then under the path
// of the object that defines KorMkClient, and accepted only when it lies in
// that object. dlsym on a handle also searches the object's dependencies,
// libc among them, so a library without `err` would otherwise hand back
// glibc's.
ErrFunction FindHostErr() {
    Dl_info host{};
    if (dladdr(reinterpret_cast<void *>(&KorMkClient), &host) == 0 || host.dli_fname == nullptr) return &DropLogLine;
    for (const char *path : {ZEL_HOST_LIBRARY_NAME, host.dli_fname}) {
        void *handle = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) continue;
        auto *fn = reinterpret_cast<ErrFunction>(dlsym(handle, "err"));
        Dl_info found{};
        const bool hostsOwn =
            fn != nullptr && dladdr(reinterpret_cast<void *>(fn), &found) != 0 && found.dli_fbase == host.dli_fbase;
        dlclose(handle);
        if (hostsOwn) return fn;
    }
    return &DropLogLine;
}

}  // namespace

const HostServices &Host() {
    static const HostServices services{FindHostErr(), &KorMkClient, &KorGetKorvanVer, &KorRmClient};
    return services;
}

}  // namespace zel
