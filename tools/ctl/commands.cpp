#include "tools/ctl/commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>

#include "contract/trelvane.h"
#include "tools/common/signals.h"
#include "tools/ctl/advice.h"
#include "tools/ctl/event_record.h"
#include "tools/ctl/properties.h"
#include "tools/ctl/reporter.h"
#include "tools/ctl/session.h"
#include "tools/ctl/status.h"
#include "tools/ctl/values.h"

namespace trelvane::ctl {
namespace {

using namespace std::chrono_literals;

constexpr auto kBatteryWait = 10s;
// How often a watcher that has nothing to show makes sure that its server is
// still there: a server that went away tells no one.
constexpr auto kWatchCheck = 2s;

int UsageError(const Options& options, const std::string& error) {
    Reporter(options.json).UsageError(error);
    return kUsageError;
}

// A property and the value to send, checked before anything is started.
struct PropertyValue {
    const Property* property = nullptr;
    VARIANT value{};
};

class Client {
public:
    explicit Client(const Options& options)
        : m_options(options),
          m_reporter(options.json),
          m_session([this](REFIID iid, DISPID dispid, const DISPPARAMS& params) { OnEvent(iid, dispid, params); }) {}

    int Run(const PropertyValue& change, const std::vector<const Property*>& shown);

private:
    void OnEvent(REFIID iid, DISPID dispid, const DISPPARAMS& params);
    int CallFailed(const std::string& what, HRESULT hr);
    int Open(int port);
    int Confirm(std::optional<long> number);
    int Battery(const std::string& post);
    int Get(const std::vector<const Property*>& properties);
    int Set(const PropertyValue& change);
    int Watch();
    void LostPort(LONG now);
    bool Shown(const std::string& event) const;
    std::optional<LONG> DriverPort();  // the driver's port, -1 for none; empty when the call failed
    int Simple(const std::string& what, HRESULT hr, const std::string& event, const std::string& text);
    HRESULT Connect();
    void OnStopSignal(const char* name);
    HRESULT Read(const Property& property, VARIANT* value);
    void ShowProperty(const Property& property, const VARIANT& value);

    const Options& m_options;
    Reporter m_reporter;
    Session m_session;
    std::string m_systemError;                                // the latest SystemError's message
    std::optional<std::pair<std::string, double>> m_battery;  // the latest BatteryTestReady
    std::deque<long> m_toConfirm;                             // watch --confirm: start numbers received
    std::mutex m_connecting;     // held by a signal that ends the program while it connects
    bool m_connected = false;    // guarded by m_connecting
    bool m_stopAsked = false;    // guarded by m_connecting: a stop signal came once connected
    bool m_portChanged = false;  // SP_PortOpened or SP_PortClosed since the last look
};

void Client::OnEvent(REFIID iid, DISPID dispid, const DISPPARAMS& params) {
    const tools::Record record = EventRecord(iid, dispid, params, std::chrono::system_clock::now());
    if (Shown(record.event)) m_reporter.Show(record);
    if (m_reporter.ReaderGone()) m_session.Stop();
    auto field = [&](const char* name) -> const tools::Value* {
        for (const auto& f : record.fields)
            if (f.name == name) return &f.value;
        return nullptr;
    };
    if (record.event == "SystemError") {
        if (const auto* message = field("error_message"); message && std::holds_alternative<std::string>(*message))
            m_systemError = std::get<std::string>(*message);
    } else if (record.event == "BatteryTestReady") {
        const auto* post = field("device_selector");
        const auto* volts = field("voltage");
        if (post && volts && std::holds_alternative<std::string>(*post) && std::holds_alternative<double>(*volts))
            m_battery.emplace(std::get<std::string>(*post), std::get<double>(*volts));
    } else if (record.event == "StartNumberRequest" && m_options.autoConfirm) {
        if (const auto* number = field("start_number"); number && std::holds_alternative<long long>(*number))
            m_toConfirm.push_back(static_cast<long>(std::get<long long>(*number)));
    } else if (record.event == "SP_PortClosed" || record.event == "SP_PortOpened") {
        m_portChanged = true;
    }
}

bool Client::Shown(const std::string& event) const {
    const auto& only = m_options.events;
    if (!only.empty()) return std::find(only.begin(), only.end(), event) != only.end();
    return event != "InputReceived" || m_options.trace;
}

std::optional<LONG> Client::DriverPort() {
    LONG port = -1;
    if (HRESULT hr = m_session.Tarvik()->get_PortNumber(&port); FAILED(hr)) {
        CallFailed("reading the port", hr);
        return std::nullopt;
    }
    return port;
}

int Client::CallFailed(const std::string& what, HRESULT hr) {
    if (hr == RPC_E_DISCONNECTED) {
        m_reporter.Failure(what + " failed: the server went away", ServerGoneAdvice());
        return kFailed;
    }
    const std::string reason = m_systemError.empty() ? ResultText(hr) : m_systemError;
    m_reporter.Failure(what + " failed: " + reason);
    return kFailed;
}

int Client::Simple(const std::string& what, HRESULT hr, const std::string& event, const std::string& text) {
    if (hr != S_OK) return CallFailed(what, hr);
    m_reporter.Reply(event, text);
    return kSucceeded;
}

int Client::Open(int port) {
    const std::string name = "COM" + std::to_string(port);
    // The driver is shared: another client's port is closed by an Open, so
    // it is taken only when asked to.
    const auto current = DriverPort();
    if (!current) return kFailed;
    if (*current != -1 && !m_options.force) {
        if (*current == port) {
            m_reporter.Reply("opened", name + " is open already", {{"port", static_cast<long long>(port)}});
            return kSucceeded;
        }
        m_reporter.Failure("another client has COM" + std::to_string(*current) + " open",
                           "--force closes it and opens " + name + " in its place");
        return kFailed;
    }
    LONG status = 0;
    m_systemError.clear();
    const HRESULT hr = m_session.Tarvik()->Open(port, &status);
    if (hr == S_OK) {
        m_reporter.Reply("opened", name + " opened", {{"port", static_cast<long long>(port)}});
        return kSucceeded;
    }
    if (FAILED(hr)) return CallFailed("opening " + name, hr);
    const std::string advice =
        static_cast<contract::OpenStatus>(status) == contract::OpenStatus::PortNotOpened
            ? PortAdvice(port)
            : "the port opened but did not take the device's settings (68 baud, 8 data bits, no parity); "
              "is it a serial port that can run at that rate?";
    m_reporter.Failure(name + " did not open (status " + std::to_string(status) + "): " + m_systemError, advice);
    return kFailed;
}

int Client::Confirm(std::optional<long> number) {
    LONG last = -1;
    if (HRESULT hr = m_session.Tarvik()->get_StartNumber(&last); FAILED(hr)) return CallFailed("confirming", hr);
    if (!number && last == -1) {
        m_reporter.Failure("no start number to confirm: none has been received since the port opened");
        return kFailed;
    }
    const LONG n = number ? static_cast<LONG>(*number) : last;  // ParseLong keeps it within LONG's range
    m_systemError.clear();
    const HRESULT hr = m_session.Tarvik()->StartNumberOK(n);
    if (hr == S_FALSE) {
        m_reporter.Failure(std::to_string(n) + " is not the start number received last (" + std::to_string(last) +
                           "): nothing was sent to the device");
        return kFailed;
    }
    if (hr != S_OK) return CallFailed("confirming " + std::to_string(n), hr);
    m_reporter.Reply("confirmed", "start number " + std::to_string(n) + " confirmed",
                     {{"number", static_cast<long long>(n)}});
    return kSucceeded;
}

int Client::Battery(const std::string& post) {
    const platform::Bstr selector(platform::FromUtf8(post));
    m_systemError.clear();
    m_battery.reset();
    const HRESULT hr = m_session.Tarvik()->StartBatteryTest(selector.Get());
    if (hr == S_FALSE) {
        m_reporter.Failure("the battery test of the " + post + " did not start: " + m_systemError,
                           m_systemError == "Device off line" ? "the post must be on line, on an open port" : "");
        return kFailed;
    }
    if (hr != S_OK) return CallFailed("the battery test", hr);
    const auto limit = m_options.limit.value_or(kBatteryWait);
    const auto ended = m_session.Pump([&] { return m_battery && m_battery->first == post; }, limit);
    if (ended == Session::Ended::Done) {
        char volts[32];
        std::snprintf(volts, sizeof volts, "%.2f", m_battery->second);
        m_reporter.Reply("battery", post + " battery " + volts + " V",
                         {{"post", post}, {"voltage", m_battery->second}});
        return kSucceeded;
    }
    if (ended == Session::Ended::Stopped) return kFailed;
    m_reporter.Failure("no answer from the " + post + " within " + std::to_string(limit.count()) + " ms",
                       "the measurement stays active until the post answers: is it connected and on line?");
    return kFailed;
}

HRESULT Client::Read(const Property& property, VARIANT* value) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VariantInit(value);
    return m_session.DispatchFor(property.iid)
        ->Invoke(property.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value, nullptr, nullptr);
}

void Client::ShowProperty(const Property& property, const VARIANT& value) {
    m_reporter.Reply("property", property.name + " " + TextOf(value),
                     {{"name", property.name}, {"value", JsonValueOf(value)}});
}

int Client::Get(const std::vector<const Property*>& properties) {
    for (const Property* property : properties) {
        VARIANT value;
        if (HRESULT hr = Read(*property, &value); FAILED(hr)) return CallFailed("reading " + property->name, hr);
        ShowProperty(*property, value);
        VariantClear(&value);
    }
    return kSucceeded;
}

int Client::Set(const PropertyValue& change) {
    const Property& property = *change.property;
    if (property.lineSetting) {
        LONG baud = -1;
        if (HRESULT hr = m_session.Test()->get_BaudRate(&baud); FAILED(hr)) return CallFailed("setting", hr);
        if (baud == -1) {
            m_reporter.Failure("no port is open: " + property.name + " is a setting of the open port",
                               "open one first (trelvanectl open N), while a client such as `trelvanectl watch` "
                               "holds the driver");
            return kFailed;
        }
    }
    VARIANT argument = change.value;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&argument, &named, 1, 1};
    m_systemError.clear();
    const HRESULT hr = m_session.DispatchFor(property.iid)
                           ->Invoke(property.dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params,
                                    nullptr, nullptr, nullptr);
    if (FAILED(hr)) return CallFailed("setting " + property.name, hr);
    if (!property.readable) {
        m_reporter.Reply("set", property.name + " set");
        return kSucceeded;
    }
    return Get({&property});
}

int Client::Watch() {
    // The port this watcher opened, as long as it stays the driver's port:
    // closed at the end, and only then.
    bool holding = false;
    if (m_options.port != 0) {
        const auto current = DriverPort();
        if (!current) return kFailed;
        if (*current == m_options.port && !m_options.force) {
            m_reporter.Reply("opened", "COM" + std::to_string(*current) + " is open already: watching it",
                             {{"port", static_cast<long long>(*current)}});
        } else {
            if (int status = Open(m_options.port); status != kSucceeded) return status;
            holding = true;
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = m_options.limit ? Clock::now() + *m_options.limit : Clock::time_point::max();
    int status = kSucceeded;
    while (status == kSucceeded) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::min(Clock::now(), deadline));
        const auto wait = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(kWatchCheck), left);
        const auto ended = m_session.Pump([&] { return !m_toConfirm.empty() || m_portChanged; }, wait);
        if (ended == Session::Ended::Stopped || Clock::now() >= deadline) break;
        // Confirmed here rather than inside the event: the call then runs
        // in no one else's dispatch.
        while (!m_toConfirm.empty()) {
            Confirm(m_toConfirm.front());  // a failure (a number overtaken by the next) is shown; watching goes on
            m_toConfirm.pop_front();
        }
        // Reading the port also makes sure that the server is still there: a
        // server that went away tells no one.
        if (ended == Session::Ended::TimedOut || m_portChanged) {
            m_portChanged = false;
            const auto port = DriverPort();
            if (!port) {
                status = kFailed;
            } else if (holding && *port != m_options.port) {
                LostPort(*port);
                holding = false;
            }
        }
    }
    if (!holding || status != kSucceeded) return status;
    const auto port = DriverPort();
    if (!port) return kFailed;
    if (*port != m_options.port) {
        LostPort(*port);
        return kSucceeded;
    }
    return Simple("closing", m_session.Tarvik()->Close(), "closed", "port closed");
}

void Client::LostPort(LONG now) {
    const std::string mine = "COM" + std::to_string(m_options.port);
    m_reporter.Reply("port-lost",
                     now == -1 ? mine + " was closed by another client"
                               : "another client opened COM" + std::to_string(now) + " in place of " + mine,
                     {{"port", static_cast<long long>(m_options.port)},
                      {"now", now == -1 ? tools::Value(tools::Null{}) : tools::Value(static_cast<long long>(now))}});
}

// Reaching the driver can wait for its server to start, in a call that
// nothing can cut short: a stop signal then ends the program at once. Once
// connected, it ends the command's wait instead, and a second one ends the
// program (a call to a server that does not answer has no time limit).
void Client::OnStopSignal(const char* name) {
    {
        std::lock_guard lock(m_connecting);
        if (!m_connected || m_stopAsked) {
            // A second signal: the command's wait has not ended, as a call to
            // a server that does not answer does not.
            m_reporter.Failure(std::string("interrupted by ") + name +
                               (m_connected ? " while the driver did not answer" : " while reaching the driver"));
            std::fflush(nullptr);
            std::_Exit(kFailed);
        }
        m_stopAsked = true;
    }
    m_session.Stop();
}

HRESULT Client::Connect() {
    const HRESULT hr = m_session.Connect();
    std::lock_guard lock(m_connecting);
    m_connected = true;
    return hr;
}

int Client::Run(const PropertyValue& change, const std::vector<const Property*>& shown) {
    tools::SignalWatcher signals("trelvanectl", [this](const char* name) { OnStopSignal(name); });
    // Said at once: creating the driver may wait for its server to start.
    if (m_options.verb == Verb::Watch) {
        const std::string what = m_options.port ? "COM" + std::to_string(m_options.port) : std::string("the driver");
        std::fprintf(stderr, "watching %s (Ctrl-C to stop)\n", what.c_str());
    }
    if (HRESULT hr = Connect(); FAILED(hr)) {
        m_reporter.Failure("cannot reach the driver: " + ResultText(hr), ActivationAdvice(hr));
        return kFailed;
    }
    ITarvik* tarvik = m_session.Tarvik();
    ITarvikTest* test = m_session.Test();
    const auto& o = m_options;
    switch (o.verb) {
    case Verb::Open: return Open(o.port);
    case Verb::Close: return Simple("closing", tarvik->Close(), "closed", "port closed");
    case Verb::Reset: return Simple("the reset", tarvik->ResetStartPost(), "reset", "reset sent");
    case Verb::Confirm: return Confirm(o.number);
    case Verb::Inject:
        return Simple("injecting", test->put_StartNumberTest(static_cast<LONG>(*o.number)), "injected",
                      "start number " + std::to_string(*o.number) + " injected");
    case Verb::Write: {
        const platform::Bstr text(platform::FromUtf8(o.operands[0]));
        m_systemError.clear();
        const HRESULT hr = test->WriteToPort(text.Get());
        return Simple("writing", hr, "written", "written: " + tools::Printable(o.operands[0]));
    }
    case Verb::Battery: return Battery(o.operands[0]);
    case Verb::Get: return Get(shown);
    case Verb::Set: return Set(change);
    case Verb::Watch: return Watch();
    case Verb::Status: break;
    }
    return kSucceeded;
}

// The properties that `get` shows: those named, or every readable one.
std::optional<std::vector<const Property*>> ShownProperties(const Options& options, std::string* error) {
    std::vector<const Property*> shown;
    if (options.operands.empty()) {
        for (const auto& p : Properties())
            if (p.readable) shown.push_back(&p);
        return shown;
    }
    for (const auto& name : options.operands) {
        const Property* p = FindProperty(name);
        if (!p) return *error = "no such property: " + name, std::nullopt;
        if (!p->readable) return *error = p->name + " can only be set", std::nullopt;
        shown.push_back(p);
    }
    return shown;
}

std::optional<PropertyValue> Change(const Options& options, std::string* error) {
    PropertyValue change;
    change.property = FindProperty(options.operands[0]);
    if (!change.property) return *error = "no such property: " + options.operands[0], std::nullopt;
    if (!change.property->writable) return *error = change.property->name + " cannot be set", std::nullopt;
    std::string expected;
    const std::string value = CanonicalValue(*change.property, options.operands[1], &expected);
    if (value.empty() && !expected.empty())
        return *error = change.property->name + " takes " + expected + ", not " + options.operands[1], std::nullopt;
    if (auto what = ParseValue(change.property->type, value, &change.value))
        return *error = change.property->name + " takes " + *what + ", not " + options.operands[1], std::nullopt;
    return change;
}

}  // namespace

int RunCommand(const Options& options) {
    if (options.verb == Verb::Status) return ShowStatus(options.json);
    std::string error;
    std::vector<const Property*> shown;
    PropertyValue change;
    if (options.verb == Verb::Get) {
        auto properties = ShownProperties(options, &error);
        if (!properties) return UsageError(options, error);
        shown = *properties;
    } else if (options.verb == Verb::Set) {
        auto parsed = Change(options, &error);
        if (!parsed) return UsageError(options, error);
        change = *parsed;
    }
    tools::SignalWatcher::BlockStopSignals();
    int status;
    {
        Client client(options);
        status = client.Run(change, shown);
    }
    VariantClear(&change.value);
    return status;
}

}  // namespace trelvane::ctl
