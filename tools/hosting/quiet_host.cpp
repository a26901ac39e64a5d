// The host services of the driver's decoder as zelhost links it to follow
// each message: the decoder's traces go nowhere here, since the text being
// decoded came from the driver's own trace of it.
#include "host_services.h"

namespace zel {
namespace {

int NoLog(int, const char *, ...) { return 0; }
int NoClient(const char *, int, int, unsigned short *) { return 1; }
int NoVersion(unsigned short, unsigned short *, void *) { return 1; }
int NoRemoval(unsigned short) { return 1; }

}  // namespace

const HostServices &Host() {
    static const HostServices quiet{NoLog, NoClient, NoVersion, NoRemoval};
    return quiet;
}

}  // namespace zel
