// What the native tests need of a host: captured log lines, a channel block
// that lives as long as the process, and ZelMain calls in one line.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zelwnqx.h"

namespace zeltest {

struct LogLine {
    int level;
    std::string text;
};

// Captures the host library's log lines while it exists.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> Lines() const;
    int Count(int level, const std::string &text) const;
    int CountPrefix(int level, const std::string &prefix) const;
    void Clear();

private:
    static void Sink(void *context, int level, const char *line);
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// A zero-filled channel block that is never freed: the reception thread
// may keep using it until the process ends.
ChannelBlock *NewChannelBlock();

int32_t Call(ChannelBlock *channel, uint32_t operation, void *request = nullptr, int32_t channelNumber = 0);

// A text as part of a test name: letters and digits kept, others as '_'.
std::string NameOf(const std::string &text);

// ReadTag of an address text on a channel.
uint16_t ReadTagValue(ChannelBlock *channel, const char *address);

// The channel's port field, read as the driver's threads write it: the
// reception changes it when a device vanishes and comes back.
uint32_t PortOf(ChannelBlock *channel);

}  // namespace zeltest
