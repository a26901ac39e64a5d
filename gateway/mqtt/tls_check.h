// Why a TLS connection to the broker failed its certificate check: the TLS
// library behind the MQTT client says only "certificate verify failed",
// which reads the same for a broker signed by another CA as for a
// certificate that names another host. A handshake of our own, with the
// same CA file and the same host, asks OpenSSL which check failed.
#pragma once

#include <string>

namespace zelhost {

// One line naming the failed check, or empty when the handshake passed or
// could not be made.
std::string TlsVerifyProblem(const std::string &host, int port, const std::string &caFile);

}  // namespace zelhost
