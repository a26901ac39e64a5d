#include "http_view.h"

#include <algorithm>
#include <cstdio>

#include "event_json.h"
#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {
namespace {

// The word a line event gives a change from `from` to `to`, as monitor's
// event history writes them.
const char *LineEventWord(LineState from, LineState to) {
    switch (to) {
        case LineState::kLost: return "lost";
        case LineState::kSilent: return "silent";
        case LineState::kNoPort: return "no port";
        default: return from == LineState::kSilent ? "up" : "back";
    }
}

void Keep(HttpView &view, std::string json) {
    view.events.push_back({++view.lastId, std::move(json)});
    while (view.events.size() > kHttpRecentEvents) view.events.pop_front();
    ++view.version;
}

void Mark(std::map<std::string, WalkMark> &marks, const OutputPoint &point) {
    WalkMark &mark = marks[point.address];
    if (mark.changes++ == 0) mark.first = point.when;
    mark.last = point.when;
    mark.value = point.after;
}

std::string TypeJson(const std::string &address) {
    const std::string type = AddressTypeOf(address);
    return type == "-" ? "null" : JsonString(type);
}

// "address":...,"bus":B,"slot":S,"point":P,"type":...
std::string AddressFields(const std::string &address) {
    const auto number = [&](std::size_t at, std::size_t digits) { return std::to_string(std::stoi(address.substr(at, digits))); };
    return "\"address\":" + JsonString(address) + ",\"bus\":" + number(0, 2) + ",\"slot\":" + number(2, 2) +
           ",\"point\":" + number(4, 3) + ",\"type\":" + TypeJson(address);
}

std::string NameField(const ViewChannel &channel, const std::string &address) {
    const NamedPoint *named = NamedPointAt(channel.named, address);
    return named != nullptr ? ",\"name\":" + JsonString(named->name) : "";
}

std::string MarkFields(const WalkMark &mark) {
    return ",\"changes\":" + std::to_string(mark.changes) + ",\"first\":" + JsonString(zeltools::UtcTimeText(mark.first)) +
           ",\"last\":" + JsonString(zeltools::UtcTimeText(mark.last)) + ",\"value\":" + std::to_string(mark.value);
}

std::string WalkJson(const ViewChannel &c) {
    std::string reported, never, unlisted;
    for (const NamedPoint &point : c.named) {
        const auto it = c.reported.find(point.address);
        std::string &list = it != c.reported.end() ? reported : never;
        list += (list.empty() ? "{" : ",{") + AddressFields(point.address) + ",\"name\":" + JsonString(point.name) +
                (it != c.reported.end() ? MarkFields(it->second) : "") + "}";
    }
    for (const auto &[address, mark] : c.unlisted)
        unlisted += (unlisted.empty() ? "{" : ",{") + AddressFields(address) + MarkFields(mark) + "}";
    return "{\"named\":" + std::to_string(c.named.size()) + ",\"reported\":[" + reported + "],\"never\":[" + never +
           "],\"unlisted\":[" + unlisted + "]}";
}

std::string ChannelJson(const ViewChannel &c) {
    std::string points;
    for (const auto &[address, value] : c.active)
        points += (points.empty() ? "{" : ",{") + AddressFields(address) + ",\"kind\":" +
                  JsonString(PointKind(AddressTypeOf(address))) + ",\"value\":" + std::to_string(value) +
                  NameField(c, address) + "}";
    return "{\"channel\":" + std::to_string(c.number) + ",\"port\":" + JsonString(c.port) +
           ",\"line\":" + JsonString(LineStateWord(c.line)) + ",\"silenceLimit\":" + std::to_string(c.silenceLimit) +
           ",\"diag\":{\"LINK\":" + std::to_string(c.link) + ",\"SILENCE\":" + std::to_string(c.silence) +
           ",\"MESSAGES\":" + std::to_string(c.messages) + ",\"LOSSES\":" + std::to_string(c.losses) +
           ",\"NOISE\":" + std::to_string(c.noise) + ",\"KNOWN\":" + std::to_string(c.known) + "},\"points\":[" + points +
           "]" + (c.named.empty() ? "" : ",\"walk\":" + WalkJson(c)) + "}";
}

// A label value of the text format: backslash, quote and line feed escaped.
std::string Label(const std::string &text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

struct Metric {
    std::string &text;
    // The HELP and TYPE lines of one family, once.
    void Family(const char *name, const char *type, const char *help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const char *name, const std::string &labels, unsigned long long value) {
        text += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
};

std::string ChannelLabels(const ViewChannel &c) {
    return "channel=\"" + std::to_string(c.number) + "\",port=\"" + Label(c.port) + "\"";
}

}  // namespace

const char *PointKind(const std::string &type) {
    if (type == "CKT" || type == "Regular") return "alarm";
    if (type == "Line Shorted" || type == "Battery") return "trouble";
    return "other";
}

HttpView StartView(const OutputStart &start) {
    HttpView view;
    view.run = start.run;
    view.hostName = start.hostName;
    for (const OutputChannel &c : start.channels) {
        ViewChannel channel;
        channel.number = c.number;
        channel.port = c.port;
        channel.silenceLimit = c.silenceLimit;
        channel.named = c.named;
        view.channels.push_back(std::move(channel));
    }
    return view;
}

void NotePoint(HttpView &view, const OutputPoint &point) {
    if (point.channel >= view.channels.size()) return;
    ViewChannel &c = view.channels[point.channel];
    if (point.after != 0) c.active[point.address] = point.after;
    else c.active.erase(point.address);
    Mark(NamedPointAt(c.named, point.address) != nullptr ? c.reported : c.unlisted, point);
    Keep(view, point.eventJson);
}

bool NoteLine(HttpView &view, std::size_t channel, LineState state, std::chrono::system_clock::time_point when) {
    if (channel >= view.channels.size()) return false;
    ViewChannel &c = view.channels[channel];
    if (c.line == state) return false;
    const char *word = LineEventWord(c.line, state);
    c.line = state;
    Keep(view, LineEventJson(when, c.number, c.port, word));
    return true;
}

void NoteDiagnostics(HttpView &view, const OutputDiagnostics &d) {
    if (d.channel >= view.channels.size()) return;
    ViewChannel &c = view.channels[d.channel];
    const int before[] = {c.link, c.silence, c.messages, c.losses, c.noise, c.known};
    c.link = d.link;
    c.silence = d.silence;
    c.messages = d.messages;
    c.losses = d.losses;
    c.noise = d.noise;
    c.known = d.known;
    const int after[] = {c.link, c.silence, c.messages, c.losses, c.noise, c.known};
    if (!std::equal(std::begin(before), std::end(before), std::begin(after))) ++view.version;
    NoteLine(view, d.channel, LineStateOf(d.link, d.silence, c.silenceLimit), d.when);
}

void NoteCounters(HttpView &view, const OutputCounters &counters) { view.counters = counters; }

std::string StateJson(const HttpView &view) {
    std::string channels;
    for (const ViewChannel &c : view.channels) channels += (channels.empty() ? "" : ",") + ChannelJson(c);
    return "{\"run\":" + JsonString(view.run) + ",\"host\":" + JsonString(view.hostName) +
           ",\"last\":" + std::to_string(view.lastId) + ",\"channels\":[" + channels + "]}";
}

std::string EventElementJson(const ViewEvent &event) {
    return "{\"id\":" + std::to_string(event.id) + ",\"event\":" + event.json + "}";
}

std::string EventsJson(const HttpView &view, unsigned long long after, std::size_t limit) {
    // The events are numbered without gaps: the first above `after` is found by arithmetic.
    const unsigned long long oldest = view.events.empty() ? view.lastId + 1 : view.events.front().id;
    std::size_t from = after < oldest ? 0 : static_cast<std::size_t>(after - oldest + 1);
    from = std::min(from, view.events.size());
    if (view.events.size() - from > limit) from = view.events.size() - limit;
    std::string list;
    for (std::size_t i = from; i < view.events.size(); ++i) list += (list.empty() ? "" : ",") + EventElementJson(view.events[i]);
    return "{\"run\":" + JsonString(view.run) + ",\"last\":" + std::to_string(view.lastId) +
           ",\"oldest\":" + std::to_string(oldest) + ",\"events\":[" + list + "]}";
}

std::string SseFrame(const char *event, unsigned long long id, const std::string &data) {
    return std::string("event: ") + event + "\n" + (id != 0 ? "id: " + std::to_string(id) + "\n" : "") + "data: " + data +
           "\n\n";
}

std::string MetricsText(const HttpView &view, const HttpFigures &figures) {
    std::string text;
    Metric m{text};
    m.Family("zelwnqx_channel_line_state", "gauge",
             "The channel's line state: 1 for the state it is in (up, lost, no port, silent), 0 for the others.");
    for (const ViewChannel &c : view.channels)
        for (const LineState s : {LineState::kUp, LineState::kLost, LineState::kNoPort, LineState::kSilent})
            m.Sample("zelwnqx_channel_line_state", ChannelLabels(c) + ",state=\"" + LineStateWord(s) + "\"", c.line == s);
    m.Family("zelwnqx_channel_silence_seconds", "gauge", "Seconds since the channel's last message (SILENCE, at most 65535).");
    for (const ViewChannel &c : view.channels) m.Sample("zelwnqx_channel_silence_seconds", ChannelLabels(c), c.silence);
    m.Family("zelwnqx_channel_messages_total", "counter",
             "Messages the driver applied since the channel opened (MESSAGES, modulo 65536).");
    for (const ViewChannel &c : view.channels) m.Sample("zelwnqx_channel_messages_total", ChannelLabels(c), c.messages);
    m.Family("zelwnqx_channel_losses_total", "counter", "Losses of the channel's serial device since it opened (LOSSES).");
    for (const ViewChannel &c : view.channels) m.Sample("zelwnqx_channel_losses_total", ChannelLabels(c), c.losses);
    m.Family("zelwnqx_channel_noise_bytes_total", "counter",
             "Bytes on the channel's line that belonged to no message since it opened (NOISE).");
    for (const ViewChannel &c : view.channels) m.Sample("zelwnqx_channel_noise_bytes_total", ChannelLabels(c), c.noise);
    m.Family("zelwnqx_channel_states_known", "gauge",
             "1 once the panel's clear has made the channel's states known (KNOWN), 0 until the panel is reset.");
    for (const ViewChannel &c : view.channels) m.Sample("zelwnqx_channel_states_known", ChannelLabels(c), c.known);
    m.Family("zelwnqx_channel_active_points", "gauge", "Points of the channel not at 0, by the address's type.");
    for (const ViewChannel &c : view.channels) {
        std::map<std::string, unsigned long long> byType{{"CKT", 0}, {"Regular", 0}, {"Line Shorted", 0}, {"Battery", 0}};
        for (const auto &[address, value] : c.active) {
            const std::string type = AddressTypeOf(address);
            ++byType[type == "-" ? "none" : type];
        }
        for (const auto &[type, count] : byType)
            m.Sample("zelwnqx_channel_active_points", ChannelLabels(c) + ",type=\"" + Label(type) + "\"", count);
    }
    m.Family("zelwnqx_gateway_events_total", "counter", "Point changes and line events the gateway has seen since its start.");
    m.Sample("zelwnqx_gateway_events_total", "", view.lastId);
    if (view.counters.mqtt) {
        m.Family("zelwnqx_gateway_mqtt_published_total", "counter", "Publications the MQTT broker client took.");
        m.Sample("zelwnqx_gateway_mqtt_published_total", "", view.counters.published);
        m.Family("zelwnqx_gateway_mqtt_unacknowledged", "gauge", "QoS 1 publications the broker has not acknowledged yet.");
        m.Sample("zelwnqx_gateway_mqtt_unacknowledged", "", view.counters.unacknowledged);
    }
    if (view.counters.modbus) {
        m.Family("zelwnqx_gateway_modbus_requests_total", "counter", "Modbus TCP requests the gateway answered.");
        m.Sample("zelwnqx_gateway_modbus_requests_total", "", view.counters.modbusRequests);
    }
    m.Family("zelwnqx_gateway_http_clients", "gauge", "HTTP connections open now (event streams included).");
    m.Sample("zelwnqx_gateway_http_clients", "", static_cast<unsigned long long>(std::max(figures.clients, 0)));
    m.Family("zelwnqx_gateway_http_requests_total", "counter", "HTTP requests the gateway answered.");
    m.Sample("zelwnqx_gateway_http_requests_total", "", figures.requests);
    return text;
}

}  // namespace zelhost
