// show: the report of a transmission, with the times it would have, unsent.
#include <memory>

#include "event_sources.h"
#include "pacing.h"
#include "panel_commands.h"

namespace zelpanel {
namespace {

int Show(const SendOptions &o, const std::vector<Outgoing> &messages) {
    Reporter reporter;
    std::string error;
    reporter.Open("-", &error);
    double at = 0;
    int sequence = 0;
    for (const Outgoing &m : messages) {
        if (sequence > 0) at += PauseBefore(o, m) + m.extraWait;
        reporter.Message(++sequence, at, m);
        at += LineSeconds(m.bytes.size(), o.line.baud);
    }
    return zeltools::kExitOk;
}

}  // namespace

PanelCommand AddShowCommand(CLI::App &app) {
    struct Settings {
        SendOptions options;
        Sources sources;
    };
    auto s = std::make_shared<Settings>();
    CLI::App *command = app.add_subcommand("show", "Print the report of events without sending them");
    AddSendOptions(*command, s->options, false);
    AddSources(*command, s->sources);
    return {command, [s] {
                std::string error;
                std::vector<Outgoing> messages;
                if (!StepsFromSources(s->sources, &messages, &error)) return zeltools::Fail(kTool, error);
                return Show(s->options, messages);
            }};
}

}  // namespace zelpanel
