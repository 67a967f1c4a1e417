#include "tools/sim/simulator.h"

#include <algorithm>

#include "tools/sim/battery.h"
#include "tools/sim/wording.h"

namespace trelvane::sim {
namespace {

using trelvane::DeviceEnd;
using Kind = DeviceEnd::Observation::Kind;

// Driver events kept for later waits; the oldest go first.
constexpr std::size_t kMostKeptEvents = 10000;

}  // namespace

std::unique_ptr<Simulator> Simulator::Create(const std::string& home, int port, Output& output, std::string* error) {
    const std::string link = home + "/dosdevices/com" + std::to_string(port);
    std::unique_ptr<Simulator> simulator(new Simulator(output, link));
    // Both posts on line, as a device that is plugged in and working; the
    // state greets the first driver that opens the port.
    simulator->m_modem = vline::kCts | vline::kDsr;
    simulator->m_device =
        DeviceEnd::Create(home, port, error, [s = simulator.get()](const DeviceEnd::Observation& o) { s->Observe(o); });
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

// The simulator's thread: names and shows what the driver did, in order, and
// gives battery answers when they are due.
void Simulator::Run() {
    std::unique_lock lock(m_mutex);
    while (true) {
        if (!m_inbox.empty()) {
            const Inbound inbound = std::move(m_inbox.front());
            m_inbox.pop_front();
            std::vector<tools::Record> records = NameLocked(inbound);
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

std::vector<tools::Record> Simulator::NameLocked(const Inbound& inbound) {
    const auto& o = inbound.observation;
    std::vector<tools::Record> records;
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
        records = m_traffic.SettingsRequested(
            {o.settings.baud, o.settings.dataBits, o.settings.parity, o.settings.stopBits}, o.accepted);
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
    tools::Record shown;
    SetModemLine(vline::kRlsd, LineChange::Toggle, [&](bool on) {
        shown = DeviceRecord("battery-answer",
                             "battery answer: RLSD " + std::string(tools::OnOff(on)) + " " +
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
void Simulator::Publish(std::uint64_t sequence, std::vector<tools::Record> records) {
    for (const auto& record : records) m_output.Write(record);
    std::lock_guard lock(m_mutex);
    RememberLocked(sequence, std::move(records));
}

void Simulator::RememberLocked(std::uint64_t sequence, std::vector<tools::Record> records) {
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
std::optional<tools::Record> Simulator::WaitForEvent(const std::function<bool(const tools::Record&)>& match,
                                                     std::chrono::milliseconds timeout, std::uint64_t after) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto matches = [&](const Event& e) { return e.sequence > after && match(e.record); };
    std::unique_lock lock(m_mutex);
    while (true) {
        const auto found = std::find_if(m_events.begin(), m_events.end(), matches);
        if (found != m_events.end()) {
            tools::Record record = std::move(found->record);
            m_events.erase(m_events.begin(), found + 1);
            return record;
        }
        if (m_stopping) return std::nullopt;
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout &&
            std::none_of(m_events.begin(), m_events.end(), matches))
            return std::nullopt;
    }
}

void Simulator::Show(const tools::Record& record) { m_output.Write(record); }

void Simulator::SetModemLine(std::uint8_t bit, LineChange change,
                             const std::function<tools::Record(bool on)>& describe) {
    std::lock_guard lock(m_linesMutex);
    std::uint8_t bits = m_modem.load();
    const bool on = change == LineChange::Toggle ? !(bits & bit) : change == LineChange::On;
    bits = on ? static_cast<std::uint8_t>(bits | bit) : static_cast<std::uint8_t>(bits & ~bit);
    m_modem = bits;
    tools::Record record = describe(on);
    if (!m_device->Connected()) record.text += " (no driver connected; the next one is greeted with it)";
    Show(record);  // before the driver can react to it
    SendModemLines(bits);
}

void Simulator::SendModemLines(std::uint8_t bits) {
    m_device->SetModemLines(bits & vline::kCts, bits & vline::kDsr, bits & vline::kRlsd);
}

bool Simulator::StopRequested() {
    std::lock_guard lock(m_mutex);
    return m_stopping;
}

}  // namespace trelvane::sim
