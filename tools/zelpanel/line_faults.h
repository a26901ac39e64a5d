// Line faults for practice: what a wrong baud rate or a bad cable does to
// the panel's bytes, so that an engineer can see it at the host on a
// pseudo-terminal, which ignores line settings. Reproducible from a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace zelpanel {

struct FaultSettings {
    double corruptRate = 0;  // chance of each byte sent having one bit flipped, 0-1
    bool noise = false;      // garbage bytes before each message
    uint32_t seed = 1;
};

struct LineFaults {
    FaultSettings settings;
    std::mt19937 rng;
};

// What goes on the line for one message: the noise, then the message, with
// whatever bytes of both were corrupted.
struct FaultedBytes {
    std::string bytes;
    std::size_t noiseBytes = 0;
    std::size_t corruptedBytes = 0;
};

LineFaults StartLineFaults(const FaultSettings &settings);
bool AnyFaults(const FaultSettings &settings);
// The options that give these faults: "--noise --corrupt 0.01 --fault-seed 1".
std::string FaultsText(const FaultSettings &settings);

// The bytes to send for `message`; each call draws the next faults.
FaultedBytes WithLineFaults(LineFaults &faults, std::string_view message);

// Noise alone: 1-8 bytes that the driver drops as belonging to no message.
std::string NoiseBytes(std::mt19937 &rng);

}  // namespace zelpanel
