#include "panel_script.h"

#include <cstdlib>
#include <random>
#include <set>
#include <tuple>

#include "wire_text.h"

namespace zelpanel {
namespace {

constexpr double kLongestWait = 3600;

std::string_view TrimView(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The rest of the line after `word` when the line starts with that word.
bool Keyword(std::string_view line, std::string_view word, std::string *rest) {
    if (line.rfind(word, 0) != 0 || (line.size() > word.size() && line[word.size()] != ' ' && line[word.size()] != '\t'))
        return false;
    *rest = std::string(TrimView(line.substr(word.size())));
    return true;
}

bool SecondsOf(const std::string &value, double *seconds) {
    char *end = nullptr;
    *seconds = std::strtod(value.c_str(), &end);
    return !value.empty() && *end == '\0' && *seconds >= 0 && *seconds <= kLongestWait;
}

}  // namespace

bool ParseScriptLine(std::string_view input, std::vector<ScriptStep> *steps, std::string *error) {
    const std::string_view line = TrimView(input);
    if (line.empty() || line.front() == '#') return true;
    ScriptStep step;
    std::string value;
    if (Keyword(line, "wait", &value)) {
        if (!SecondsOf(value, &step.waitSeconds)) {
            *error = "wait needs seconds 0-3600, found '" + zeltools::ShownText(value, 24) + "'";
            return false;
        }
        step.isWait = true;
    } else if (Keyword(line, "pause", &value)) {
        if (!value.empty() && !SecondsOf(value, &step.pauseSeconds)) {
            *error = "pause needs seconds 0-3600 or nothing, found '" + zeltools::ShownText(value, 24) + "'";
            return false;
        }
        step.isPause = true;
    } else if (!ParseMessage(line, &step.message, error)) {
        return false;
    }
    steps->push_back(std::move(step));
    return true;
}

bool ParseScript(std::string_view text, std::vector<ScriptStep> *steps, std::string *error) {
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        ++number;
        std::string why;
        if (!ParseScriptLine(text.substr(start, end - start), steps, &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::vector<PanelMessage> RandomTraffic(uint32_t seed, int count, int maxEvents, bool withClears) {
    // mt19937 is the same everywhere; the distributions of the standard
    // library are not, so numbers are taken by remainder.
    std::mt19937 generator(seed);
    auto pick = [&](int low, int high) { return low + static_cast<int>(generator() % (high - low + 1)); };
    std::vector<PanelMessage> messages;
    for (int m = 0; m < count; ++m) {
        PanelMessage message;
        if (withClears && m > 0 && pick(1, 10) == 1) {
            message.type = MessageType::Clear;
            messages.push_back(message);
            continue;
        }
        const int events = pick(1, maxEvents);
        std::set<std::tuple<int, int, int>> used;  // one event per point and message
        while (static_cast<int>(message.events.size()) < events) {
            PanelEvent e;
            e.name = static_cast<EventName>(pick(0, 4));
            e.bus = pick(1, 8);
            e.slot = pick(1, 8);
            switch (e.name) {
                case EventName::Ckt: e.point = pick(130, 133); break;
                case EventName::Shorted: e.point = pick(140, 143); break;
                case EventName::Battery: e.slot = 1; e.point = 148; break;
                default: e.point = pick(1, 127); break;
            }
            if (used.insert({e.bus, e.slot, e.point}).second) message.events.push_back(e);
        }
        messages.push_back(message);
    }
    return messages;
}

}  // namespace zelpanel
