// A host library that has the three client functions but no `err`: the
// driver must then drop its log lines, never bind glibc's err(3) (which a
// lookup through the library's handle finds among its dependencies, and
// which ends the process).
#include "korvan.h"

extern "C" {

int KorMkClient(const char *, int, int, unsigned short *clientId) {
    if (clientId != nullptr) *clientId = 1;
    return 0;
}

int KorGetKorvanVer(unsigned short, unsigned short *version, void *) {
    if (version != nullptr) *version = 820;
    return 0;
}

int KorRmClient(unsigned short) { return 0; }

}  // extern "C"
