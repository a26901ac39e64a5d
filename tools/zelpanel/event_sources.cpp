#include "event_sources.h"

#include "panel_script.h"
#include "traffic_file.h"
#include "wire_text.h"

namespace zelpanel {

void AddSources(CLI::App &command, Sources &s) {
    command.add_option("events", s.events, "Messages, one per argument: \"ckt bus=1 slot=4 point=130\", \"battery bus=3; bit1 bus=2 slot=1 point=127\", clear, raw \"...\", \"wait 2\", \"pause 0\" (back to back from here on)");
    command.add_option("--script", s.script, "Script file, one message, wait or pause per line (- for standard input)");
}

bool StepsFromSources(const Sources &s, std::vector<Outgoing> *out, std::string *error) {
    std::vector<ScriptStep> steps;
    if (!s.script.empty()) {
        std::string text;
        if (!zeltools::ReadTextFile(s.script, &text, error)) return false;
        if (!ParseScript(text, &steps, error)) {
            *error = zeltools::ShownText(s.script) + ": " + *error;
            return false;
        }
    }
    for (const std::string &event : s.events)
        if (!ParseScriptLine(event, &steps, error)) return false;
    double wait = 0, pause = -1;
    for (const ScriptStep &step : steps) {
        if (step.isWait) {
            wait += step.waitSeconds;
            continue;
        }
        if (step.isPause) {
            pause = step.pauseSeconds;
            continue;
        }
        out->push_back({step.message, WireText(step.message), wait, -1, pause});
        wait = 0;
    }
    if (out->empty()) {
        *error = "nothing to send: give events or --script";
        return false;
    }
    return true;
}

}  // namespace zelpanel
