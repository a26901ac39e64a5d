#include "panel_message.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <sstream>

#include "wire_text.h"

namespace zelpanel {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// Header: CR LF, ten 'h' (nine are required), one character the driver does
// not interpret, then the record count.
constexpr std::string_view kHeader = "\r\nhhhhhhhhhhS";
constexpr std::string_view kTrailer = "\r\n";
constexpr std::string_view kClearCommand = "gggggggggg";
constexpr int kLastReadablePoint = 150;
constexpr int kLastClearedPoint = 149;

struct NameInfo {
    EventName name;
    const char *word;
    int firstPoint;  // range of `point=`; -1: no point key
    int lastPoint;
};

constexpr NameInfo kNames[] = {
    {EventName::Ckt, "ckt", 130, 133},     {EventName::Shorted, "shorted", 140, 149},
    {EventName::Battery, "battery", -1, -1}, {EventName::Bit0, "bit0", 0, 255},
    {EventName::Bit1, "bit1", 0, 255},
};

const NameInfo *InfoOf(EventName name) {
    for (const NameInfo &info : kNames)
        if (info.name == name) return &info;
    return nullptr;
}

std::string Trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return std::string(text.substr(b, e - b));
}

bool ParseNumber(const std::string &text, int base, int low, int high, int *out) {
    if (text.empty() || text.size() > 4) return false;
    int value = 0;
    for (char c : text) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : (base == 16 && std::isxdigit(static_cast<unsigned char>(c)))
                          ? std::toupper(static_cast<unsigned char>(c)) - 'A' + 10
                          : -1;
        if (d < 0) return false;
        value = value * base + d;
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

std::string Range(int low, int high) { return std::to_string(low) + "-" + std::to_string(high); }

bool ParseEvent(const std::string &text, PanelEvent *event, std::string *error) {
    std::istringstream words(text);
    std::string first;
    words >> first;
    PanelEvent e;
    const NameInfo *info = nullptr;
    bool anyKind = false;
    if (first.rfind("kind=", 0) == 0) {
        anyKind = true;
        e.name = EventName::Kind;
        if (!ParseNumber(first.substr(5), 16, 0, 15, &e.kind)) {
            *error = "kind must be one hex digit 0-F in '" + zeltools::ShownText(text) + "'";
            return false;
        }
    } else {
        for (const NameInfo &candidate : kNames)
            if (first == candidate.word) info = &candidate;
        if (info == nullptr) {
            *error = "unknown event '" + zeltools::ShownText(first, 24) + "' (ckt, shorted, battery, bit0, bit1, kind=K, clear, raw)";
            return false;
        }
        e.name = info->name;
    }
    bool haveBus = false, haveSlot = e.name == EventName::Battery, havePoint = e.name == EventName::Battery;
    if (anyKind) havePoint = false;
    std::string word;
    while (words >> word) {
        const std::size_t eq = word.find('=');
        const std::string key = eq == std::string::npos ? word : word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "bus") {
            if (!ParseNumber(value, 10, 1, 8, &e.bus)) {
                *error = "bus must be 1-8 in '" + zeltools::ShownText(text) + "'";
                return false;
            }
            haveBus = true;
        } else if (key == "slot" && e.name != EventName::Battery) {
            if (!ParseNumber(value, 10, 1, 8, &e.slot)) {
                *error = "slot must be 1-8 in '" + zeltools::ShownText(text) + "'";
                return false;
            }
            haveSlot = true;
        } else if (key == "point" && info != nullptr && info->firstPoint >= 0) {
            if (!ParseNumber(value, 10, info->firstPoint, info->lastPoint, &e.point)) {
                *error = std::string("point of ") + info->word + " must be " +
                         Range(info->firstPoint, info->lastPoint) + " in '" + zeltools::ShownText(text) + "'";
                return false;
            }
            havePoint = true;
        } else if (key == "code" && anyKind) {
            if (value.size() > 2 || !ParseNumber(value, 16, 0, 255, &e.code)) {
                *error = "code must be two hex digits 00-FF in '" + zeltools::ShownText(text) + "'";
                return false;
            }
            havePoint = true;
        } else {
            *error = "unexpected '" + zeltools::ShownText(word, 24) + "' in '" + zeltools::ShownText(text) + "'";
            return false;
        }
    }
    if (!haveBus || !haveSlot || !havePoint) {
        const std::string needs = e.name == EventName::Battery ? "bus=" : anyKind ? "bus=, slot= and code=" : "bus=, slot= and point=";
        *error = "'" + zeltools::ShownText(text) + "' needs " + needs;
        return false;
    }
    *event = e;
    return true;
}

}  // namespace

WireRecord RecordOf(const PanelEvent &e) {
    WireRecord r{e.bus - 1, 0, e.slot - 1, 0};
    switch (e.name) {
        case EventName::Ckt: r.kind = 3; r.code = e.point - 130; break;
        case EventName::Shorted: r.kind = 2; r.code = e.point - 140; break;
        // The Battery point: kind 2, panel slot digit 0, point code 08.
        case EventName::Battery: r.kind = 2; r.slotDigit = 0; r.code = 8; break;
        case EventName::Bit0: r.kind = 0; r.code = e.point; break;
        case EventName::Bit1: r.kind = 8; r.code = e.point; break;
        case EventName::Kind: r.kind = e.kind; r.code = e.code; break;
    }
    return r;
}

std::string RecordText(const WireRecord &r) {
    std::string text;
    text += static_cast<char>('0' + r.busDigit);
    text += kHexDigits[r.kind & 0xF];
    text += "000";
    text += static_cast<char>('0' + r.slotDigit);
    text += kHexDigits[(r.code >> 4) & 0xF];
    text += kHexDigits[r.code & 0xF];
    text.append(16, '0');
    return text;
}

std::string WireText(const PanelMessage &message) {
    switch (message.type) {
        case MessageType::Clear: return std::string(kClearCommand) + std::string(kTrailer);
        case MessageType::Raw: return message.raw;
        case MessageType::Events: break;
    }
    std::string text(kHeader);
    text += kHexDigits[message.events.size() & 0xF];
    for (const PanelEvent &e : message.events) text += RecordText(RecordOf(e));
    text += kTrailer;
    return text;
}

std::string Describe(const PanelEvent &e) {
    char text[64];
    if (e.name == EventName::Kind) {
        std::snprintf(text, sizeof text, "kind=%X bus=%d slot=%d code=%02X", e.kind, e.bus, e.slot, e.code);
    } else if (e.name == EventName::Battery) {
        std::snprintf(text, sizeof text, "battery bus=%d", e.bus);
    } else {
        std::snprintf(text, sizeof text, "%s bus=%d slot=%d point=%d", InfoOf(e.name)->word, e.bus, e.slot, e.point);
    }
    return text;
}

std::string Describe(const PanelMessage &message) {
    switch (message.type) {
        case MessageType::Clear: return "clear";
        case MessageType::Raw: return "raw " + zeltools::QuoteText(message.raw);
        case MessageType::Events: break;
    }
    std::string text;
    for (const PanelEvent &e : message.events) text += (text.empty() ? "" : "; ") + Describe(e);
    return text;
}

bool ParseMessage(std::string_view input, PanelMessage *message, std::string *error) {
    const std::string text = Trim(input);
    PanelMessage m;
    if (text == "clear") {
        m.type = MessageType::Clear;
        *message = m;
        return true;
    }
    if (text.rfind("raw", 0) == 0 && (text.size() == 3 || std::isspace(static_cast<unsigned char>(text[3])))) {
        m.type = MessageType::Raw;
        std::size_t used = 0;
        std::string why;
        if (!zeltools::ParseQuotedText(std::string_view(text).substr(3), &m.raw, &used, &why)) {
            *error = "raw: " + why;
            return false;
        }
        if (!Trim(std::string_view(text).substr(3 + used)).empty()) {
            *error = "raw takes one quoted text and nothing after it";
            return false;
        }
        if (m.raw.empty()) {
            *error = "raw text is empty";
            return false;
        }
        *message = m;
        return true;
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = Trim(std::string_view(text).substr(start, end - start));
        if (part.empty()) {
            *error = text.empty() ? "empty event" : "empty event in '" + zeltools::ShownText(text) + "'";
            return false;
        }
        if (part == "clear" || part.rfind("raw", 0) == 0) {
            *error = "clear and raw are messages of their own, not joined with ';'";
            return false;
        }
        PanelEvent e;
        if (!ParseEvent(part, &e, error)) return false;
        m.events.push_back(e);
        start = end + 1;
    }
    if (m.events.size() > kMaxRecords) {
        *error = "a message holds at most 15 events";
        return false;
    }
    *message = m;
    return true;
}

std::string AddressText(int bus, int slot, int point) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%03d", bus, slot, point);
    return text;
}

std::vector<PointChange> ApplyMessage(TableModel &model, const PanelMessage &message, bool *predicted) {
    *predicted = message.type != MessageType::Raw;
    std::map<std::string, int> before = model.values;
    if (message.type == MessageType::Clear) {
        // The clear command empties points 0-149 of every row; 150 stays.
        for (auto it = model.values.begin(); it != model.values.end();)
            it = std::stoi(it->first.substr(4)) <= kLastClearedPoint ? model.values.erase(it) : std::next(it);
    } else if (message.type == MessageType::Events) {
        for (const PanelEvent &e : message.events) {
            const WireRecord r = RecordOf(e);
            int point = -1, set = 0, add = 0;
            switch (r.kind) {
                case 0: point = r.code; add = 1; break;
                case 8: point = r.code; add = 2; break;
                case 2: point = r.code < 10 ? 140 + r.code : r.code; set = 1; break;
                case 3: point = r.code < 4 ? 130 + r.code : r.code; set = 1; break;
                default: break;  // kinds without meaning change nothing
            }
            if (point < 0 || point > kLastReadablePoint) continue;
            const std::string address = AddressText(r.busDigit + 1, r.slotDigit + 1, point);
            int &value = model.values[address];
            value = set != 0 ? set : (value | add);
        }
    }
    std::vector<PointChange> changes;
    for (const auto &[address, value] : model.values)
        if (auto it = before.find(address); it == before.end() || it->second != value) changes.push_back({address, value});
    for (const auto &[address, value] : before)
        if (model.values.find(address) == model.values.end()) changes.push_back({address, 0});
    std::sort(changes.begin(), changes.end(), [](const PointChange &a, const PointChange &b) { return a.address < b.address; });
    return changes;
}

}  // namespace zelpanel
