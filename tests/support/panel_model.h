// A model of what the panel's messages do to the status table, written
// apart from the driver's decoder, and random panel traffic built with it:
// event messages (some cut short), clear commands and line noise, each
// applied to the model as the panel means it.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zeltest {

using Table = std::array<uint8_t, 9 * 9 * 155>;

struct Event {
    int bus, kind, slot, code;  // panel digits and codes
};

void ApplyToModel(Table &table, const Event &event);
void ClearModel(Table &table);
// An event message with all its records.
std::string Encode(const std::vector<Event> &events);
// Whether a driver table (read atomically) equals the model.
bool SameAsModel(const uint8_t *table, const Table &model);

// One transmission after another, each applied to the model. A message cut
// short (fewer records than its count says) is never followed by noise,
// which would run into its record positions; anything else may follow
// anything.
class PanelTraffic {
public:
    explicit PanelTraffic(unsigned seed) : random_(seed) {}
    std::string Next(Table &model);
    std::mt19937 &Random() { return random_; }

private:
    Event RandomEvent();
    std::mt19937 random_;
    bool lastCutShort_ = false;
};

}  // namespace zeltest
