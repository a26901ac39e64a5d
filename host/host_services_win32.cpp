// Windows binding: the driver imports the four functions from KORVAN.DLL.
#include "host_services.h"

#include "korvan.h"

namespace zel {

const HostServices &Host() {
    static const HostServices services{&err, &KorMkClient, &KorGetKorvanVer, &KorRmClient};
    return services;
}

}  // namespace zel
