// random: random traffic from a seed, for soak tests.
#include <memory>

#include "panel_commands.h"
#include "panel_script.h"
#include "transmission.h"

namespace zelpanel {

PanelCommand AddRandomCommand(CLI::App &app) {
    struct Settings {
        SendOptions options;
        uint32_t seed = 1;
        int count = 10;
        int maxEvents = 3;
        bool noClear = false;
    };
    auto s = std::make_shared<Settings>();
    CLI::App *command = app.add_subcommand("random", "Send random traffic from a seed, for soak tests");
    AddSendOptions(*command, s->options, true);
    command->add_option("--seed", s->seed, "Seed of the traffic; the same seed sends the same traffic (default 1; the line faults have --fault-seed)")
        ->check(zeltools::NumberCheck("seed", 0, 4294967295LL));
    command->add_option("--count", s->count, "Messages to send (default 10)")->check(zeltools::NumberCheck("count", 1, 1000000));
    command->add_option("--max-events", s->maxEvents, "Events per message, at most (1-15, default 3)")
        ->check(zeltools::NumberCheck("events per message", 1, 15));
    command->add_flag("--no-clear", s->noClear, "Send no clear commands");
    return {command, [s] {
                std::vector<Outgoing> messages;
                for (const PanelMessage &m : RandomTraffic(s->seed, s->count, s->maxEvents, !s->noClear))
                    messages.push_back({m, WireText(m), 0, -1});
                return Transmit(s->options, messages);
            }};
}

}  // namespace zelpanel
