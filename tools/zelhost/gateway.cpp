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

// Home Assistant's binary sensor device classes.
constexpr const char *kDeviceClasses[] = {
    "battery", "battery_charging", "carbon_monoxide", "cold", "connectivity", "door", "garage_door", "gas",
    "heat", "light", "lock", "moisture", "motion", "moving", "occupancy", "opening", "plug", "power",
    "presence", "problem", "running", "safety", "smoke", "sound", "tamper", "update", "vibration", "window"};

bool KnownDeviceClass(const std::string &name) {
    for (const char *known : kDeviceClasses)
        if (name == known) return true;
    return false;
}

std::string ChannelTopic(const Gateway &gateway, std::size_t channel) {
    return gateway.prefix + "/" + std::to_string(gateway.channels[channel].number);
}

const NamedPoint *NameOf(const GatewayChannel &channel, const std::string &address) {
    for (const NamedPoint &point : channel.named)
        if (point.address == address) return &point;
    return nullptr;
}

// Letters, digits and '_': what a discovery id may hold.
std::string IdOf(std::string_view text) {
    std::string id(text);
    for (char &c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c = '_';
    return id;
}

// One device per gateway: two gateways on one host are two devices.
std::string DeviceJson(const Gateway &gateway) {
    return ",\"device\":{\"identifiers\":[" + JsonString(IdOf(gateway.prefix)) + "],\"name\":" +
           JsonString("Fire panels " + gateway.prefix) + ",\"model\":\"ZELWNQX\"}";
}

// The prefix, the channel and what is named: unique among gateways.
std::string UniqueId(const Gateway &gateway, std::size_t channel, const std::string &what) {
    return IdOf(gateway.prefix + "_" + std::to_string(gateway.channels[channel].number) + "_" + what);
}

std::string ConfigTopic(const Gateway &gateway, const std::string &id) {
    return gateway.discoveryPrefix + "/binary_sensor/" + id + "/config";
}

std::string StatusAvailability(const Gateway &gateway) {
    return "{\"topic\":" + JsonString(StatusTopic(gateway)) +
           ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"}";
}

// A channel's line as a connectivity sensor.
Publication LineDiscoveryConfig(const Gateway &gateway, std::size_t channel) {
    const std::string number = std::to_string(gateway.channels[channel].number);
    const std::string id = UniqueId(gateway, channel, "line");
    const std::string config = "{\"name\":" + JsonString("Panel line " + number) + ",\"unique_id\":" + JsonString(id) +
                               ",\"state_topic\":" + JsonString(ChannelTopic(gateway, channel) + "/line") +
                               ",\"payload_on\":\"up\",\"payload_off\":\"lost\",\"device_class\":\"connectivity\"" +
                               ",\"availability\":[" + StatusAvailability(gateway) + "]" + DeviceJson(gateway) + "}";
    return {ConfigTopic(gateway, id), config, 1, true};
}

Publication DiscoveryConfig(const Gateway &gateway, std::size_t channel, const NamedPoint &point) {
    const std::string id = UniqueId(gateway, channel, point.address);
    std::string config = "{\"name\":" + JsonString(point.name) + ",\"unique_id\":" + JsonString(id) +
                         ",\"state_topic\":" + JsonString(ChannelTopic(gateway, channel) + "/point/" + point.address) +
                         ",\"value_template\":\"{{ 'ON' if value | int > 0 else 'OFF' }}\"" +
                         // What a point's bits mean is the panel's setting: a class only when the file gives one.
                         (point.deviceClass.empty() ? std::string() : ",\"device_class\":" + JsonString(point.deviceClass)) +
                         // Known only while the gateway runs and the panel's line is up.
                         ",\"availability_mode\":\"all\",\"availability\":[" + StatusAvailability(gateway) +
                         ",{\"topic\":" + JsonString(ChannelTopic(gateway, channel) + "/line") +
                         ",\"payload_available\":\"up\",\"payload_not_available\":\"lost\"}]" + DeviceJson(gateway) + "}";
    return {ConfigTopic(gateway, id), config, 1, true};
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
        if (fields.size() < 2 || fields.size() > 4) return fail("expected address,name[,type[,device class]]");
        NamedPoint point{fields[0], fields[1], AddressTypeOf(fields[0]), fields.size() == 4 ? fields[3] : ""};
        if (!IsAddressText(point.address)) return fail("'" + point.address + "' is not a seven-digit address BBSSPPP");
        if (point.type == "-") return fail(point.address + " is not a tag address of any type");
        if (!IsUtf8(point.name)) return fail("the name is not UTF-8: save the file as UTF-8");
        if (!UsableName(point.name))
            return fail("name '" + point.name + "' must be 1-64 characters without '/', '+', '#' or control characters");
        if (fields.size() >= 3 && !fields[2].empty() && fields[2] != point.type)
            return fail(point.address + " is a " + point.type + " point, not " + fields[2]);
        if (!point.deviceClass.empty() && !KnownDeviceClass(point.deviceClass))
            return fail("'" + point.deviceClass + "' is not a Home Assistant binary sensor device class (smoke, heat, "
                        "problem, safety, battery, ...)");
        if (!names.insert(point.name).second) return fail("name '" + point.name + "' is given twice");
        if (!addresses.insert(point.address).second) return fail(point.address + " is named twice");
        read.push_back(point);
    }
    points->insert(points->end(), read.begin(), read.end());
    return true;
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::string PrefixProblem(const std::string &prefix) {
    if (prefix.empty()) return "--prefix may not be empty";
    if (!IsUtf8(prefix)) return "--prefix is not UTF-8";
    if (prefix.front() == '$') return "--prefix may not begin with '$' (the broker's own topics)";
    if (prefix.back() == '/') return "--prefix may not end with '/'";
    if (prefix.find_first_of("+#") != std::string::npos) return "--prefix may not hold '+' or '#'";
    return "";
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
        const std::string base = ChannelTopic(gateway, c);
        for (const NamedPoint &point : gateway.channels[c].named) start.push_back({base + "/named/" + point.name, "0", 1, true});
        if (!gateway.homeAssistant) continue;
        start.push_back(LineDiscoveryConfig(gateway, c));
        for (const NamedPoint &point : gateway.channels[c].named) start.push_back(DiscoveryConfig(gateway, c, point));
    }
    return start;
}

std::string PrefixFilter(const Gateway &gateway) { return gateway.prefix + "/#"; }

std::string DiscoveryFilter(const Gateway &gateway) { return gateway.discoveryPrefix + "/binary_sensor/+/config"; }

std::vector<Publication> StaleClears(const Gateway &gateway, const std::vector<HeldTopic> &held) {
    const std::string under = gateway.prefix + "/";
    // Every config of this gateway names its status topic first.
    const std::string ours = "\"availability\":[{\"topic\":" + JsonString(StatusTopic(gateway)) + ",";
    std::vector<Publication> clears;
    for (const HeldTopic &h : held) {
        const bool mine = h.topic.compare(0, under.size(), under) == 0 || h.payload.find(ours) != std::string::npos;
        if (mine && gateway.retained.count(h.topic) == 0) clears.push_back({h.topic, "", 1, true});
    }
    return clears;
}

Publication DiagnosticChange(const Gateway &gateway, std::size_t channel, const std::string &name, int value) {
    return {ChannelTopic(gateway, channel) + "/diag/" + name, std::to_string(value), 1, true};
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
        // An empty retained payload clears the topic: nothing to keep.
        if (p.retain && p.payload.empty()) gateway.retained.erase(p.topic);
        if (p.retain && !p.payload.empty()) gateway.retained[p.topic] = p.payload;
        // Events keep their order: none goes out while older ones wait.
        const bool mayGoNow = p.retain || gateway.queued.empty();
        if (mayGoNow && publisher.connected(publisher.context) &&
            publisher.publish(publisher.context, p) != Sent::kAway)
            continue;
        if (!p.retain) Queue(gateway, p);
    }
}

bool Resend(Gateway &gateway, const Publisher &publisher, std::size_t *dropped) {
    *dropped = gateway.dropped;
    gateway.dropped = 0;
    // A publication the client refuses is skipped (it logged why): the
    // rest still goes out, and the queue always drains.
    for (const auto &[topic, payload] : gateway.retained)
        if (publisher.publish(publisher.context, {topic, payload, 1, true}) == Sent::kAway) return false;
    while (!gateway.queued.empty()) {
        if (publisher.publish(publisher.context, gateway.queued.front()) == Sent::kAway) return false;
        gateway.queued.pop_front();
    }
    return true;
}

}  // namespace zelhost
