#include "tools/sim/session.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/base/paths.h"
#include "tools/sim/battery.h"
#include "tools/sim/commands.h"
#include "tools/sim/line_reader.h"
#include "tools/sim/output.h"
#include "tools/sim/port_claim.h"
#include "tools/sim/prompt_reader.h"
#include "tools/common/signals.h"
#include "tools/sim/simulator.h"
#include "tools/sim/stop_flag.h"
#include "tools/sim/wording.h"

namespace trelvane::sim {
namespace {

constexpr char kPrompt[] = "trelvane-sim> ";

struct ScriptLine {
    int number;
    Command command;
};

struct Script {
    std::vector<ScriptLine> lines;
    std::string errors;  // "FILE:LINE: message" lines
};

// The whole script is checked before the port is served, so that a typo
// fails at once rather than halfway through a session.
Script LoadScript(const std::string& path) {
    Script script;
    std::ifstream file(path);
    if (!file) {
        script.errors = path + ": cannot read the script\n";
        return script;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        ParsedLine parsed = ParseCommand(line);
        if (parsed.blank) continue;
        if (parsed.command)
            script.lines.push_back({number, std::move(*parsed.command)});
        else
            script.errors += path + ":" + std::to_string(number) + ": " + parsed.error + "\n";
    }
    return script;
}

tools::Record SimulatorRecord(std::string event, std::string text, std::vector<tools::Field> fields = {}) {
    return tools::Record{
        std::chrono::system_clock::now(), "simulator", std::move(event), {}, std::move(text), std::move(fields)};
}

class Session {
public:
    Session(Output& output, Simulator& simulator, StopFlag& stop)
        : m_output(output), m_simulator(simulator), m_stop(stop) {}

    // Returns the exit status.
    int RunScript(const std::vector<ScriptLine>& lines) {
        for (const auto& line : lines) {
            if (m_stop.Raised())
                return Ended(1, "stopped before line " + std::to_string(line.number) + " of the script");
            if (auto status = Run(line.command, false)) return *status;
        }
        return Ended(0, "the script ended");
    }

    int RunInput() {
        const bool interactive = ::isatty(STDIN_FILENO) == 1;
        const bool prompt = interactive && ::isatty(STDOUT_FILENO) == 1 && !m_output.Json();
        LineReader reader(STDIN_FILENO, m_stop);
        std::optional<PromptReader> editor;
        if (prompt) editor.emplace(m_stop, platform::TrelvaneHome() + "/sim_history");
        while (true) {
            if (prompt) m_output.Prompt(kPrompt, [&] { editor->ShowPrompt(kPrompt); });
            std::string error;
            const auto line = prompt ? editor->Next(&error) : reader.Next(&error);
            m_output.EndPrompt();
            if (!line && !error.empty()) return Ended(1, "cannot read the commands: " + error);
            if (!line) return Ended(0, m_stop.Raised() ? "stopped" : "the commands ended");
            ParsedLine parsed = ParseCommand(*line);
            if (parsed.blank) continue;
            if (!parsed.command) {
                Outcome outcome;
                outcome.ok = false;
                outcome.error = parsed.error;
                m_output.WriteResult(*line, outcome);
                if (!interactive) return Ended(2, "a command did not parse");
                continue;
            }
            if (auto status = Run(*parsed.command, interactive)) return *status;
        }
    }

    const std::string& Reason() const { return m_reason; }
    bool Quit() const { return m_quit; }

private:
    // Carries out one command; an exit status when the session ends with it.
    std::optional<int> Run(const Command& command, bool interactive) {
        const Outcome outcome = m_simulator.Execute(command);
        if (!m_output.WriteResult(command.text, outcome)) return Ended(1, "the output failed");
        if (outcome.quit) {
            m_quit = true;
            return Ended(0, "quit");
        }
        if (!outcome.ok && !interactive) return Ended(1, "a command failed");
        return std::nullopt;
    }

    int Ended(int status, std::string reason) {
        m_reason = std::move(reason);
        return status;
    }

    Output& m_output;
    Simulator& m_simulator;
    StopFlag& m_stop;
    std::string m_reason;
    bool m_quit = false;
};

// Serves the port until the commands end, then as long as --stay asks;
// signals stop it. Returns the exit status and why the session ended.
int Serve(const Options& options, const Script& script, Output& output, Simulator& simulator, std::string* reason) {
    StopFlag stop;
    tools::SignalWatcher signals("trelvane-sim", [&](const char* name) {
        output.Write(SimulatorRecord("signal", std::string(name) + ": stopping", {{"signal", std::string(name)}}));
        stop.Raise();
        simulator.RequestStop();
    });
    if (!signals.Ok()) std::fprintf(stderr, "trelvane-sim: signals cannot be watched; SIGTERM ends without cleanup\n");
    output.OnReaderGone([&] { stop.Raise(); });
    Session session(output, simulator, stop);
    const int status = options.script.empty() ? session.RunInput() : session.RunScript(script.lines);
    *reason = session.Reason();
    if (status == 0 && options.stay && !session.Quit() && !stop.Raised()) {
        output.Write(SimulatorRecord("staying", "commands done; serving on until SIGINT or SIGTERM"));
        stop.Wait();
        *reason = "stopped";
    }
    output.OnReaderGone(nullptr);
    return status;
}  // no signal is taken after this: the process is ending anyway

}  // namespace

int RunSession(const Options& options) {
    tools::SignalWatcher::BlockStopSignals();
    Script script;
    if (!options.script.empty()) {
        script = LoadScript(options.script);
        if (!script.errors.empty()) {
            std::fputs(script.errors.c_str(), stderr);
            return 2;
        }
    }
    const std::string home = platform::TrelvaneHome();
    if (home.empty()) return 1;  // why is on standard error
    std::string error;
    std::string note;
    auto claim = PortClaim::Take(home, options.port, &error, &note);
    if (!claim) {
        std::fprintf(stderr, "trelvane-sim: %s\n", error.c_str());
        return 1;
    }
    Output output(stdout, options.json);
    auto simulator = Simulator::Create(home, options.port, output, &error);
    if (!simulator) {
        std::fprintf(stderr, "trelvane-sim: cannot serve %s: %s\n", options.portName.c_str(), error.c_str());
        return 1;
    }
    const std::string link = home + "/dosdevices/com" + std::to_string(options.port);
    output.Write(SimulatorRecord("serving",
                                 "serving " + options.portName + " at " + link +
                                     "; start and finish post on line, batteries " + Volts(kDefaultBatteryVolts) +
                                     (note.empty() ? "" : "; " + note),
                                 {{"port", options.portName}, {"link", link}}));
    std::string reason;
    const int status = Serve(options, script, output, *simulator, &reason);
    simulator.reset();  // removes the link and the socket
    claim.reset();
    output.Write(
        SimulatorRecord("stopped", reason + "; " + link + " removed", {{"status", static_cast<long long>(status)}}));
    return status;
}

}  // namespace trelvane::sim
