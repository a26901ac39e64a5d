#include "mqtt_topics.h"

#include <cstdio>
#include <set>

#include "event_json.h"
#include "host_session.h"
#include "traffic_file.h"
#include "zelwnqx.h"

namespace zelhost {
namespace {

std::string ChannelTopic(const Gateway &gateway, std::size_t channel) {
    return gateway.prefix + "/" + std::to_string(gateway.channels[channel].number);
}

std::string LineTopic(const Gateway &gateway, std::size_t channel) { return ChannelTopic(gateway, channel) + "/line"; }

Publication LinePublication(const Gateway &gateway, std::size_t channel, LineState state) {
    return {LineTopic(gateway, channel), LineStateWord(state), 1, true};
}

bool IsDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsTagName(std::string_view text) {
    return !text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string_view::npos;
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
                               ",\"state_topic\":" + JsonString(LineTopic(gateway, channel)) +
                               // On only while up: silent, lost and no port are all off.
                               ",\"value_template\":\"{{ 'ON' if value == 'up' else 'OFF' }}\",\"device_class\":\"connectivity\"" +
                               ",\"availability\":[" + StatusAvailability(gateway) + "]" + DeviceJson(gateway) + "}";
    return {ConfigTopic(gateway, id), config, 1, true};
}

// Whether a named point's state is known: "1" once the channel's states are
// known or the point has had a change of its own since the start.
std::string KnownTopic(const Gateway &gateway, std::size_t channel, const std::string &address) {
    return ChannelTopic(gateway, channel) + "/known/" + address;
}

Publication DiscoveryConfig(const Gateway &gateway, std::size_t channel, const NamedPoint &point) {
    const std::string id = UniqueId(gateway, channel, point.address);
    std::string config = "{\"name\":" + JsonString(point.name) + ",\"unique_id\":" + JsonString(id) +
                         ",\"state_topic\":" + JsonString(ChannelTopic(gateway, channel) + "/point/" + point.address) +
                         ",\"value_template\":\"{{ 'ON' if value | int > 0 else 'OFF' }}\"" +
                         // What a point's bits mean is the panel's setting: a class only when the file gives one.
                         (point.deviceClass.empty() ? std::string() : ",\"device_class\":" + JsonString(point.deviceClass)) +
                         // Known to be current only while the gateway runs and the panel's line is up:
                         // a silent or lost line leaves its points unavailable.
                         ",\"availability_mode\":\"all\",\"availability\":[" + StatusAvailability(gateway) +
                         ",{\"topic\":" + JsonString(LineTopic(gateway, channel)) +
                         ",\"value_template\":\"{{ 'online' if value == 'up' else 'offline' }}\"" +
                         ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"}" +
                         // Nor before the panel's reset, unless the point reported since the start.
                         ",{\"topic\":" + JsonString(KnownTopic(gateway, channel, point.address)) +
                         ",\"payload_available\":\"1\",\"payload_not_available\":\"0\"}]" + DeviceJson(gateway) + "}";
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
        start.push_back(LinePublication(gateway, c, LineState::kUp));
        const std::string base = ChannelTopic(gateway, c);
        for (const NamedPoint &point : gateway.channels[c].named) {
            start.push_back({base + "/named/" + point.name, "0", 1, true});
            // OpenChannel leaves the table at 0, not at the panel's states.
            start.push_back({KnownTopic(gateway, c, point.address), "0", 1, true});
        }
        if (!gateway.homeAssistant) continue;
        start.push_back(LineDiscoveryConfig(gateway, c));
        for (const NamedPoint &point : gateway.channels[c].named) start.push_back(DiscoveryConfig(gateway, c, point));
    }
    return start;
}

std::string PrefixFilter(const Gateway &gateway) { return gateway.prefix + "/#"; }

std::string DiscoveryFilter(const Gateway &gateway) { return gateway.discoveryPrefix + "/binary_sensor/+/config"; }

bool IsOwnTopic(const std::string &prefix, std::string_view topic) {
    if (topic.size() <= prefix.size() || topic.compare(0, prefix.size(), prefix) != 0 || topic[prefix.size()] != '/')
        return false;
    std::string_view rest = topic.substr(prefix.size() + 1);
    if (rest == "status") return true;
    const std::size_t channelEnd = rest.find('/');
    if (channelEnd == std::string_view::npos || !IsDigits(rest.substr(0, channelEnd))) return false;
    rest = rest.substr(channelEnd + 1);
    if (rest == "line") return true;
    const std::size_t kindEnd = rest.find('/');
    if (kindEnd == std::string_view::npos) return false;
    const std::string_view kind = rest.substr(0, kindEnd), leaf = rest.substr(kindEnd + 1);
    if (leaf.empty() || leaf.find('/') != std::string_view::npos) return false;
    if (kind == "point" || kind == "known") return leaf.size() == 7 && IsDigits(leaf);
    if (kind == "named") return true;
    if (kind == "diag") return IsTagName(leaf);
    return false;
}

std::vector<Publication> StaleClears(const Gateway &gateway, const std::vector<HeldTopic> &held) {
    // Every config of this gateway names its status topic first.
    const std::string ours = "\"availability\":[{\"topic\":" + JsonString(StatusTopic(gateway)) + ",";
    std::vector<Publication> clears;
    for (const HeldTopic &h : held) {
        const bool mine = IsOwnTopic(gateway.prefix, h.topic) || h.payload.find(ours) != std::string::npos;
        if (mine && gateway.retained.count(h.topic) == 0) clears.push_back({h.topic, "", 1, true});
    }
    return clears;
}

std::vector<Publication> DiagnosticChanges(const Gateway &gateway, std::size_t channel, const std::vector<TagValue> &tags,
                                           std::chrono::steady_clock::time_point now, ShownTags &shown) {
    std::vector<Publication> changes;
    for (const TagValue &tag : tags) {
        const auto it = shown.find(tag.name);
        if (it != shown.end() && it->second.value == tag.value) continue;
        if (it != shown.end() && tag.name == ZEL_TAG_SILENCE && now - it->second.when < kSilencePublishedEvery) continue;
        shown[tag.name] = {tag.value, now};
        changes.push_back({ChannelTopic(gateway, channel) + "/diag/" + tag.name, std::to_string(tag.value), 1, true});
    }
    return changes;
}

PointEvent NumberPointEvent(Gateway &gateway, std::size_t channel, const std::string &address, int before, int after,
                            std::chrono::system_clock::time_point when) {
    GatewayChannel &c = gateway.channels[channel];
    return {when, c.number, c.port, address, NamedPointAt(c.named, address), before, after, gateway.run, ++c.seq, c.known};
}

std::vector<Publication> PointChange(Gateway &gateway, std::size_t channel, const PointEvent &event) {
    GatewayChannel &c = gateway.channels[channel];
    const std::string base = ChannelTopic(gateway, channel);
    const std::string value = std::to_string(event.after);
    std::vector<Publication> changes{{base + "/point/" + event.address, value, 1, true}};
    const NamedPoint *named = event.named;
    if (named != nullptr) changes.push_back({base + "/named/" + named->name, value, 1, true});
    if (named != nullptr && c.heard.insert(event.address).second && !c.known)
        changes.push_back({KnownTopic(gateway, channel, event.address), "1", 1, true});
    changes.push_back({base + "/events", PointEventJson(event), 1, false});
    return changes;
}

std::vector<Publication> PointChange(Gateway &gateway, std::size_t channel, const std::string &address, int before,
                                     int after, std::chrono::system_clock::time_point when) {
    return PointChange(gateway, channel, NumberPointEvent(gateway, channel, address, before, after, when));
}

std::vector<Publication> KnownChange(Gateway &gateway, std::size_t channel, bool known) {
    GatewayChannel &c = gateway.channels[channel];
    if (c.known == known) return {};
    c.known = known;
    std::vector<Publication> changes;
    for (const NamedPoint &point : c.named)
        if (c.heard.count(point.address) == 0) changes.push_back({KnownTopic(gateway, channel, point.address), known ? "1" : "0", 1, true});
    return changes;
}

std::vector<Publication> LineChange(const Gateway &gateway, std::size_t channel, int link, int silenceSeconds) {
    const Publication line =
        LinePublication(gateway, channel, LineStateOf(link, silenceSeconds, gateway.channels[channel].silenceLimit));
    const auto held = gateway.retained.find(line.topic);
    if (held != gateway.retained.end() && held->second == line.payload) return {};
    return {line};
}

void Deliver(Gateway &gateway, const Publisher &publisher, const std::vector<Publication> &publications) {
    for (const Publication &p : publications) {
        // An empty retained payload clears the topic: nothing to keep.
        if (p.retain && p.payload.empty()) gateway.retained.erase(p.topic);
        if (p.retain && !p.payload.empty()) gateway.retained[p.topic] = p.payload;
        // Events keep their order: none goes out while older ones wait.
        const bool mayGoNow = p.retain || gateway.queued.empty();
        if (mayGoNow && publisher.connected(publisher.context)) {
            const Sent sent = publisher.publish(publisher.context, p);
            if (sent == Sent::kTaken) ++gateway.published;
            if (sent != Sent::kAway) continue;
        }
        if (!p.retain) Queue(gateway, p);
    }
}

bool Resend(Gateway &gateway, const Publisher &publisher, std::size_t *dropped) {
    *dropped = gateway.dropped;
    gateway.dropped = 0;
    // A publication the client refuses is skipped (it logged why): the
    // rest still goes out, and the queue always drains.
    for (const auto &[topic, payload] : gateway.retained) {
        const Sent sent = publisher.publish(publisher.context, {topic, payload, 1, true});
        if (sent == Sent::kAway) return false;
        gateway.published += sent == Sent::kTaken;
    }
    while (!gateway.queued.empty()) {
        const Sent sent = publisher.publish(publisher.context, gateway.queued.front());
        if (sent == Sent::kAway) return false;
        gateway.published += sent == Sent::kTaken;
        gateway.queued.pop_front();
    }
    return true;
}

}  // namespace zelhost
