#include "tools/sim/options.h"

#include <cctype>

#include "platform/base/text_case.h"
#include "tools/sim/commands.h"

namespace trelvane::sim {

std::optional<int> ParsePortName(std::string_view name) {
    if (name.size() >= 3 && platform::EqualNoCase(name.substr(0, 3), "com")) name.remove_prefix(3);
    if (name.empty() || name.size() > 4 || name[0] == '0') return std::nullopt;
    int number = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return std::nullopt;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

ParsedOptions ParseArguments(const std::vector<std::string>& arguments) {
    Options options;
    ParsedOptions parsed;
    auto fail = [&](std::string error) {
        parsed.error = std::move(error);
        return parsed;
    };
    for (const auto& argument : arguments) {
        if (argument == "--") break;
        if (argument == "--json") parsed.json = true;
    }
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            if (argument == "--") {
                optionsEnded = true;
            } else if (argument == "-h" || argument == "--help") {
                options.help = true;
            } else if (argument == "-V" || argument == "--version") {
                options.version = true;
            } else if (argument == "--json") {
                options.json = true;
            } else if (argument == "--stay") {
                options.stay = true;
            } else if (argument == "--script" || argument.rfind("--script=", 0) == 0) {
                if (argument == "--script" && i + 1 == arguments.size()) return fail("--script needs a file name");
                options.script = argument == "--script" ? arguments[++i] : argument.substr(9);
                if (options.script.empty()) return fail("--script needs a file name");
            } else {
                return fail("unknown option " + argument);
            }
            continue;
        }
        if (!options.portName.empty()) return fail("one port only; " + argument + " is one too many");
        const auto port = ParsePortName(argument);
        if (!port) return fail(argument + " is no port name; port names are COM1 to COM9999 (or 1 to 9999)");
        options.portName = "COM" + std::to_string(*port);
        options.port = *port;
    }
    if (!options.help && !options.version && options.portName.empty())
        return fail("which port? name one, such as COM3");
    parsed.options = options;
    return parsed;
}

std::string UsageLine() { return "Usage: trelvane-sim [--json] [--script FILE] [--stay] COMn|n"; }

std::string HelpText() {
    return UsageLine() +
           "\n\n"
           "Serves the port COMn (named COMn or n) as a simulated start post: links\n"
           "$TRELVANE_HOME/dosdevices/comn to a virtual line, shows everything the driver\n"
           "sends with time stamps, and plays the device by command. Both posts start on\n"
           "line with batteries of 9 V. The link is removed on exit, also on SIGINT and\n"
           "SIGTERM.\n"
           "\n"
           "Options:\n"
           "  --json         one JSON object per line for every event and command result\n"
           "  --script FILE  read the commands from FILE (checked before the port is served);\n"
           "                 also --script=FILE\n"
           "  --stay         keep serving after the last command, until SIGINT or SIGTERM\n"
           "  -h, --help     show this help\n"
           "  -V, --version  show the version\n"
           "\n"
           "Commands come from FILE, from a prompt when standard input is a terminal (with\n"
           "line editing, and a history kept in $TRELVANE_HOME/sim_history), or from\n"
           "standard input; the simulator ends with them (unless --stay). One command a\n"
           "line; a line that starts with # is a comment.\n"
           "\n"
           "Commands:\n" +
           CommandSummary() +
           "\n"
           "Without a terminal the first failing command ends the run. Exit status: 0 done,\n"
           "1 a command failed, the port could not be served or a signal came before the\n"
           "script ended, 2 a usage error (also a script line that does not parse). A\n"
           "reader of the output that goes away (a closed pipe) ends the run quietly.\n"
           "\n"
           "The driver's reference and the troubleshooting guide are in\n"
           "/usr/share/doc/trelvane/.\n";
}

}  // namespace trelvane::sim
