#include "gateway.h"

#include <cstdio>
#include <set>

#include "event_json.h"
#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {
namespace {

std::string ChannelTopic(const Gateway &gateway, std::size_t channel) {
    return gateway.prefix + "/" + std::to_string(gateway.channels[channel].number);
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
    const NamedPoint *named = NamedPointAt(gateway.channels[channel].named, address);
    if (named != nullptr) changes.push_back({base + "/named/" + named->name, value, 1, true});
    const std::string event = PointEventJson(
        {when, gateway.channels[channel].number, gateway.channels[channel].port, address, named, before, after});
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
