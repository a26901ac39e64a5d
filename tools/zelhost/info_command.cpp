// `zelhost info`: the driver's information and banner.
#include <cstdio>

#include "commands.h"
#include "cp437.h"
#include "wire_text.h"

namespace zelhost {
namespace {

int Info(const Options &options) {
    Console console;
    ConsoleScope scope{console};
    DriverLibrary library;
    HostSession session;
    if (const int code = Begin(options, console, &library, &session); code >= 0) return code;
    const DriverInfo &info = session.info;
    const LineSettings &line = info.lineSettings;
    std::printf("driver          %s\n", zeltools::ShownText(library.path, 300).c_str());
    std::printf("short name      %s\n", info.shortName != nullptr ? info.shortName : "(none)");
    std::printf("channel block   %u bytes\n", static_cast<unsigned>(info.channelBlockSize));
    std::printf("line defaults   %u baud, %u data bits, stop-bits code %u (%s), parity code %u (%s)\n", line.baudRate,
                line.dataBits, line.stopBits, zeltools::StopBitsText(line.stopBits), line.parity,
                zeltools::ParityText(line.parity));
    std::printf("fixed values    0x%X, %u, 0x%08X\n", static_cast<unsigned>(info.code), static_cast<unsigned>(info.fixed10),
                static_cast<unsigned>(info.fixed1C));
    std::printf("banner (code page 437):%s", info.banner != nullptr ? Cp437ToUtf8(info.banner).c_str() : " (none)\n");
    return zeltools::kExitOk;
}

}  // namespace

Command AddInfoCommand(CLI::App &app) { return {app.add_subcommand("info", "Show the driver's information and banner"), Info}; }

}  // namespace zelhost
