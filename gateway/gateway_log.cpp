#include "gateway_log.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "traffic_file.h"

namespace zelhost {

void GatewayLog(const std::string &text) {
    static std::mutex lock;
    const std::string time = zeltools::UtcTimeText(std::chrono::system_clock::now());
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "%s zelhost: %s\n", time.c_str(), text.c_str());
    std::fflush(stderr);
}

int GatewayFail(const std::string &text, int code) {
    GatewayLog(text);
    return code;
}

}  // namespace zelhost
