// The host library's services as the driver reaches them: one table of
// function pointers, filled by the platform's binding (host_services_*.cpp).
#pragma once

namespace zel {

struct HostServices {
    int (*err)(int level, const char *format, ...);
    int (*mkClient)(const char *name, int a, int b, unsigned short *clientId);
    int (*getVersion)(unsigned short clientId, unsigned short *version, void *area100);
    int (*rmClient)(unsigned short clientId);
};

// Log levels of the host's err.
inline constexpr int kLogTrace = 8;
inline constexpr int kLogNotice = 32;

// The bound services. The first call binds them; OpenChannel makes that call
// so that no binding work happens later on the reception thread.
const HostServices &Host();

}  // namespace zel
