#include "traffic_file.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "tool_cli.h"
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

// 2025-06-01T10:00:00.123Z
bool IsUtcTime(const std::string &word) {
    static const std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (word.size() != kShape.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (kShape[i] == 'd' ? word[i] < '0' || word[i] > '9' : word[i] != kShape[i]) return false;
    return true;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kCaptureTitle = "# zelhost capture:";
constexpr std::string_view kReportTitle = "# zelpanel report:";
constexpr int kHighestValue = 3;  // bit 0 and bit 1

bool IsAddress(const std::string &word) {
    if (word.size() != 7) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto milliseconds = floor<std::chrono::milliseconds>(time);
    const auto day = floor<days>(milliseconds);
    const year_month_day date{day};
    const hh_mm_ss clock{milliseconds - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text;
}

namespace {

// The local calendar time of `time` and its offset from UTC in minutes.
bool LocalParts(std::chrono::system_clock::time_point time, std::tm *local, int *offsetMinutes) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    if (!LocalCalendar(system_clock::to_time_t(seconds), local)) return false;
    const sys_days day{year{local->tm_year + 1900} / (local->tm_mon + 1) / local->tm_mday};
    const auto asIfUtc = day + hours{local->tm_hour} + minutes{local->tm_min} + std::chrono::seconds{local->tm_sec};
    *offsetMinutes = static_cast<int>(duration_cast<minutes>(asIfUtc - seconds).count());
    return true;
}

std::string OffsetText(int minutes) {
    char text[16];
    const int size = minutes < 0 ? -minutes : minutes;
    std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', size / 60, size % 60);
    return text;
}

}  // namespace

std::string LocalTimeText(std::chrono::system_clock::time_point time) {
    std::tm local{};
    int offset = 0;
    if (!LocalParts(time, &local, &offset)) return UtcTimeText(time);
    const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(time);
    const int fraction = static_cast<int>((milliseconds - std::chrono::floor<std::chrono::seconds>(milliseconds)).count());
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%s", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, fraction, OffsetText(offset).c_str());
    return text;
}

std::string LocalZoneText(std::chrono::system_clock::time_point time) {
    std::tm local{};
    int offset = 0;
    if (!LocalParts(time, &local, &offset)) return "UTC (the system names no local zone)";
    char name[64] = "";
    std::strftime(name, sizeof name, "%Z", &local);
    return (name[0] != '\0' ? std::string(name) + " " : std::string()) + "(UTC" + OffsetText(offset) + ")";
}

std::string CaptureLine(double seconds, std::string_view utc, std::string_view bytes) {
    return "rx " + FormatSeconds(seconds) + " " + (utc.empty() ? "" : std::string(utc) + " ") + QuoteText(bytes);
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
            *why = "expected rx, sent or expect, found '" + ShownText(tag, 24) + "'";
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
            *why = "expected seconds, found '" + ShownText(word, 24) + "'";
            return false;
        }
        if (tag == "rx" && words >> std::ws && words.peek() != '"' && words >> word) {
            if (!IsUtcTime(word)) {
                *why = "expected a UTC time or a quoted text, found '" + ShownText(word, 24) + "'";
                return false;
            }
            message.utc = word;
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
    int received = 0, sent = 0;
    const bool ok = ForEachRecordLine(text, error, [&](std::string_view line, std::string *why) {
        std::istringstream words{std::string(line)};
        std::string tag, sequence, address, value, extra;
        words >> tag;
        received += tag == "rx" ? 1 : 0;
        sent += tag == "sent" ? 1 : 0;
        if (tag == "rx" || tag == "sent") return true;
        if (tag != "expect") {
            *why = "expected rx, sent or expect, found '" + ShownText(tag, 24) + "'";
            return false;
        }
        Expectation e;
        words >> sequence >> address >> value;
        if (!ParseInteger(sequence, 1, 999999999, &e.sequence) || !IsAddress(address) ||
            !ParseInteger(value, 0, 999999999, &e.value) || (words >> extra)) {
            *why = "expected: expect SEQ ADDRESS VALUE";
            return false;
        }
        if (e.value > kHighestValue) {
            *why = "value " + value + " for " + address + " is impossible: a point's value is 0-3";
            return false;
        }
        e.address = address;
        out.push_back(std::move(e));
        return true;
    });
    if (!ok) return false;
    // zelpanel writes its report's first line at once: a report still being
    // written has no records yet, but has that line.
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        *error = "is empty";
        return false;
    }
    if (received > 0 || text.find(kCaptureTitle) != std::string_view::npos) {
        *error = "is a zelhost capture, not a zelpanel report (give it to zelpanel replay)";
        return false;
    }
    if (sent == 0 && out.empty() && text.find(kReportTitle) == std::string_view::npos) {
        *error = "is not a zelpanel report: no sent or expect lines";
        return false;
    }
    *expectations = std::move(out);
    return true;
}

bool ReadTextFile(const std::string &path, std::string *text, std::string *error) {
    std::ostringstream all;
    if (path == "-") {
        all << std::cin.rdbuf();
    } else {
        std::error_code code;
        if (std::filesystem::is_directory(path, code)) {
            *error = ShownText(path) + " is a directory";
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            *error = "cannot read " + ShownText(path);
            return false;
        }
        all << in.rdbuf();
    }
    *text = all.str();
    if (text->rfind(kByteOrderMark, 0) == 0) text->erase(0, kByteOrderMark.size());
    return true;
}

bool OpenWriteFile(const std::string &path, std::ofstream &file, std::string *error) {
    std::error_code code;
    if (std::filesystem::is_directory(path, code)) {
        *error = ShownText(path) + " is a directory";
        return false;
    }
    file.open(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        *error = "cannot write " + ShownText(path);
        return false;
    }
    return true;
}

}  // namespace zeltools
