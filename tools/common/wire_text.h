// Panel messages as one line of text: the capture files of zelhost and the
// reports and replays of zelpanel hold messages that contain CR, LF and any
// other byte, so they are written quoted, with C-style escapes.
#pragma once

#include <string>
#include <string_view>

namespace zeltools {

// "..." with \r \n \t \\ \" and \xHH for every byte outside printable ASCII.
std::string QuoteText(std::string_view bytes);

// Reads one quoted text at the start of `text` (after leading blanks).
// On success stores the bytes and the characters used; otherwise an error.
bool ParseQuotedText(std::string_view text, std::string *bytes, std::size_t *used, std::string *error);

// Seconds with millisecond precision, as the files write them.
std::string FormatSeconds(double seconds);

// Text from the user as a message echoes it: every byte outside printable
// ASCII escaped as in line data (no control sequence reaches the terminal),
// and cut after `limit` bytes with "... (N bytes)".
std::string ShownText(std::string_view text, std::size_t limit = 80);

}  // namespace zeltools
