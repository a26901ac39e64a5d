#include "bash_completion.h"

#include <cctype>
#include <set>
#include <vector>

namespace zeltools {
namespace {

bool IsFlag(const CLI::Option *option) { return option->get_type_size() == 0 || option->get_expected_max() == 0; }

// An option in no group is hidden from the help, and from completion.
bool IsHidden(const CLI::Option *option) { return option->get_group().empty(); }

// Whether the option's value names a file, as its description says.
bool TakesFile(const CLI::Option *option) {
    std::string description = option->get_description();
    for (char &c : description) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return description.find("file") != std::string::npos || description.find("library") != std::string::npos;
}

// Every name of the options `app` has itself, as typed.
std::string OptionWords(const CLI::App &app) {
    std::string words;
    for (const CLI::Option *option : app.get_options()) {
        if (IsHidden(option)) continue;
        for (const std::string &name : option->get_lnames()) words += " --" + name;
        for (const std::string &name : option->get_snames()) words += " -" + name;
    }
    return words;
}

std::vector<const CLI::App *> Commands(const CLI::App &app) {
    return app.get_subcommands([](const CLI::App *) { return true; });
}

// The option names that take a value: a file name, or another value (no
// completion).
void ValueOptions(const CLI::App &app, std::set<std::string> *files, std::set<std::string> *others) {
    for (const CLI::Option *option : app.get_options()) {
        if (option->get_lnames().empty() || IsFlag(option) || IsHidden(option)) continue;
        for (const std::string &name : option->get_lnames())
            if (name != "port") (TakesFile(option) ? files : others)->insert("--" + name);
    }
}

std::string Joined(const std::set<std::string> &names) {
    std::string text;
    for (const std::string &name : names) text += (text.empty() ? "" : "|") + name;
    return text;
}

}  // namespace

std::string BashCompletion(const CLI::App &app, std::string_view tool) {
    const std::string name(tool);
    std::string commands, pattern, perCommand;  // pattern: the commands joined by '|', for `case`
    std::set<std::string> files, others;
    ValueOptions(app, &files, &others);
    for (const CLI::App *command : Commands(app)) {
        commands += " " + command->get_name();
        pattern += (pattern.empty() ? "" : "|") + command->get_name();
        perCommand += "        " + command->get_name() + ") words=\"" + OptionWords(*command).substr(1) + "\" ;;\n";
        ValueOptions(*command, &files, &others);
    }
    std::string script = "# bash completion of " + name + ", made by `" + name + " --bash-completion`\n";
    script += "_" + name + "() {\n";
    script += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command= word words\n";
    script += "    for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n";
    script += "        case $word in " + pattern + ") ;; *) continue ;; esac\n";
    script += "        command=$word\n";
    script += "        break\n";
    script += "    done\n";
    script += "    case $prev in\n";
    script += "        --port)\n";
    script += "            COMPREPLY=($(compgen -W \"$(cd /dev 2>/dev/null && ls -d ttyS* ttyUSB* ttyACM* pts/[0-9]* "
              "serial/by-id/* 2>/dev/null)\" -- \"$cur\"))\n";
    script += "            return ;;\n";
    if (!files.empty()) {
        script += "        " + Joined(files) + ")\n";
        script += "            compopt -o filenames 2>/dev/null\n";
        script += "            COMPREPLY=($(compgen -f -- \"$cur\"))\n";
        script += "            return ;;\n";
    }
    if (!others.empty()) script += "        " + Joined(others) + ") return ;;\n";
    script += "    esac\n";
    script += "    case $command in\n";
    script += "        \"\") words=\"" + OptionWords(app).substr(1) + commands + "\" ;;\n";
    script += perCommand;
    script += "    esac\n";
    script += "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n";
    script += "}\n";
    script += "complete -F _" + name + " " + name + "\n";
    return script;
}

}  // namespace zeltools
