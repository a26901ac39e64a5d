#include "event_json.h"

#include <cstdint>
#include <cstdio>
#include <random>

#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': json += "\\\""; break;
            case '\\': json += "\\\\"; break;
            case '\n': json += "\\n"; break;
            case '\r': json += "\\r"; break;
            case '\t': json += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    json += escaped;
                } else {
                    json += static_cast<char>(c);
                }
        }
    }
    return json + "\"";
}

std::string PointEventJson(const PointEvent &e) {
    const std::string type = AddressTypeOf(e.address);
    return "{\"time\":" + JsonString(zeltools::UtcTimeText(e.when)) + ",\"channel\":" + std::to_string(e.channel) +
           ",\"port\":" + JsonString(e.port) + ",\"address\":" + JsonString(e.address) +
           ",\"type\":" + (type == "-" ? std::string("null") : JsonString(type)) +
           (e.named != nullptr ? ",\"name\":" + JsonString(e.named->name) : std::string()) +
           ",\"old\":" + std::to_string(e.before) + ",\"new\":" + std::to_string(e.after) +
           (e.run.empty() ? std::string()
                          : ",\"run\":" + JsonString(e.run) + ",\"seq\":" + std::to_string(e.seq) +
                                ",\"known\":" + (e.known ? "true" : "false")) +
           "}";
}

std::string NewRunId() {
    std::random_device entropy;
    const uint64_t high = entropy(), low = entropy();
    const uint64_t clock = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(((high << 32) | low) ^ clock));
    return text;
}

std::string LineEventJson(std::chrono::system_clock::time_point when, int channel, const std::string &port,
                          std::string_view line) {
    return "{\"time\":" + JsonString(zeltools::UtcTimeText(when)) + ",\"channel\":" + std::to_string(channel) +
           ",\"port\":" + JsonString(port) + ",\"line\":" + JsonString(line) + "}";
}

std::string MonitorEventJson(std::chrono::system_clock::time_point when, bool start, const std::vector<std::string> &ports) {
    std::string list;
    for (const std::string &port : ports) list += (list.empty() ? "" : ",") + JsonString(port);
    return "{\"time\":" + JsonString(zeltools::UtcTimeText(when)) + ",\"monitor\":" + (start ? "\"start\"" : "\"stop\"") +
           ",\"ports\":[" + list + "]}";
}

}  // namespace zelhost
