// `zelhost read`: a channel opened, optionally listened to, and ReadTag of
// each address given.
#include <cstdio>

#include "commands.h"
#include "wire_text.h"
#include "zelwnqx.h"

namespace zelhost {
namespace {

// Seven digits that name no entry ReadTag reads (bus or slot above 8,
// point above 150): the driver answers 1 for them, as for any text it
// cannot read.
bool NamesNoEntry(const std::string &address) {
    const std::string_view text = address;
    long long bus = 0, slot = 0, point = 0;
    return !zeltools::WholeNumber(text.substr(0, 2), &bus) || !zeltools::WholeNumber(text.substr(2, 2), &slot) ||
           !zeltools::WholeNumber(text.substr(4), &point) || bus > 8 || slot > 8 || point > 150;
}

struct ReadCommand {
    ChannelOptions channel;
    std::vector<std::string> addresses;
};
ReadCommand command;

int Read(const Options &options) {
    const ChannelOptions &o = command.channel;
    const std::vector<std::string> &addresses = command.addresses;
    for (const std::string &a : addresses)
        if (!IsAddressText(a) && !IsDiagnosticTag(a)) return FailMalformedAddress(a);
    Console console;
    ConsoleScope scope{console};
    DriverLibrary library;
    HostSession first;
    std::vector<HostSession> sessions;
    if (const int code = Begin(options, console, &library, &first); code >= 0) return code;
    if (const int code = OpenChannels(console, first, o, &sessions); code >= 0) return code;
    const bool nothing = (o.duration > 0 || o.idle > 0) && Listen(console, o, [] {});
    std::vector<uint16_t> values;
    for (const std::string &a : addresses) values.push_back(ReadTag(sessions.front(), a));
    const int closeCode = Close(console, sessions);
    End(console);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        std::printf("%s %u %s\n", addresses[i].c_str(), values[i],
                    IsDiagnosticTag(addresses[i]) ? "diagnostic tag"
                    : NamesNoEntry(addresses[i]) ? "not a tag address" : AddressTypeOf(addresses[i]));
    if (closeCode >= 0) return closeCode;
    return nothing ? FailNothingReceived(o) : zeltools::kExitOk;
}

}  // namespace


Command AddReadCommand(CLI::App &app) {
    CLI::App *read = app.add_subcommand("read", "Open the channel, optionally listen, and print ReadTag of each address");
    AddChannelOptions(*read, command.channel, false);
    read->add_option("address", command.addresses, "Tag addresses BBSSPPP")->required();
    return {read, Read};
}

}  // namespace zelhost
