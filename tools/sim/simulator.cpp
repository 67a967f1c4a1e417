#include "tools/sim/simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/sim/battery.h"
#include "tools/sim/frame_encoding.h"

namespace sim {
namespace {

using namespace std::chrono_literals;
using trelvane::DeviceEnd;
using Kind = DeviceEnd::Observation::Kind;

// How long the start post waits for the acknowledge of a frame byte.
constexpr auto kAcknowledgeWait = 2000ms;
// Driver events kept for later waits; the oldest go first.
constexpr std::size_t kMostKeptEvents = 10000;

const char* PostKey(PostId post) { return post == PostId::Start ? "start" : "finish"; }
std::string PostName(PostId post) { return std::string(PostKey(post)) + " post"; }
std::uint8_t PostLine(PostId post) { return post == PostId::Start ? vline::kDsr : vline::kCts; }
const char* OnOff(bool on) { return on ? "on" : "off"; }

std::string Hex(std::uint8_t byte) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

std::string Volts(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f V", volts);
    return text;
}

long long Milliseconds(std::chrono::microseconds delay) { return std::llround(delay.count() / 1000.0); }

Record DeviceRecord(std::string event, std::string text, std::vector<Field> fields = {}, std::string key = {}) {
    return Record{std::chrono::system_clock::now(), "device", std::move(event), std::move(key), std::move(text),
                  std::move(fields)};
}

Outcome Failure(std::string error) {
    Outcome outcome;
    outcome.ok = false;
    outcome.error = std::move(error);
    return outcome;
}

Outcome Said(std::string text, std::vector<Field> fields = {}) {
    Outcome outcome;
    outcome.text = std::move(text);
    outcome.fields = std::move(fields);
    return outcome;
}

}  // namespace

std::unique_ptr<Simulator> Simulator::Create(const std::string& home, int port, Output& output, std::string* error) {
    const std::string link = home + "/dosdevices/com" + std::to_string(port);
    std::unique_ptr<Simulator> simulator(new Simulator(output, link));
    // Both posts on line, as a device that is plugged in and working; the
    // state greets the first driver that opens the port.
    simulator->m_modem = vline::kCts | vline::kDsr;
    simulator->m_device = DeviceEnd::Create(home, port, error, [s = simulator.get()](const DeviceEnd::Observation& o) {
        s->Observe(o);
    });
    if (!simulator->m_device) return nullptr;
    simulator->SendModemLines(simulator->m_modem.load());
    simulator->m_thread = std::thread([s = simulator.get()] { s->Run(); });
    return simulator;
}

Simulator::Simulator(Output& output, std::string link) : m_output(output), m_link(std::move(link)) {}

Simulator::~Simulator() {
    {
        std::lock_guard lock(m_mutex);
        m_ending = true;
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
    m_device.reset();  // removes the link and the socket
    // What the device end reported after the thread ended.
    std::unique_lock lock(m_mutex);
    while (!m_inbox.empty()) {
        const Inbound inbound = std::move(m_inbox.front());
        m_inbox.pop_front();
        for (const auto& record : NameLocked(inbound)) m_output.Write(record);
    }
}

void Simulator::Observe(const DeviceEnd::Observation& observation) {
    std::lock_guard lock(m_mutex);
    m_inbox.push_back(
        {++m_lastSequence, observation, std::chrono::system_clock::now(), std::chrono::steady_clock::now()});
    m_changed.notify_all();
}

void Simulator::RequestStop() {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_changed.notify_all();
}

void Simulator::WaitForStop() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_stopping; });
}

// The simulator's thread: names and shows what the driver did, in order, and
// gives battery answers when they are due.
void Simulator::Run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        if (!m_inbox.empty()) {
            const Inbound inbound = std::move(m_inbox.front());
            m_inbox.pop_front();
            std::vector<Record> records = NameLocked(inbound);
            m_naming = true;
            lock.unlock();
            Publish(inbound.sequence, std::move(records));
            lock.lock();
            m_naming = false;
            m_changed.notify_all();
        } else if (m_ending) {
            return;
        } else if (m_answer && std::chrono::steady_clock::now() >= m_answer->due) {
            const Answer answer = *m_answer;
            m_answer.reset();
            lock.unlock();
            GiveAnswer(answer);
            lock.lock();
        } else if (m_answer) {
            m_changed.wait_until(lock, m_answer->due);
        } else {
            m_changed.wait(lock);
        }
    }
}

std::vector<Record> Simulator::NameLocked(const Inbound& inbound) {
    const auto& o = inbound.observation;
    std::vector<Record> records;
    switch (o.kind) {
    case Kind::Connected: records = m_traffic.Connected(); break;
    case Kind::Refused: records = m_traffic.Refused(); break;
    case Kind::Disconnected:
        m_answer.reset();
        records = m_traffic.Disconnected();
        break;
    case Kind::Data:
        for (const std::uint8_t byte : o.data) {
            auto named = m_traffic.Received(byte);
            records.insert(records.end(), named.begin(), named.end());
        }
        break;
    case Kind::Lines: {
        const std::uint8_t previous = m_traffic.LinesNow();
        records = m_traffic.Lines(o.lines);
        AnswerBatteryTestLocked(previous, o.lines, inbound.steady);
        break;
    }
    case Kind::Settings:
        records = m_traffic.SettingsRequested({o.settings.baud, o.settings.dataBits, o.settings.parity, o.settings.stopBits},
                                              o.accepted);
        break;
    }
    for (auto& record : records) record.time = inbound.time;
    return records;
}

// The driver starts a measurement by raising RTS, with DTR choosing the
// post, and ends it at any RLSD change. A post that is off line or has no
// battery answer set stays silent; RTS going off first abandons the answer.
void Simulator::AnswerBatteryTestLocked(std::uint8_t previousLines, std::uint8_t lines, SteadyTime when) {
    const bool rtsBefore = (previousLines & vline::kRts) != 0;
    const bool rtsNow = (lines & vline::kRts) != 0;
    if (rtsBefore == rtsNow) return;
    m_answer.reset();
    if (!rtsNow) return;
    const PostId post = (lines & vline::kDtr) ? PostId::Finish : PostId::Start;
    const auto& volts = m_volts[static_cast<int>(post)];
    if (!volts || !(m_modem.load() & PostLine(post))) return;
    const auto delay = BatteryAnswerDelay(*volts);
    if (delay) m_answer = Answer{post, *volts, *delay, when + *delay};
}

void Simulator::GiveAnswer(const Answer& answer) {
    Record shown;
    SetModemLine(vline::kRlsd, LineChange::Toggle, [&](bool on) {
        shown = DeviceRecord("battery-answer",
                             "battery answer: RLSD " + std::string(OnOff(on)) + " " +
                                 std::to_string(Milliseconds(answer.delay)) + " ms after RTS went on (" +
                                 PostName(answer.post) + ", " + Volts(answer.volts) + ")",
                             {{"post", std::string(PostKey(answer.post))},
                              {"volts", answer.volts},
                              {"delay_ms", Milliseconds(answer.delay)},
                              {"rlsd", on}},
                             PostKey(answer.post));
        return shown;
    });
    std::lock_guard lock(m_mutex);
    RememberLocked(++m_lastSequence, {shown});  // shown already, as the line changed
}

// Shows records of the driver, then lets waits see them, so that a wait's
// result never comes out before what it waited for.
void Simulator::Publish(std::uint64_t sequence, std::vector<Record> records) {
    for (const auto& record : records) m_output.Write(record);
    std::lock_guard lock(m_mutex);
    RememberLocked(sequence, std::move(records));
}

void Simulator::RememberLocked(std::uint64_t sequence, std::vector<Record> records) {
    for (auto& record : records) m_events.push_back({sequence, std::move(record)});
    while (m_events.size() > kMostKeptEvents) m_events.pop_front();
    m_changed.notify_all();
}

// What the driver did before the device sends a byte is named first, so that
// a reset that came just before does not forget the byte.
int Simulator::NoteSent(std::uint8_t byte, const std::optional<FrameName>& name) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return (m_inbox.empty() && !m_naming) || m_ending; });
    return m_traffic.DeviceSent(byte, name);
}

std::uint64_t Simulator::LastEvent() {
    std::lock_guard lock(m_mutex);
    return m_lastSequence;
}

// The first event not yet matched (and later than after) that matches; the
// ones before it are passed over for good.
std::optional<Record> Simulator::WaitForEvent(const std::function<bool(const Record&)>& match,
                                              std::chrono::milliseconds timeout, std::uint64_t after) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto matches = [&](const Event& e) { return e.sequence > after && match(e.record); };
    std::unique_lock lock(m_mutex);
    while (true) {
        const auto found = std::find_if(m_events.begin(), m_events.end(), matches);
        if (found != m_events.end()) {
            Record record = std::move(found->record);
            m_events.erase(m_events.begin(), found + 1);
            return record;
        }
        if (m_stopping) return std::nullopt;
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout &&
            std::none_of(m_events.begin(), m_events.end(), matches))
            return std::nullopt;
    }
}

void Simulator::Show(Record record) { m_output.Write(record); }

void Simulator::SetModemLine(std::uint8_t bit, LineChange change, const std::function<Record(bool on)>& describe) {
    std::lock_guard lock(m_linesMutex);
    std::uint8_t bits = m_modem.load();
    const bool on = change == LineChange::Toggle ? !(bits & bit) : change == LineChange::On;
    bits = on ? static_cast<std::uint8_t>(bits | bit) : static_cast<std::uint8_t>(bits & ~bit);
    m_modem = bits;
    Record record = describe(on);
    if (!m_device->Connected()) record.text += " (no driver connected; the next one is greeted with it)";
    Show(std::move(record));  // before the driver can react to it
    SendModemLines(bits);
}

void Simulator::SendModemLines(std::uint8_t bits) {
    m_device->SetModemLines(bits & vline::kCts, bits & vline::kDsr, bits & vline::kRlsd);
}

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
    const auto frame = EncodeFrame(command.number, unequal ? command.second : command.number);
    if (!frame) return Failure("cannot encode the frame");  // the parser lets no such number through
    const FrameName name = unequal ? FrameName{"unequal frame " + std::to_string(command.number) + "/" +
                                                   std::to_string(command.second),
                                               ""}
                                   : FrameName{"start number " + std::to_string(command.number),
                                               std::to_string(command.number)};
    if (!m_device->Connected()) return Failure("no driver has the port open");
    for (int i = 0; i < command.bytesToSend; ++i) {
        const std::uint8_t byte = (*frame)[static_cast<std::size_t>(i)];
        const int place = NoteSent(byte, name);
        std::string text = name.description + ", byte " + std::to_string(i + 1) + " of 4: " + Hex(byte);
        if (place != i + 1)
            text += " (byte " + std::to_string(place) + " of the driver's frame: an earlier frame was cut short)";
        Show(DeviceRecord("send", text, {{"bytes", std::vector<int>{byte}}, {"frame_byte", static_cast<long long>(place)}}));
        const std::uint64_t sent = LastEvent();  // a reset or close before the byte is no answer to it
        if (!m_device->SendByte(byte)) return Failure("the driver closed the port before byte " + std::to_string(i + 1));
        if (place > 3) continue;
        const std::string wanted = std::to_string(place);
        const auto answer = WaitForEvent(
            [&](const Record& r) {
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
        text += " " + Hex(byte);
    }
    Show(DeviceRecord("send", text, {{"bytes", std::vector<int>(command.bytes.begin(), command.bytes.end())}}));
    if (!m_device->Send(command.bytes)) return Failure("the driver closed the port");
    return {};
}

Outcome Simulator::ChangeLine(std::uint8_t bit, LineChange change) {
    SetModemLine(bit, change, [bit](bool on) {
        if (bit == vline::kRlsd)
            return DeviceRecord("rlsd", std::string("RLSD ") + OnOff(on), {{"on", on}}, OnOff(on));
        const PostId post = bit == vline::kDsr ? PostId::Start : PostId::Finish;
        const std::string line = bit == vline::kDsr ? "DSR" : "CTS";
        return DeviceRecord(bit == vline::kDsr ? "dsr" : "cts",
                            line + " " + OnOff(on) + ": " + PostName(post) + (on ? " on line" : " off line"),
                            {{"on", on}, {"post", std::string(PostKey(post))}}, OnOff(on));
    });
    return {};
}

Outcome Simulator::SetBattery(const Command& command) {
    {
        std::lock_guard lock(m_mutex);
        m_volts[static_cast<int>(command.post)] = command.volts;
    }
    std::vector<Field> fields{{"post", std::string(PostKey(command.post))}};
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
        [&](const Record& r) { return r.event == command.event && (command.argument.empty() || r.key == command.argument); },
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
    text += std::string("from it     DTR ") + OnOff(m_device->Dtr()) + ", RTS " + OnOff(m_device->Rts()) +
            ", break " + OnOff(m_device->BreakOn()) + "\n";
    text += "settings    " + std::to_string(settings.baud) + " baud, " + std::to_string(settings.dataBits) +
            " data bits (as last set, or the line's defaults)\n";
    text += std::string("to it       DSR ") + OnOff(modem & vline::kDsr) + " (start post), CTS " +
            OnOff(modem & vline::kCts) + " (finish post), RLSD " + OnOff(modem & vline::kRlsd) + "\n";
    text += "batteries   start post " + battery(0) + ", finish post " + battery(1);
    std::vector<Field> fields{{"connected", connected},
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

bool Simulator::StopRequested() {
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

}  // namespace sim
