// bench_soak_client: a remote client of the driver object for the soak
// (bench_soak), in a process of its own. It holds the object with a sink on
// each event interface, writes a line for every start-number event it gets
// ("number N T", "fault C T", "error TEXT"; T the monotonic clock in
// nanoseconds on arrival), counts the test events, and runs the commands
// read from its standard input, one a line, answering each with a line that
// starts with the command's name:
//   open P            Open(P): "open HRESULT STATUS"
//   cycles N P        N times Close, Open(P): "cycles FAILURES T..." (us each)
//   activations N     N times create, read a property, release (a process
//                     started with --bare holds nothing between them):
//                     "activations FAILURES T..." (us each)
//   confirm 0|1       from now on, StartNumberOK for each number reported
//   test-events 0|1   disconnect or connect the sink of the test events
//   counts            "counts READS ACKNOWLEDGES OPENED CLOSED RESETS"
// Options: --slow-ms N sleeps N ms in the sink for each start-number event;
// --bare creates nothing until asked. It ends when its standard input closes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "contract/trelvane.h"
#include "tests/support/dispatch_sink.h"

namespace trelvane {
namespace {

long long Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// A sink on one of the object's connection points, for as long as it lives.
class Connection {
public:
    Connection(IUnknown* object, REFIID iid, IUnknown* sink) {
        platform::ComPtr<IConnectionPointContainer> container;
        HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
        if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, m_point.Out());
        if (SUCCEEDED(hr)) hr = m_point->Advise(sink, &m_cookie);
        if (FAILED(hr)) m_point.Reset();
    }
    ~Connection() {
        if (m_point) m_point->Unadvise(m_cookie);
    }
    bool Ok() const { return static_cast<bool>(m_point); }

private:
    platform::ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

// What the client holds and what its sinks have seen; the main thread only.
struct State {
    platform::ComPtr<ITarvik> tarvik;
    IUnknown* testSink = nullptr;
    std::unique_ptr<Connection> testConnection;  // while the test events are wanted
    int slowMs = 0;
    bool confirm = false;
    long long reads = 0, acknowledges = 0, opened = 0, closed = 0, resets = 0;
};

class EventSink final : public trelvane::testing::DispatchSink {
public:
    explicit EventSink(State& state) : DispatchSink(contract::DIID__ITarvikEvents), m_state(state) {}
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        const long long at = Now();
        const VARIANT* last = params && params->cArgs ? &params->rgvarg[0] : nullptr;  // arguments come reversed
        if (id == 1 || id == 2) {
            if (m_state.slowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_state.slowMs));
            if (id == 1 && last) {
                Say("number " + std::to_string(last->lVal) + " " + std::to_string(at));
                if (m_state.confirm) {
                    const HRESULT hr = m_state.tarvik->StartNumberOK(last->lVal);
                    if (hr != S_OK) Say("confirm-refused " + std::to_string(last->lVal) + " " + Hex(hr));
                }
            } else if (id == 2 && params->cArgs == 2) {
                Say("fault " + std::to_string(params->rgvarg[1].lVal) + " " + std::to_string(at));
            }
        } else if (id == 4 && last && last->vt == VT_BSTR) {
            Say("error " + platform::ToUtf8(last->bstrVal));
        }
        return S_OK;
    }

private:
    State& m_state;
};

class TestEventSink final : public trelvane::testing::DispatchSink {
public:
    explicit TestEventSink(State& state) : DispatchSink(contract::DIID__ITarvikTestEvents), m_state(state) {}
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (id == 1) ++m_state.opened;
        if (id == 2) ++m_state.closed;
        if (id == 3) ++m_state.resets;
        if (id == 4 && params && params->cArgs == 1 && params->rgvarg[0].vt == VT_BSTR) {
            const std::u16string_view text(params->rgvarg[0].bstrVal);
            if (text.starts_with(u"Read: ")) ++m_state.reads;
            if (text == u"Write: '0xf0' (Acknowledge)") ++m_state.acknowledges;
        }
        return S_OK;
    }

private:
    State& m_state;
};

double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

std::string Times(const char* name, int failures, const std::vector<double>& times) {
    std::string line = std::string(name) + " " + std::to_string(failures);
    char text[32];
    for (double t : times) {
        std::snprintf(text, sizeof text, " %.1f", t);
        line += text;
    }
    return line;
}

bool Activate(platform::ComPtr<ITarvik>* tarvik) {
    return SUCCEEDED(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                      reinterpret_cast<void**>(tarvik->Out())));
}

void Run(State& state, const std::string& line) {
    std::istringstream in(line);
    std::string command;
    long a = 0, b = 0;
    in >> command >> a >> b;
    if (command == "open") {
        LONG status = -1;
        const HRESULT hr = state.tarvik ? state.tarvik->Open(a, &status) : E_POINTER;
        Say("open " + Hex(hr) + " " + std::to_string(status));
    } else if (command == "cycles") {
        int failures = 0;
        std::vector<double> times;
        for (long i = 0; i < a && state.tarvik; ++i) {
            const auto start = std::chrono::steady_clock::now();
            LONG status = -1;
            if (state.tarvik->Close() != S_OK || state.tarvik->Open(b, &status) != S_OK || status != 0) ++failures;
            times.push_back(MicrosecondsSince(start));
        }
        Say(Times("cycles", state.tarvik ? failures : 1, times));
    } else if (command == "activations") {
        int failures = 0;
        std::vector<double> times;
        for (long i = 0; i < a; ++i) {
            const auto start = std::chrono::steady_clock::now();
            platform::ComPtr<ITarvik> tarvik;
            LONG timeout = 0;
            if (!Activate(&tarvik) || tarvik->get_InterCharacterTimeout(&timeout) != S_OK || timeout != 1500)
                ++failures;
            tarvik.Reset();
            times.push_back(MicrosecondsSince(start));
        }
        Say(Times("activations", failures, times));
    } else if (command == "confirm") {
        state.confirm = a != 0;
        Say("confirm " + std::to_string(a));
    } else if (command == "test-events") {
        state.testConnection.reset();
        if (a != 0 && state.tarvik)
            state.testConnection =
                std::make_unique<Connection>(state.tarvik.Get(), contract::DIID__ITarvikTestEvents, state.testSink);
        Say("test-events " + std::to_string(state.testConnection && state.testConnection->Ok() ? 1 : 0));
    } else if (command == "counts") {
        Say("counts " + std::to_string(state.reads) + " " + std::to_string(state.acknowledges) + " " +
            std::to_string(state.opened) + " " + std::to_string(state.closed) + " " + std::to_string(state.resets));
    } else {
        Say("unknown " + line);
    }
}

// Standard input, a line at a time, handed to the main thread's loop.
class Commands {
public:
    explicit Commands(DWORD mainThread) : m_mainThread(mainThread) {
        std::thread([this] { Read(); }).detach();
    }
    bool Take(std::string* line) {
        std::lock_guard lock(m_mutex);
        if (m_lines.empty()) return false;
        *line = std::move(m_lines.front());
        m_lines.pop_front();
        return true;
    }

private:
    void Read() {
        for (std::string line; std::getline(std::cin, line);) {
            {
                std::lock_guard lock(m_mutex);
                m_lines.push_back(std::move(line));
            }
            PostThreadMessageW(m_mainThread, WM_APP, 0, 0);
        }
        PostThreadMessageW(m_mainThread, WM_QUIT, 0, 0);
    }

    const DWORD m_mainThread;
    std::mutex m_mutex;
    std::deque<std::string> m_lines;
};

}  // namespace

int Main(int argc, char** argv) {
    State state;
    bool bare = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--bare") == 0) bare = true;
        if (std::strcmp(argv[i], "--slow-ms") == 0 && i + 1 < argc) state.slowMs = std::atoi(argv[++i]);
    }
    CoInitialize(nullptr);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    auto events = platform::ComPtr<EventSink>::Attach(new EventSink(state));
    auto testEvents = platform::ComPtr<TestEventSink>::Attach(new TestEventSink(state));
    state.testSink = testEvents.Get();
    bool ok = true;
    {
        std::unique_ptr<Connection> connection;
        if (!bare) {
            ok = Activate(&state.tarvik);
            if (ok) {
                ITarvik* object = state.tarvik.Get();
                connection = std::make_unique<Connection>(object, contract::DIID__ITarvikEvents, events.Get());
                state.testConnection =
                    std::make_unique<Connection>(object, contract::DIID__ITarvikTestEvents, testEvents.Get());
                ok = connection->Ok() && state.testConnection->Ok();
            }
        }
        Say(ok ? "ready" : "failed");
        Commands commands(GetCurrentThreadId());
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message != WM_APP) {
                DispatchMessageW(&msg);
                continue;
            }
            for (std::string line; commands.Take(&line);) Run(state, line);
        }
        state.testConnection.reset();
    }
    state.tarvik.Reset();
    events.Reset();
    testEvents.Reset();
    CoUninitialize();
    return ok ? 0 : 1;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
