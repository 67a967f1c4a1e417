// The commands that play the start post: frames, raw bytes, the lines, the
// batteries, the cable, and waiting for the driver.
#include "tools/sim/battery.h"
#include "protocol/frame_coding.h"
#include "tools/sim/wording.h"
#include "tools/sim/simulator.h"

namespace trelvane::sim {
namespace {

using namespace std::chrono_literals;

// How long the start post waits for the acknowledge of a frame byte.
constexpr auto kAcknowledgeWait = 2000ms;

}  // namespace

Outcome Simulator::Execute(const Command& command) {
    switch (command.kind) {
    case CommandKind::Number:
    case CommandKind::Unequal: return SendFrame(command);
    case CommandKind::Raw: return SendRaw(command);
    case CommandKind::Post: return ChangeLine(PostLine(command.post), command.change);
    case CommandKind::Rlsd: return ChangeLine(vline::kRlsd, command.change);
    case CommandKind::Battery: return SetBattery(command);
    case CommandKind::Unplug: return Unplug();
    case CommandKind::Replug: return Replug();
    case CommandKind::Wait: return Wait(command.duration);
    case CommandKind::Expect: return Expect(command);
    case CommandKind::Status: return Status();
    case CommandKind::Help: return Said("Commands:\n" + CommandSummary());
    case CommandKind::Quit: {
        Outcome outcome;
        outcome.quit = true;
        return outcome;
    }
    }
    return Failure("unknown command");
}

// Each frame byte after the acknowledge of the one before, as the start post
// sends it; the fourth waits for the client's confirmation, which comes as the
// final acknowledge whenever it comes.
Outcome Simulator::SendFrame(const Command& command) {
    const bool unequal = command.kind == CommandKind::Unequal;
    const auto frame = protocol::EncodeFrame(command.number, unequal ? command.second : command.number);
    if (!frame) return Failure("cannot encode the frame");  // the parser lets no such number through
    const FrameName name =
        unequal
            ? FrameName{"unequal frame " + std::to_string(command.number) + "/" + std::to_string(command.second), ""}
            : FrameName{"start number " + std::to_string(command.number), std::to_string(command.number)};
    if (!m_device->Connected()) return Failure("no driver has the port open");
    for (int i = 0; i < command.bytesToSend; ++i) {
        const std::uint8_t byte = (*frame)[static_cast<std::size_t>(i)];
        const int place = NoteSent(byte, name);
        std::string text = name.description + ", byte " + std::to_string(i + 1) + " of 4: " + tools::HexByte(byte);
        if (place != i + 1)
            text += " (byte " + std::to_string(place) + " of the driver's frame: an earlier frame was cut short)";
        Show(DeviceRecord("send", text,
                          {{"bytes", std::vector<int>{byte}}, {"frame_byte", static_cast<long long>(place)}}));
        const std::uint64_t sent = LastEvent();  // a reset or close before the byte is no answer to it
        if (!m_device->SendByte(byte))
            return Failure("the driver closed the port before byte " + std::to_string(i + 1));
        if (place > 3) continue;
        const std::string wanted = std::to_string(place);
        const auto answer = WaitForEvent(
            [&](const tools::Record& r) {
                return (r.event == "ack" && r.key == wanted) || r.event == "reset" || r.event == "disconnect";
            },
            kAcknowledgeWait, sent);
        const std::string where = " during byte " + std::to_string(i + 1) + " of " + name.description;
        if (!answer && StopRequested()) return Failure("interrupted" + where);
        if (!answer)
            return Failure("no acknowledge of frame byte " + std::to_string(place) + " within " +
                           std::to_string(kAcknowledgeWait.count()) + " ms; the start post gives the frame up");
        if (answer->event == "reset") return Failure("the driver reset the start post" + where);
        if (answer->event == "disconnect") return Failure("the driver closed the port" + where);
    }
    if (command.bytesToSend < 4)
        return Said("sent " + std::to_string(command.bytesToSend) + " of 4 bytes of " + name.description +
                    "; then silence");
    return {};
}

Outcome Simulator::SendRaw(const Command& command) {
    if (!m_device->Connected()) return Failure("no driver has the port open");
    std::string text = "raw bytes";
    for (const std::uint8_t byte : command.bytes) {
        NoteSent(byte, std::nullopt);
        text += " " + tools::HexByte(byte);
    }
    Show(DeviceRecord("send", text, {{"bytes", std::vector<int>(command.bytes.begin(), command.bytes.end())}}));
    if (!m_device->Send(command.bytes)) return Failure("the driver closed the port");
    return {};
}

Outcome Simulator::ChangeLine(std::uint8_t bit, LineChange change) {
    SetModemLine(bit, change, [bit](bool on) {
        if (bit == vline::kRlsd)
            return DeviceRecord("rlsd", std::string("RLSD ") + tools::OnOff(on), {{"on", on}}, tools::OnOff(on));
        const PostId post = bit == vline::kDsr ? PostId::Start : PostId::Finish;
        const std::string line = bit == vline::kDsr ? "DSR" : "CTS";
        return DeviceRecord(bit == vline::kDsr ? "dsr" : "cts",
                            line + " " + tools::OnOff(on) + ": " + PostName(post) + (on ? " on line" : " off line"),
                            {{"on", on}, {"post", std::string(PostKey(post))}}, tools::OnOff(on));
    });
    return {};
}

Outcome Simulator::SetBattery(const Command& command) {
    {
        std::lock_guard lock(m_mutex);
        m_volts[static_cast<int>(command.post)] = command.volts;
    }
    std::vector<tools::Field> fields{{"post", std::string(PostKey(command.post))}};
    if (!command.volts) return Said("the " + PostName(command.post) + " does not answer battery tests", fields);
    const auto delay = BatteryAnswerDelay(*command.volts);
    fields.push_back({"volts", *command.volts});
    fields.push_back({"delay_ms", Milliseconds(*delay)});
    return Said("the " + PostName(command.post) + " answers battery tests as " + Volts(*command.volts) +
                    ": RLSD changes " + std::to_string(Milliseconds(*delay)) + " ms after RTS goes on",
                fields);
}

Outcome Simulator::Unplug() {
    Show(DeviceRecord("unplug", "cable pulled: the driver's port fails, and opens fail until replug"));
    m_device->Unplug();
    return {};
}

Outcome Simulator::Replug() {
    if (!m_device->Replug()) return Failure("cannot listen on the line again");
    Show(DeviceRecord("replug", "cable plugged in again"));
    return {};
}

Outcome Simulator::Wait(std::chrono::milliseconds duration) {
    std::unique_lock lock(m_mutex);
    if (m_changed.wait_for(lock, duration, [this] { return m_stopping; })) return Failure("interrupted");
    return {};
}

Outcome Simulator::Expect(const Command& command) {
    const auto found = WaitForEvent(
        [&](const tools::Record& r) {
            return r.event == command.event && (command.argument.empty() || r.key == command.argument);
        },
        command.duration);
    const std::string what = command.event + (command.argument.empty() ? "" : " " + command.argument);
    if (!found && StopRequested()) return Failure("interrupted while waiting for " + what);
    if (!found) return Failure("no " + what + " within " + std::to_string(command.duration.count()) + " ms");
    return Said({}, {{"matched", found->text}});
}

Outcome Simulator::Status() {
    const bool connected = m_device->Connected();
    const auto settings = m_device->Settings();
    const std::uint8_t modem = m_modem.load();
    std::optional<double> volts[2];
    {
        std::lock_guard lock(m_mutex);
        volts[0] = m_volts[0];
        volts[1] = m_volts[1];
    }
    auto battery = [&](int post) { return volts[post] ? Volts(*volts[post]) : std::string("no answer"); };
    std::string text = "port link   " + m_link + "\n";
    text += std::string("driver      ") + (connected ? "connected" : "not connected") + ", " +
            std::to_string(m_device->Connections()) + " connection(s) so far\n";
    text += std::string("from it     DTR ") + tools::OnOff(m_device->Dtr()) + ", RTS " + tools::OnOff(m_device->Rts()) +
            ", break " + tools::OnOff(m_device->BreakOn()) + "\n";
    text += "settings    " + std::to_string(settings.baud) + " baud, " + std::to_string(settings.dataBits) +
            " data bits (as last set, or the line's defaults)\n";
    text += std::string("to it       DSR ") + tools::OnOff(modem & vline::kDsr) + " (start post), CTS " +
            tools::OnOff(modem & vline::kCts) + " (finish post), RLSD " + tools::OnOff(modem & vline::kRlsd) + "\n";
    text += "batteries   start post " + battery(0) + ", finish post " + battery(1);
    std::vector<tools::Field> fields{{"connected", connected},
                                     {"connections", static_cast<long long>(m_device->Connections())},
                                     {"dtr", m_device->Dtr()},
                                     {"rts", m_device->Rts()},
                                     {"dsr", (modem & vline::kDsr) != 0},
                                     {"cts", (modem & vline::kCts) != 0},
                                     {"rlsd", (modem & vline::kRlsd) != 0},
                                     {"baud", static_cast<long long>(settings.baud)}};
    for (int post = 0; post < 2; ++post)
        if (volts[post]) fields.push_back({std::string(PostKey(static_cast<PostId>(post))) + "_volts", *volts[post]});
    return Said(text, fields);
}

}  // namespace trelvane::sim
