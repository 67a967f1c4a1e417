#include "tools/ctl/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "platform/windows.h"

namespace ctl {
namespace {

struct VerbInfo {
    Verb verb;
    std::size_t minOperands;
    std::size_t maxOperands;
};

const std::map<std::string, VerbInfo, std::less<>>& Verbs() {
    static const std::map<std::string, VerbInfo, std::less<>> verbs{
        {"status", {Verb::Status, 0, 0}},   {"open", {Verb::Open, 1, 1}},      {"close", {Verb::Close, 0, 0}},
        {"reset", {Verb::Reset, 0, 0}},     {"confirm", {Verb::Confirm, 0, 1}}, {"inject", {Verb::Inject, 1, 1}},
        {"write", {Verb::Write, 1, 1}},     {"battery", {Verb::Battery, 1, 1}}, {"get", {Verb::Get, 0, 64}},
        {"set", {Verb::Set, 2, 2}},         {"watch", {Verb::Watch, 0, 0}},
    };
    return verbs;
}

ParsedOptions Fail(std::string error) { return {std::nullopt, std::move(error)}; }

// The option's value: the next argument, which must exist.
bool TakeValue(const std::vector<std::string>& arguments, std::size_t* i, std::string* value) {
    if (*i + 1 >= arguments.size()) return false;
    *value = arguments[++*i];
    return true;
}

// Checks the verb's operands and takes the numbers, the port and the post
// out of them.
std::string CheckOperands(Options& options) {
    auto& operands = options.operands;
    switch (options.verb) {
    case Verb::Open:
        if (auto port = ParsePort(operands[0])) options.port = *port;
        else return "not a port: " + operands[0] + " (a number from 1 to 9999, or COMn)";
        break;
    case Verb::Confirm:
    case Verb::Inject:
        if (operands.empty()) break;
        if (!(options.number = ParseLong(operands[0]))) return "not a start number: " + operands[0];
        break;
    case Verb::Battery:
        if (platform::EqualNoCase(operands[0], "start") || operands[0] == "StartPost") operands[0] = "StartPost";
        else if (platform::EqualNoCase(operands[0], "finish") || operands[0] == "FinishPost") operands[0] = "FinishPost";
        else return "which post: start or finish, not " + operands[0];
        break;
    default:
        break;
    }
    return {};
}

}  // namespace

std::optional<int> ParsePort(std::string_view text) {
    if (text.size() > 3 && platform::EqualNoCase(text.substr(0, 3), "com")) text.remove_prefix(3);
    if (text.empty() || text.size() > 4 || text[0] == '0') return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::optional<long> ParseLong(std::string_view text) {
    const std::string s(text);
    if (s.empty() || !(s[0] == '-' || (s[0] >= '0' && s[0] <= '9'))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<long>(value);
}

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
    std::string s(text);
    double scale = 1.0;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, "ms") == 0) s.resize(s.size() - 2);
    else if (s.size() > 1 && s.back() == 's') s.pop_back(), scale = 1000.0;
    if (s.empty() || !((s[0] >= '0' && s[0] <= '9') || s[0] == '.')) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(s.c_str(), &end) * scale;
    if (*end != '\0' || !std::isfinite(value) || value < 0 || value > 86400000.0) return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(std::llround(value)));
}

ParsedOptions ParseArguments(const std::vector<std::string>& arguments) {
    Options options;
    bool haveVerb = false;
    bool operandsOnly = false;  // after "--"
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        std::string value;
        if (operandsOnly || a.empty() || a[0] != '-' || a == "-" || (haveVerb && ParseLong(a))) {
            if (!haveVerb) {
                const auto it = Verbs().find(a);
                if (it == Verbs().end()) return Fail("unknown command: " + a);
                options.verb = it->second.verb;
                options.verbName = a;
                haveVerb = true;
            } else {
                options.operands.push_back(a);
            }
        } else if (a == "--") {
            operandsOnly = true;
        } else if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (a == "--json") {
            options.json = true;
        } else if (a == "--confirm" && options.verb == Verb::Watch && haveVerb) {
            options.autoConfirm = true;
        } else if (a == "--open" && options.verb == Verb::Watch && haveVerb) {
            if (!TakeValue(arguments, &i, &value)) return Fail("--open needs a port");
            const auto port = ParsePort(value);
            if (!port) return Fail("not a port: " + value + " (a number from 1 to 9999, or COMn)");
            options.port = *port;
        } else if ((a == "--for" && options.verb == Verb::Watch && haveVerb) ||
                   (a == "--timeout" && options.verb == Verb::Battery && haveVerb)) {
            if (!TakeValue(arguments, &i, &value)) return Fail(a + " needs a duration");
            if (!(options.limit = ParseDuration(value))) return Fail("not a duration: " + value + " (250ms, 2s, 1.5s)");
        } else {
            return Fail("unknown option: " + a + (haveVerb ? " for " + options.verbName : std::string()));
        }
    }
    if (options.help) return {options, {}};
    if (!haveVerb) return Fail("no command given");
    const VerbInfo& info = Verbs().at(options.verbName);
    if (options.operands.size() < info.minOperands) return Fail(options.verbName + ": too few arguments");
    if (options.operands.size() > info.maxOperands) return Fail(options.verbName + ": too many arguments");
    if (std::string error = CheckOperands(options); !error.empty()) return Fail(error);
    return {options, {}};
}

std::string UsageLine() {
    return "Usage: trelvanectl [--json] COMMAND [ARGUMENTS]   (trelvanectl --help lists the commands)\n";
}

std::string HelpText() {
    return R"(Usage: trelvanectl [--json] COMMAND [ARGUMENTS]

Uses the start-post driver as any client does: it creates the driver object
CTarvik (starting the server when none runs) and shows, with time stamps,
every event that the driver raises while the command runs. Every client of
this user shares the one driver object, so trelvanectl sees and changes the
driver that another program (timing software, another trelvanectl) uses.

Commands:
  status                 whether the server is registered and running (starts
                         nothing)
  open N                 open the port COMN (N or COMN); it stays open while a
                         client holds the driver (see watch --open)
  close                  close the port
  reset                  send the device the reset byte
  confirm [N]            confirm start number N (by default the one received
                         last): the device gets its final acknowledge
  inject N               report start number N to every client as if the
                         device had sent it (0 and less: a fault)
  write TEXT             write TEXT to the port as it is
  battery start|finish   measure the battery of the start or the finish post
      [--timeout D]      and wait for the voltage (by default at most 10s)
  get [NAME...]          show the driver's properties (all, or those named)
  set NAME VALUE         change a property: InterCharacterTimeout, StateDTR,
                         ReadyToSend, Parity (None, Odd, Even, Mark, Space),
                         BaudRate, DataBits (5 to 8), StopBits (1, 1.5, 2),
                         ParityCheck;
                         switches take on/off, true/false or 1/0
  watch [--open N]       show every event until interrupted (Ctrl-C), attached
      [--confirm]        to the driver as it is; --open opens COMN first and
      [--for D]          closes it at the end, --confirm confirms every start
                         number, --for ends after the duration D (2s, 500ms)

Options:
  --json       one JSON object per line for every event and reply, with
               "time" (UTC), "source" (event, reply or error), "event" and
               "message" (the line for people), and members of its own
  -h, --help   show this text

Exit status: 0 success; 1 the command failed (the reason and what to do on
standard error, or as an "error" object with --json); 2 a usage error.

Environment:
  TRELVANE_HOME  where the state is kept (default ~/.trelvane): the port
                 links (dosdevices/comn), the registry, the servers' sockets
)";
}

}  // namespace ctl
