// send: events from the command line or a script, on a port or a
// pseudo-terminal.
#include <memory>

#include "event_sources.h"
#include "panel_commands.h"

namespace zelpanel {

PanelCommand AddSendCommand(CLI::App &app) {
    struct Settings {
        SendOptions options;
        Sources sources;
    };
    auto s = std::make_shared<Settings>();
    CLI::App *command = app.add_subcommand("send", "Send events from the command line or a script");
    AddSendOptions(*command, s->options, true);
    AddSources(*command, s->sources);
    return {command, [s] {
                std::string error;
                std::vector<Outgoing> messages;
                if (!StepsFromSources(s->sources, &messages, &error)) return zeltools::Fail(kTool, error);
                return Transmit(s->options, messages);
            }};
}

}  // namespace zelpanel
