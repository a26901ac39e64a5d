// The line-oriented files the tools exchange, one record per line, blank
// lines and lines beginning with '#' ignored:
//   rx SECONDS "TEXT"                       a message zelhost received
//   sent SEQ SECONDS "TEXT" DESCRIPTION     a message zelpanel sent
//   expect SEQ ADDRESS VALUE                what ReadTag should answer after
//                                           message SEQ (changed points only)
// SECONDS count from the first message; TEXT is quoted (wire_text.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zeltools {

struct TimedText {
    double seconds = 0;
    std::string bytes;
};

struct Expectation {
    int sequence = 0;
    std::string address;
    int value = 0;
};

std::string CaptureLine(double seconds, std::string_view bytes);
std::string SentLine(int sequence, double seconds, std::string_view bytes, std::string_view description);
std::string ExpectLine(int sequence, std::string_view address, int value);

// The messages of a capture or a report (rx and sent lines), in file order.
// Other record lines are skipped. False with "line N: reason".
bool ParseTimedMessages(std::string_view text, std::vector<TimedText> *messages, std::string *error);

// The expect lines of a report. False with "line N: reason".
bool ParseExpectations(std::string_view text, std::vector<Expectation> *expectations, std::string *error);

}  // namespace zeltools
