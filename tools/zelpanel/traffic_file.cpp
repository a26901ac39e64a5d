#include "traffic_file.h"

#include <cstdlib>
#include <sstream>

#include "wire_text.h"

namespace zeltools {
namespace {

// Calls `each(lineNumber, line)` for every line that is not blank or a
// comment; stops at the first false.
template <typename Each>
bool ForEachRecordLine(std::string_view text, std::string *error, Each each) {
    std::size_t start = 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        std::string why;
        if (!each(line.substr(first), &why)) {
            *error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool ParseSeconds(const std::string &word, double *out) {
    if (word.empty()) return false;
    char *end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(value >= 0) || value > 1e7) return false;
    *out = value;
    return true;
}

bool ParseInteger(const std::string &word, int low, int high, int *out) {
    if (word.empty() || word.size() > 9) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    const int value = std::atoi(word.c_str());
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

bool IsAddress(const std::string &word) {
    if (word.size() != 7) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string CaptureLine(double seconds, std::string_view bytes) {
    return "rx " + FormatSeconds(seconds) + " " + QuoteText(bytes);
}

std::string SentLine(int sequence, double seconds, std::string_view bytes, std::string_view description) {
    return "sent " + std::to_string(sequence) + " " + FormatSeconds(seconds) + " " + QuoteText(bytes) + " " +
           std::string(description);
}

std::string ExpectLine(int sequence, std::string_view address, int value) {
    return "expect " + std::to_string(sequence) + " " + std::string(address) + " " + std::to_string(value);
}

bool ParseTimedMessages(std::string_view text, std::vector<TimedText> *messages, std::string *error) {
    std::vector<TimedText> out;
    const bool ok = ForEachRecordLine(text, error, [&](std::string_view line, std::string *why) {
        std::istringstream words{std::string(line)};
        std::string tag;
        words >> tag;
        if (tag == "expect") return true;
        if (tag != "rx" && tag != "sent") {
            *why = "expected rx, sent or expect, found '" + tag + "'";
            return false;
        }
        int sequence = 0;
        std::string word;
        if (tag == "sent" && !(words >> word && ParseInteger(word, 1, 999999999, &sequence))) {
            *why = "sent needs a message number";
            return false;
        }
        TimedText message;
        if (!(words >> word) || !ParseSeconds(word, &message.seconds)) {
            *why = "expected seconds, found '" + word + "'";
            return false;
        }
        std::string rest;
        std::getline(words, rest);
        std::size_t used = 0;
        if (!ParseQuotedText(rest, &message.bytes, &used, why)) return false;
        if (message.bytes.empty()) {
            *why = "empty message";
            return false;
        }
        if (tag == "rx" && rest.find_first_not_of(" \t", used) != std::string::npos) {
            *why = "unexpected text after the message";
            return false;
        }
        if (!out.empty() && message.seconds < out.back().seconds) {
            *why = "time goes backwards";
            return false;
        }
        out.push_back(std::move(message));
        return true;
    });
    if (ok) *messages = std::move(out);
    return ok;
}

bool ParseExpectations(std::string_view text, std::vector<Expectation> *expectations, std::string *error) {
    std::vector<Expectation> out;
    const bool ok = ForEachRecordLine(text, error, [&](std::string_view line, std::string *why) {
        std::istringstream words{std::string(line)};
        std::string tag, sequence, address, value, extra;
        words >> tag;
        if (tag == "rx" || tag == "sent") return true;
        if (tag != "expect") {
            *why = "expected rx, sent or expect, found '" + tag + "'";
            return false;
        }
        Expectation e;
        words >> sequence >> address >> value;
        if (!ParseInteger(sequence, 1, 999999999, &e.sequence) || !IsAddress(address) ||
            !ParseInteger(value, 0, 255, &e.value) || (words >> extra)) {
            *why = "expected: expect SEQ ADDRESS VALUE";
            return false;
        }
        e.address = address;
        out.push_back(std::move(e));
        return true;
    });
    if (ok) *expectations = std::move(out);
    return ok;
}

}  // namespace zeltools
