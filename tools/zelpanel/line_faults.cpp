#include "line_faults.h"

#include <cstdio>

namespace zelpanel {
namespace {

constexpr std::size_t kMostNoise = 8;

// Noise bytes: anything but 'h' and 'g', so that no run of them, nor a
// trailer's CR LF followed by them, makes a header or a clear command; and
// no white space or NUL, so that the driver counts every one of them.
std::string NoiseAlphabet() {
    std::string alphabet;
    for (int c = 1; c < 256; ++c) {
        const bool whiteSpace = c == ' ' || (c >= '\t' && c <= '\r');
        if (!whiteSpace && c != 'g' && c != 'h') alphabet += static_cast<char>(c);
    }
    return alphabet;
}

// A draw in [0, 1): rate 1 always hits, rate 0 never does.
double Chance(std::mt19937 &rng) { return static_cast<double>(rng()) / 4294967296.0; }

}  // namespace

LineFaults StartLineFaults(const FaultSettings &settings) { return {settings, std::mt19937(settings.seed)}; }

bool AnyFaults(const FaultSettings &settings) { return settings.noise || settings.corruptRate > 0; }

std::string FaultsText(const FaultSettings &settings) {
    std::string text;
    if (settings.noise) text += "--noise ";
    if (settings.corruptRate > 0) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%g", settings.corruptRate);
        text += std::string("--corrupt ") + rate + " ";
    }
    return text + "--fault-seed " + std::to_string(settings.seed);
}

std::string NoiseBytes(std::mt19937 &rng) {
    static const std::string alphabet = NoiseAlphabet();
    std::string noise(1 + rng() % kMostNoise, '\0');
    for (char &c : noise) c = alphabet[rng() % alphabet.size()];
    return noise;
}

FaultedBytes WithLineFaults(LineFaults &faults, std::string_view message) {
    FaultedBytes out;
    if (faults.settings.noise) out.bytes = NoiseBytes(faults.rng);
    out.noiseBytes = out.bytes.size();
    out.bytes += message;
    if (faults.settings.corruptRate <= 0) return out;
    for (char &c : out.bytes) {
        if (Chance(faults.rng) >= faults.settings.corruptRate) continue;
        c = static_cast<char>(static_cast<unsigned char>(c) ^ (1u << (faults.rng() % 8)));
        ++out.corruptedBytes;
    }
    return out;
}

}  // namespace zelpanel
