// The line-oriented files the tools exchange, one record per line, blank
// lines and lines beginning with '#' ignored, a UTF-8 byte-order mark at
// the start skipped:
//   rx SECONDS [TIME] "TEXT"                a message zelhost received; TIME
//                                           is UTC, 2025-06-01T10:00:00.123Z
//   sent SEQ SECONDS "TEXT" DESCRIPTION     a message zelpanel sent
//   expect SEQ ADDRESS VALUE                what ReadTag should answer after
//                                           message SEQ (changed points only)
// SECONDS count from the first message; TEXT is quoted (wire_text.h).
#pragma once

#include <chrono>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace zeltools {

struct TimedText {
    double seconds = 0;
    std::string utc;  // rx lines: the wall-clock time, when written
    std::string bytes;
};

struct Expectation {
    int sequence = 0;
    std::string address;
    int value = 0;
};

// The wall-clock time of a capture line: UTC, ISO 8601, milliseconds.
std::string UtcTimeText(std::chrono::system_clock::time_point time);
// The local time, ISO 8601 with milliseconds and the zone's offset:
// "2026-12-09T16:23:35.181+01:00"; UTC's text when the system cannot tell.
std::string LocalTimeText(std::chrono::system_clock::time_point time);
// The local zone at `time`, named: "CET (UTC+01:00)".
std::string LocalZoneText(std::chrono::system_clock::time_point time);
std::string CaptureLine(double seconds, std::string_view utc, std::string_view bytes);
std::string SentLine(int sequence, double seconds, std::string_view bytes, std::string_view description);
std::string ExpectLine(int sequence, std::string_view address, int value);

// The messages of a capture or a report (rx and sent lines), in file order.
// Other record lines are skipped. False with "line N: reason".
bool ParseTimedMessages(std::string_view text, std::vector<TimedText> *messages, std::string *error);

// The expect lines of a zelpanel report, also of one still being written
// (its first line comes at once). False with "line N: reason", or with the
// reason a text is no report: empty, a capture, or a value that no point
// takes (values are 0-3).
bool ParseExpectations(std::string_view text, std::vector<Expectation> *expectations, std::string *error);

// A whole text file ("-": standard input), without a leading UTF-8
// byte-order mark. False with "cannot read FILE" or "FILE is a directory".
bool ReadTextFile(const std::string &path, std::string *text, std::string *error);
// Opens FILE for writing, truncated. False with "cannot write FILE" or
// "FILE is a directory".
bool OpenWriteFile(const std::string &path, std::ofstream &file, std::string *error);

}  // namespace zeltools
