#include "test_host.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "korvan_standin.h"

namespace zeltest {

LogCapture::LogCapture() { KorStandinSetLogSink(&LogCapture::Sink, this); }

LogCapture::~LogCapture() { KorStandinSetLogSink(nullptr, nullptr); }

void LogCapture::Sink(void *context, int level, const char *line) {
    auto *self = static_cast<LogCapture *>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({level, line});
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

int LogCapture::Count(int level, const std::string &text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const LogLine &line : lines_) n += (line.level == level && line.text == text) ? 1 : 0;
    return n;
}

int LogCapture::CountPrefix(int level, const std::string &prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const LogLine &line : lines_) n += (line.level == level && line.text.rfind(prefix, 0) == 0) ? 1 : 0;
    return n;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

ChannelBlock *NewChannelBlock() {
    // Kept reachable until the process ends, when the reception thread stops.
    [[maybe_unused]] static ChannelBlock *blocks[1024];
    static std::atomic<int> count{0};
    auto *block = static_cast<ChannelBlock *>(std::calloc(1, sizeof(ChannelBlock)));
    const int slot = count.fetch_add(1);
    if (block == nullptr || slot >= 1024) std::abort();
    blocks[slot] = block;
    return block;
}

int32_t Call(ChannelBlock *channel, uint32_t operation, void *request, int32_t channelNumber) {
    ZelCall call{};
    call.channel = channel;
    call.operation = operation;
    call.channelNumber = channelNumber;
    call.request = request;
    return ZelMain(&call);
}

std::string NameOf(const std::string &text) {
    std::string name = text.empty() ? "empty" : text;
    for (char &c : name)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) c = '_';
    return name;
}

uint16_t ReadTagValue(ChannelBlock *channel, const char *address) {
    TagValue value{0xAAAA, 0xBEEF};
    TagRequest request{};
    request.address = address;
    request.value = &value;
    Call(channel, ZEL_OP_READ_TAG, &request);
    return value.value;
}

uint32_t PortOf(ChannelBlock *channel) { return std::atomic_ref<uint32_t>(channel->port).load(); }

}  // namespace zeltest
