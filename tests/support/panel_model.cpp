#include "panel_model.h"

#include <atomic>
#include <cstdio>

namespace zeltest {
namespace {

std::size_t Index(int bus, int slot, int point) { return static_cast<std::size_t>(bus) * 1395 + slot * 155 + point; }

std::string RecordText(const Event &e) {
    char record[25];
    std::snprintf(record, sizeof record, "%d%X000%d%02X%016d", e.bus, e.kind, e.slot, e.code, 0);
    return record;
}

std::string Header(std::size_t count) { return std::string("\r\nhhhhhhhhhhS") + "0123456789ABCDEF"[count]; }

}  // namespace

void ApplyToModel(Table &table, const Event &e) {
    const int bus = e.bus + 1, slot = e.slot + 1;
    int point = e.code;
    if (e.kind == 2 && e.code <= 9) point = 140 + e.code;
    if (e.kind == 3 && e.code <= 3) point = 130 + e.code;
    if (bus > 8 || slot > 8 || point > 154) return;
    uint8_t &entry = table[Index(bus, slot, point)];
    switch (e.kind) {
        case 0: entry |= 1; break;
        case 8: entry |= 2; break;
        case 2:
        case 3: entry = 1; break;
        default: break;
    }
}

void ClearModel(Table &table) {
    for (int row = 0; row < 81; ++row)
        for (int point = 0; point < 150; ++point) table[row * 155 + point] = 0;
}

std::string Encode(const std::vector<Event> &events) {
    std::string text = Header(events.size());
    for (const Event &e : events) text += RecordText(e);
    return text;
}

bool SameAsModel(const uint8_t *table, const Table &model) {
    for (std::size_t i = 0; i < model.size(); ++i)
        if (std::atomic_ref<const uint8_t>(table[i]).load() != model[i]) return false;
    return true;
}

Event PanelTraffic::RandomEvent() {
    static const int kKinds[] = {0, 2, 3, 8, 0, 2, 3, 8, 1, 5};
    return {static_cast<int>(random_() % 10), kKinds[random_() % 10], static_cast<int>(random_() % 10),
            static_cast<int>(random_() % 256)};
}

std::string PanelTraffic::Next(Table &model) {
    const unsigned pick = random_() % 20;
    const bool cutShortBefore = lastCutShort_;
    lastCutShort_ = false;
    if (pick == 0) {
        ClearModel(model);
        return "gggggggggg";
    }
    if (pick == 1 && !cutShortBefore) {
        // Noise: no CR, so no header, and no 'g', so no clear command.
        std::string noise(1 + random_() % 200, ' ');
        for (char &c : noise) {
            c = static_cast<char>(random_() % 256);
            if (c == '\r' || c == 'g') c = '.';
        }
        return noise;
    }
    std::vector<Event> events(random_() % 16);
    for (Event &e : events) e = RandomEvent();
    if (pick != 2 || events.empty()) {
        for (const Event &e : events) ApplyToModel(model, e);
        return Encode(events);
    }
    // Cut short: some records whole, perhaps part of the next; a record
    // cut before its eighth character sets nothing.
    const std::size_t whole = random_() % events.size();
    std::string text = Header(events.size());
    for (std::size_t i = 0; i < whole; ++i) {
        ApplyToModel(model, events[i]);
        text += RecordText(events[i]);
    }
    const std::size_t part = random_() % 24;
    text += RecordText(events[whole]).substr(0, part);
    if (part >= 8) ApplyToModel(model, events[whole]);
    lastCutShort_ = true;
    return text;
}

}  // namespace zeltest
