// The bytes a channel received from its line, every one of them, cut as the
// driver's decoder took them. The driver's trace lines hold texts only up to
// their first NUL byte; the rest is in the receive buffer of the channel
// block, which is the host's memory and which the log callback reads on the
// reception thread, while the driver waits for it. Only NUL bytes that end a
// read cannot be told from the buffer's empty rest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelhost {

struct ReceivedBytes {
    std::string pending;   // received, not yet handed out
    std::size_t held = 0;  // at the front of `pending`: the end of the last
                           // text, which may begin the next message
    std::string tail;      // the last bytes handed out
    std::string bufferEnd; // the last bytes of the driver's buffer after the last read
};

// At the driver's trace of a read ("String from Comport TEXT"): `buffer` is
// the channel's whole receive buffer as the read left it, `traced` the text
// of the trace.
void TakeRead(ReceivedBytes &r, std::string_view buffer, std::string_view traced);

// At the decoder's trace of a text ("orginal TEXT "): the stretches of
// received bytes it stands for, in order. First the held bytes, when the
// driver dropped them instead of beginning a message with them; then the
// text with every byte (none when all of it is held). A text whose bytes
// cannot be found is handed out as traced.
std::vector<std::string> TakeDecoded(ReceivedBytes &r, std::string_view traced);

}  // namespace zelhost
