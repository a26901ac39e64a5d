// GetDriverInfo, WriteParameter and the unsupported codes.
#include <array>
#include <cstring>
#include <string_view>

#include "banner.h"
#include "zel_version.h"
#include "../channel/channel_block.h"
#include "operations.h"

namespace zel {
namespace {

constexpr std::string_view kDescription = "Quon Fire Alarm Panel Event Driver installed.";
constexpr std::string_view kNotice = "Receive-only Panel Interface, Version " ZEL_VERSION_TEXT;
static_assert(kDescription.size() == 45 && kDescription.ends_with("Driver installed."));
// The notice fills its line of the frame: a version of the form 7.00.
static_assert(kNotice.size() == 42 && kNotice.ends_with("Version " ZEL_VERSION_TEXT));

// Code page 437 frame and shade characters.
constexpr char kTopLeft = '\xC9', kTopRight = '\xBB', kBottomLeft = '\xC8', kBottomRight = '\xBC';
constexpr char kHorizontal = '\xCD', kVertical = '\xBA';
constexpr char kFull = '\xDB', kDark = '\xB2', kMedium = '\xB1', kLight = '\xB0';

constexpr std::size_t kBannerSize = 1 + 5 * (kBannerLineWidth + 1) + 1;

struct BannerWriter {
    std::array<char, kBannerSize> text{};
    std::size_t length = 0;
    constexpr void Put(char c, int times = 1) {
        for (int i = 0; i < times; ++i) text[length++] = c;
    }
    constexpr void Put(std::string_view s) {
        for (char c : s) text[length++] = c;
    }
};

constexpr std::array<char, kBannerSize> BuildBanner() {
    BannerWriter w;
    w.Put('\n');
    // Top border.
    w.Put(' ');
    w.Put(kTopLeft);
    w.Put(kHorizontal, 59);
    w.Put(kTopRight);
    w.Put('\n');
    // Title, shaded symmetrically about the driver tag.
    w.Put(' ');
    w.Put(kVertical);
    w.Put(' ');
    w.Put(kFull, 5);
    w.Put(kDark, 6);
    w.Put(kMedium, 6);
    w.Put(kLight, 6);
    w.Put(" Z E L Q X ");
    w.Put(kLight, 6);
    w.Put(kMedium, 6);
    w.Put(kDark, 6);
    w.Put(kFull, 5);
    w.Put(' ');
    w.Put(kVertical);
    w.Put('\n');
    // Description.
    w.Put(' ');
    w.Put(kVertical);
    w.Put(' ', 7);
    w.Put(kDescription);
    w.Put(' ', 7);
    w.Put(kVertical);
    w.Put('\n');
    // Version notice.
    w.Put(' ');
    w.Put(kVertical);
    w.Put(' ', 11);
    w.Put(kNotice);
    w.Put(' ', 6);
    w.Put(kVertical);
    w.Put('\n');
    // Bottom border.
    w.Put(' ');
    w.Put(kBottomLeft);
    w.Put(kHorizontal, 59);
    w.Put(kBottomRight);
    w.Put('\n');
    w.Put('\0');
    return w.text;
}

constexpr std::array<char, kBannerSize> kBannerBytes = BuildBanner();
static_assert(kBannerBytes[kBannerSize - 1] == '\0' && kBannerBytes[kBannerSize - 2] == '\n');

}  // namespace

const char *BannerText() { return kBannerBytes.data(); }

int32_t GetDriverInfo(const ZelCall &call) {
    auto *info = static_cast<DriverInfo *>(call.request);
    if (info == nullptr) return ZEL_FAILED;
    info->code = 82;
    info->shortName = "Quon";
    info->banner = BannerText();
    info->channelBlockSize = ZEL_CHANNEL_BLOCK_SIZE;
    info->fixed10 = 4;
    info->lineSettings = LineSettings{9600, 8, 0, 0};
    info->fixed1C = 0x00430028;
    return ZEL_OK;
}

int32_t WriteParameter(const ZelCall &call) {
    const auto *request = static_cast<const TagRequest *>(call.request);
    if (call.channel == nullptr || request == nullptr || request->value == nullptr) return ZEL_FAILED;
    ChannelBlock *channel = call.channel;
    uint16_t *target = nullptr;
    switch (request->paramCode) {
        case ZEL_PARAM_A: target = &channel->paramA; break;
        case ZEL_PARAM_F: target = &channel->paramF; break;
        case ZEL_PARAM_R: target = &channel->paramR; break;
        default: return ZEL_FAILED;
    }
    StoreField(*target, request->value->value);
    return ZEL_OK;
}

int32_t UnsupportedOperation(const ZelCall &) { return ZEL_FAILED; }

}  // namespace zel
