#include "driver_log.h"

namespace zelhost {
namespace {

constexpr int kTraceLevel = 8;
constexpr int kNoticeLevel = 32;
// The decoder traces every text it is handed as "orginal TEXT ".
constexpr std::string_view kDecodedPrefix = "orginal ";
// ... and every read as "String from Comport TEXT".
constexpr std::string_view kReadPrefix = "String from Comport ";
constexpr std::string_view kPortPrefix = "ZELQuon : Port ";
constexpr std::string_view kLostSuffix = " lost, reopening it every second";
constexpr std::string_view kBackSuffix = " back, reception resumed";
constexpr std::string_view kReceptionStart = "ZelQX : Start Unsoliceted Thread";
// A message begins with a header or is the clear command.
constexpr std::string_view kHeader = "\r\nhhhhhhhhh";
constexpr std::string_view kClear = "gggggggggg";

bool Between(std::string_view line, std::string_view prefix, std::string_view suffix, std::string *middle) {
    if (line.size() <= prefix.size() + suffix.size() || line.substr(0, prefix.size()) != prefix ||
        line.substr(line.size() - suffix.size()) != suffix)
        return false;
    *middle = std::string(line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()));
    return true;
}

}  // namespace

LogLine ReadLogLine(int level, std::string_view line) {
    LogLine log;
    if (level == kTraceLevel && line.size() > kDecodedPrefix.size() && line.substr(0, kDecodedPrefix.size()) == kDecodedPrefix) {
        std::string_view bytes = line.substr(kDecodedPrefix.size());
        if (bytes.back() == ' ') bytes.remove_suffix(1);
        const bool message = bytes.substr(0, kHeader.size()) == kHeader || bytes.find(kClear) != std::string_view::npos;
        log.kind = message ? LogKind::kMessage : LogKind::kNoise;
        log.text = std::string(bytes);
    } else if (level == kTraceLevel && line.substr(0, kReadPrefix.size()) == kReadPrefix) {
        log.kind = LogKind::kRead;
        log.text = std::string(line.substr(kReadPrefix.size()));
    } else if (level == kNoticeLevel && Between(line, kPortPrefix, kLostSuffix, &log.text)) {
        log.kind = LogKind::kPortLost;
    } else if (level == kNoticeLevel && Between(line, kPortPrefix, kBackSuffix, &log.text)) {
        log.kind = LogKind::kPortBack;
    } else if (level == kNoticeLevel && line == kReceptionStart) {
        log.kind = LogKind::kReceptionStart;
    }
    return log;
}

}  // namespace zelhost
