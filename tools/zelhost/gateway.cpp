#include "gateway.h"

#include <cstdio>
#include <set>

#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {
namespace {

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = line.find(',', at);
        fields.push_back(Trimmed(std::string_view(line).substr(at, comma == std::string::npos ? std::string::npos : comma - at)));
        if (comma == std::string::npos) return fields;
        at = comma + 1;
    }
}

bool UsableName(const std::string &name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '+' || c == '#') return false;
    return true;
}

std::string ChannelTopic(const Gateway &gateway, std::size_t channel) {
    return gateway.prefix + "/" + std::to_string(gateway.channels[channel].number);
}

const NamedPoint *NameOf(const GatewayChannel &channel, const std::string &address) {
    for (const NamedPoint &point : channel.named)
        if (point.address == address) return &point;
    return nullptr;
}

// Home Assistant's device class for an address type.
const char *DeviceClassOf(const std::string &type) {
    if (type == "Battery") return "battery";
    if (type == "Regular") return "smoke";
    return "problem";
}

// Letters, digits and '_': what a discovery id may hold.
std::string IdOf(std::string_view text) {
    std::string id(text);
    for (char &c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c = '_';
    return id;
}

Publication DiscoveryConfig(const Gateway &gateway, std::size_t channel, const NamedPoint &point) {
    const std::string id = IdOf("zelwnqx_" + gateway.hostName + "_" + std::to_string(gateway.channels[channel].number) +
                                "_" + point.address);
    const std::string device = IdOf("zelwnqx_" + gateway.hostName);
    std::string config = "{\"name\":" + JsonString(point.name) + ",\"unique_id\":" + JsonString(id) +
                         ",\"state_topic\":" + JsonString(ChannelTopic(gateway, channel) + "/point/" + point.address) +
                         ",\"value_template\":\"{{ 'ON' if value | int > 0 else 'OFF' }}\"" +
                         ",\"device_class\":" + JsonString(DeviceClassOf(point.type)) +
                         ",\"availability_topic\":" + JsonString(StatusTopic(gateway)) +
                         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"" +
                         ",\"device\":{\"identifiers\":[" + JsonString(device) + "],\"name\":" +
                         JsonString("Fire panel gateway " + gateway.hostName) + ",\"model\":\"ZELWNQX\"}}";
    return {"homeassistant/binary_sensor/" + id + "/config", config, 1, true};
}

// Adds an event, dropping the oldest beyond the limit.
void Queue(Gateway &gateway, const Publication &event) {
    if (gateway.queueLimit == 0) {
        ++gateway.dropped;
        return;
    }
    while (gateway.queued.size() >= gateway.queueLimit) {
        gateway.queued.pop_front();
        ++gateway.dropped;
    }
    gateway.queued.push_back(event);
}

}  // namespace

bool ParsePointsFile(const std::string &text, std::vector<NamedPoint> *points, std::string *error) {
    std::vector<NamedPoint> read;
    std::set<std::string> names, addresses;
    std::size_t lineNumber = 0, at = 0;
    // A byte-order mark, as Windows editors write one.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
    while (at <= text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = Trimmed(std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() + 1 : end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const auto fail = [&](const std::string &why) {
            *error = "line " + std::to_string(lineNumber) + ": " + why;
            return false;
        };
        const std::vector<std::string> fields = Fields(line);
        if (fields.size() < 2 || fields.size() > 3) return fail("expected address,name or address,name,type");
        NamedPoint point{fields[0], fields[1], AddressTypeOf(fields[0])};
        if (!IsAddressText(point.address)) return fail("'" + point.address + "' is not a seven-digit address BBSSPPP");
        if (point.type == "-") return fail(point.address + " is not a tag address of any type");
        if (!UsableName(point.name))
            return fail("name '" + point.name + "' must be 1-64 characters without '/', '+', '#' or control characters");
        if (fields.size() == 3 && fields[2] != point.type)
            return fail(point.address + " is a " + point.type + " point, not " + fields[2]);
        if (!names.insert(point.name).second) return fail("name '" + point.name + "' is given twice");
        if (!addresses.insert(point.address).second) return fail(point.address + " is named twice");
        read.push_back(point);
    }
    points->insert(points->end(), read.begin(), read.end());
    return true;
}

std::string DefaultPrefix(const std::string &hostName) { return "zelwnqx/" + hostName; }

std::string StatusTopic(const Gateway &gateway) { return gateway.prefix + "/status"; }

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

std::vector<Publication> StartPublications(const Gateway &gateway) {
    std::vector<Publication> start{{StatusTopic(gateway), "online", 1, true}};
    for (std::size_t c = 0; c < gateway.channels.size(); ++c) {
        std::vector<Publication> line = LineChange(gateway, c, true);
        start.insert(start.end(), line.begin(), line.end());
        if (!gateway.homeAssistant) continue;
        for (const NamedPoint &point : gateway.channels[c].named) start.push_back(DiscoveryConfig(gateway, c, point));
    }
    return start;
}

std::vector<Publication> PointChange(const Gateway &gateway, std::size_t channel, const std::string &address, int before,
                                     int after, std::chrono::system_clock::time_point when) {
    const std::string base = ChannelTopic(gateway, channel);
    const std::string value = std::to_string(after);
    std::vector<Publication> changes{{base + "/point/" + address, value, 1, true}};
    const NamedPoint *named = NameOf(gateway.channels[channel], address);
    if (named != nullptr) changes.push_back({base + "/named/" + named->name, value, 1, true});
    const std::string type = AddressTypeOf(address);
    std::string event = "{\"time\":" + JsonString(zeltools::UtcTimeText(when)) +
                        ",\"channel\":" + std::to_string(gateway.channels[channel].number) +
                        ",\"port\":" + JsonString(gateway.channels[channel].port) + ",\"address\":" + JsonString(address) +
                        ",\"type\":" + (type == "-" ? std::string("null") : JsonString(type)) +
                        (named != nullptr ? ",\"name\":" + JsonString(named->name) : std::string()) +
                        ",\"old\":" + std::to_string(before) + ",\"new\":" + value + "}";
    changes.push_back({base + "/events", event, 1, false});
    return changes;
}

std::vector<Publication> LineChange(const Gateway &gateway, std::size_t channel, bool up) {
    return {{ChannelTopic(gateway, channel) + "/line", up ? "up" : "lost", 1, true}};
}

void Deliver(Gateway &gateway, const Publisher &publisher, const std::vector<Publication> &publications) {
    for (const Publication &p : publications) {
        if (p.retain) gateway.retained[p.topic] = p.payload;
        // Events keep their order: none goes out while older ones wait.
        const bool mayGoNow = p.retain || gateway.queued.empty();
        if (mayGoNow && publisher.connected(publisher.context) && publisher.publish(publisher.context, p)) continue;
        if (!p.retain) Queue(gateway, p);
    }
}

bool Resend(Gateway &gateway, const Publisher &publisher, std::size_t *dropped) {
    *dropped = gateway.dropped;
    gateway.dropped = 0;
    for (const auto &[topic, payload] : gateway.retained)
        if (!publisher.publish(publisher.context, {topic, payload, 1, true})) return false;
    while (!gateway.queued.empty()) {
        if (!publisher.publish(publisher.context, gateway.queued.front())) return false;
        gateway.queued.pop_front();
    }
    return true;
}

}  // namespace zelhost
