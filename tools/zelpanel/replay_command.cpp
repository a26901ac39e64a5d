// replay: the messages of a zelhost capture, or of a zelpanel report, with
// their recorded timing.
#include <memory>

#include "panel_commands.h"
#include "traffic_file.h"
#include "transmission.h"
#include "wire_text.h"

namespace zelpanel {
namespace {

int Replay(SendOptions &o, const std::string &file) {
    using zeltools::Fail;
    // A replay keeps the recorded spacing, scaled by --speed; a pause would contradict it.
    if (o.pauseOption->count() > 0)
        return Fail(kTool, "replay keeps the recorded timing: --pause does not apply (--speed FACTOR plays it faster)");
    std::string text, error;
    std::vector<zeltools::TimedText> recorded;
    const std::string shownFile = zeltools::ShownText(file);
    if (!zeltools::ReadTextFile(file, &text, &error)) return Fail(kTool, error);
    if (!zeltools::ParseTimedMessages(text, &recorded, &error)) return Fail(kTool, shownFile + ": " + error);
    if (recorded.empty()) return Fail(kTool, shownFile + ": no messages (rx or sent lines)");
    std::vector<Outgoing> messages;
    for (const zeltools::TimedText &r : recorded) {
        PanelMessage m;
        m.type = MessageType::Raw;
        m.raw = r.bytes;
        messages.push_back({m, r.bytes, 0, r.seconds / o.speed});
    }
    return Transmit(o, messages);
}

}  // namespace

PanelCommand AddReplayCommand(CLI::App &app) {
    struct Settings {
        SendOptions options;
        std::string file;
    };
    auto s = std::make_shared<Settings>();
    CLI::App *command = app.add_subcommand("replay", "Send the messages of a zelhost capture (or a zelpanel report) with their timing");
    AddSendOptions(*command, s->options, true);
    command->add_option("file", s->file, "Capture file (rx lines) or report (sent lines)")->required();
    command->add_option("--speed", s->options.speed, "Replay FACTOR times faster (default 1; 288 plays 24 hours in 5 minutes)")
        ->check(zeltools::SecondsCheck("speed factor", 0.001, 1000000));
    return {command, [s] { return Replay(s->options, s->file); }};
}

}  // namespace zelpanel
