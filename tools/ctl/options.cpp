#include "tools/ctl/options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

#include "contract/contract.h"
#include "platform/windows.h"

namespace trelvane::ctl {
namespace {

struct VerbInfo {
    Verb verb;
    std::size_t minOperands;
    std::size_t maxOperands;
};

const std::map<std::string, VerbInfo, std::less<>>& Verbs() {
    static const std::map<std::string, VerbInfo, std::less<>> verbs{
        {"status", {Verb::Status, 0, 0}}, {"open", {Verb::Open, 1, 1}},       {"close", {Verb::Close, 0, 0}},
        {"reset", {Verb::Reset, 0, 0}},   {"confirm", {Verb::Confirm, 0, 1}}, {"inject", {Verb::Inject, 1, 1}},
        {"write", {Verb::Write, 1, 1}},   {"battery", {Verb::Battery, 1, 1}}, {"get", {Verb::Get, 0, 64}},
        {"set", {Verb::Set, 2, 2}},       {"watch", {Verb::Watch, 0, 0}},
    };
    return verbs;
}

// "StartNumberRequest,SP_PortOpened": names of events, without regard to
// case; each kept as the contract spells it.
std::string TakeEvents(const std::string& list, std::vector<std::string>* events) {
    std::size_t begin = 0;
    while (begin <= list.size()) {
        const std::size_t end = std::min(list.find(',', begin), list.size());
        const std::string name = list.substr(begin, end - begin);
        const auto& known = EventNames();
        const auto it = std::find_if(known.begin(), known.end(),
                                     [&](const std::string& k) { return platform::EqualNoCase(k, name); });
        if (it == known.end()) return "no such event: " + name + " (trelvanectl --help lists them)";
        events->push_back(*it);
        begin = end + 1;
    }
    return {};
}

// Checks the verb's operands and takes the numbers, the port and the post
// out of them.
std::string CheckOperands(Options& options) {
    auto& operands = options.operands;
    switch (options.verb) {
    case Verb::Open:
        if (auto port = ParsePort(operands[0]))
            options.port = *port;
        else
            return "not a port: " + operands[0] + " (a number from 1 to 9999, or COMn)";
        break;
    case Verb::Confirm:
    case Verb::Inject:
        if (operands.empty()) break;
        if (!(options.number = ParseLong(operands[0]))) return "not a start number: " + operands[0];
        break;
    case Verb::Battery:
        if (platform::EqualNoCase(operands[0], "start") || operands[0] == "StartPost")
            operands[0] = "StartPost";
        else if (platform::EqualNoCase(operands[0], "finish") || operands[0] == "FinishPost")
            operands[0] = "FinishPost";
        else
            return "which post: start or finish, not " + operands[0];
        break;
    default: break;
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
    if (s.size() > 2 && s.compare(s.size() - 2, 2, "ms") == 0)
        s.resize(s.size() - 2);
    else if (s.size() > 1 && s.back() == 's')
        s.pop_back(), scale = 1000.0;
    if (s.empty() || !((s[0] >= '0' && s[0] <= '9') || s[0] == '.')) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(s.c_str(), &end) * scale;
    if (*end != '\0' || !std::isfinite(value) || value < 0 || value > 86400000.0) return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(std::llround(value)));
}

const std::vector<std::string>& EventNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const auto* contract : {&contract::ITarvikEventsContract(), &contract::ITarvikTestEventsContract()})
            for (const auto& member : contract->desc.members) all.push_back(platform::ToUtf8(member.name));
        return all;
    }();
    return names;
}

ParsedOptions ParseArguments(const std::vector<std::string>& arguments) {
    Options options;
    bool haveVerb = false;
    bool operandsOnly = false;  // after "--"
    ParsedOptions failed;
    auto fail = [&](std::string error) {
        failed.error = std::move(error);
        return failed;
    };
    for (const auto& a : arguments) {
        if (a == "--") break;
        if (a == "--json") failed.json = true;
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (operandsOnly || a.empty() || a[0] != '-' || a == "-" || (haveVerb && ParseLong(a))) {
            if (!haveVerb) {
                const auto it = Verbs().find(a);
                if (it == Verbs().end()) return fail("unknown command: " + a);
                options.verb = it->second.verb;
                options.verbName = a;
                haveVerb = true;
            } else {
                options.operands.push_back(a);
            }
            continue;
        }
        if (a == "--") {
            operandsOnly = true;
            continue;
        }
        // "--name=value" or "--name value"
        const auto equals = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, equals);
        std::optional<std::string> inlineValue;
        if (equals != std::string::npos) inlineValue = a.substr(equals + 1);
        auto value = [&](std::string* out) {
            if (inlineValue)
                *out = *inlineValue;
            else if (i + 1 < arguments.size())
                *out = arguments[++i];
            else
                return false;
            return true;
        };
        const bool watch = haveVerb && options.verb == Verb::Watch;
        const bool takesValue = (name == "--open" && watch) || (name == "--for" && watch) ||
                                (name == "--events" && haveVerb) ||
                                (name == "--timeout" && haveVerb && options.verb == Verb::Battery);
        if (inlineValue && !takesValue) return fail(name + " takes no value");
        std::string v;
        if (takesValue && !value(&v))
            return fail(name + (name == "--open"     ? " needs a port"
                                : name == "--events" ? " needs the names of events"
                                                     : " needs a duration"));
        if (name == "-h" || name == "--help") {
            options.help = true;
        } else if (name == "-V" || name == "--version") {
            options.version = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--confirm" && watch) {
            options.autoConfirm = true;
        } else if (name == "--trace" && haveVerb) {
            options.trace = true;
        } else if (name == "--force" && haveVerb && (options.verb == Verb::Open || watch)) {
            options.force = true;
        } else if (name == "--open") {
            const auto port = ParsePort(v);
            if (!port) return fail("not a port: " + v + " (a number from 1 to 9999, or COMn)");
            options.port = *port;
        } else if (name == "--events") {
            if (auto error = TakeEvents(v, &options.events); !error.empty()) return fail(error);
        } else if (name == "--for" || name == "--timeout") {
            if (!(options.limit = ParseDuration(v))) return fail("not a duration: " + v + " (250ms, 2s, 1.5s)");
        } else {
            return fail("unknown option: " + name + (haveVerb ? " for " + options.verbName : std::string()));
        }
    }
    if (options.help || options.version) return {options, {}, options.json};
    if (!haveVerb) return fail("no command given");
    const VerbInfo& info = Verbs().at(options.verbName);
    if (options.operands.size() < info.minOperands) return fail(options.verbName + ": too few arguments");
    if (options.operands.size() > info.maxOperands) return fail(options.verbName + ": too many arguments");
    if (options.force && options.verb == Verb::Watch && options.port == 0) return fail("--force goes with --open");
    if (std::string error = CheckOperands(options); !error.empty()) return fail(error);
    return {options, {}, options.json};
}

std::string UsageLine() {
    return "Usage: trelvanectl [--json] COMMAND [ARGUMENTS]   (trelvanectl --help lists the commands)";
}

std::string HelpText() {
    return R"(Usage: trelvanectl [--json] COMMAND [ARGUMENTS]

Uses the start-post driver as any client does: it creates the driver object
CTarvik (starting the server when none runs) and shows, with time stamps,
the events that the driver raises while the command runs (all but
InputReceived, unless --trace or --events say otherwise). Every client of
this user shares the one driver object, so trelvanectl sees and changes the
driver that another program (timing software, another trelvanectl) uses.

Commands:
  status                 whether the server is registered (for this user or
                         for every user) and running, and where its log is
                         (starts nothing)
  open N [--force]       open the port COMN (N or COMN); it stays open while a
                         client holds the driver (see watch --open); a port
                         that another client opened is taken only with --force
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
  watch [--open N]       show the events until interrupted (Ctrl-C), attached
      [--force]          to the driver as it is; --open opens COMN first (with
      [--confirm]        --force also when another client's port is open) and
      [--for D]          closes it at the end if it is still the one opened;
                         --confirm confirms every start number, --for ends
                         after the duration D (2s, 500ms)

Options (an option's value may follow as --name=VALUE):
  --json         one JSON object per line for every event and reply, with
                 "schema" (1), "time" (UTC), "source" (event, reply or error),
                 "event", "message" (the line for people) and members of its
                 own, named in snake_case; usage errors too
  --trace        show InputReceived too (every byte in both directions)
  --events LIST  show only the events named (NAME,NAME,...): StartNumberRequest,
                 StartNumberFault, SystemError, StartPostStateChanged,
                 FinishPostStateChanged, BatteryTestReady, SP_PortOpened,
                 SP_PortClosed, SP_Reset, InputReceived
  -h, --help     show this text
  -V, --version  show the version

Exit status: 0 success; 1 the command failed (the reason and what to do on
standard error, or as an "error" object with --json); 2 a usage error.
A reader of the output that goes away (a closed pipe) ends the command
quietly.

Environment:
  TRELVANE_HOME  where the state is kept (default ~/.trelvane): the port
                 links (dosdevices/comn), the registry, the servers' sockets
                 and logs (log/)

The reference of the driver's methods, properties and events, and the
troubleshooting guide, are in /usr/share/doc/trelvane/.
)";
}

}  // namespace trelvane::ctl
