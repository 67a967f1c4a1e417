// trelvane::Driver: the driver object held by a thread of its own (an
// apartment that pumps its messages), calls handed to that thread, and the
// events it receives queued for the thread the program chooses.
#include "trelvane/driver.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "contract/trelvane.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

// Events waiting beyond this are dropped (and logged): a program that never
// dispatches must not make the queue grow without end.
constexpr std::size_t kMaxQueuedEvents = 65536;

class DriverErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "trelvane"; }
    std::string message(int code) const override { return ::SystemMessageText(static_cast<DWORD>(code)); }
};

std::string Utf8(BSTR text) { return text ? platform::ToUtf8(platform::WString(text, SysStringLen(text))) : ""; }

// A BSTR for the duration of a call.
class Text {
public:
    explicit Text(std::string_view text) : m_bstr(platform::FromUtf8(std::string(text))) {}
    BSTR Get() const { return m_bstr.Get(); }

private:
    platform::Bstr m_bstr;
};

// The text of a failed call: the error information it left on this thread,
// else the SystemError the driver raised during it, else the system's text of
// the HRESULT.
std::string ErrorText(HRESULT hr, const std::string& raised = {}) {
    platform::ComPtr<IErrorInfo> info;
    platform::Bstr description;
    if (GetErrorInfo(0, info.Out()) == S_OK && info && SUCCEEDED(info->GetDescription(description.Out())) &&
        SysStringLen(description.Get()) > 0)
        return Utf8(description.Get());
    if (!raised.empty()) return raised;
    return ::SystemMessageText(static_cast<DWORD>(hr));
}

}  // namespace

const std::error_category& DriverCategory() {
    static const DriverErrorCategory category;
    return category;
}

struct Driver::Impl {
    struct Handlers {
        std::function<void(long)> startNumberRequest;
        std::function<void(int, const std::string&)> startNumberFault;
        std::function<void(const std::string&)> systemError;
        std::function<void(bool)> startPostStateChanged;
        std::function<void(bool)> finishPostStateChanged;
        std::function<void(const std::string&, float)> batteryTestReady;
        std::function<void()> portOpened;
        std::function<void()> portClosed;
        std::function<void()> reset;
        std::function<void(const std::string&)> inputReceived;
    };
    // An event as received, to be run with the handlers of its dispatch.
    using Event = std::function<void(const Handlers&)>;
    class Sink;

    Impl();
    ~Impl();

    // Runs call on the apartment; throws its failure.
    HRESULT Run(const std::function<HRESULT(ITarvik&, ITarvikTest&)>& call);
    void Queue(Event event);
    template <class F>
    void SetHandler(std::function<F> Handlers::*member, std::function<F> handler) {
        std::lock_guard lock(eventLock);
        handlers.*member = std::move(handler);
    }
    std::size_t Dispatch();
    template <class I, class T>
    T Get(HRESULT (I::*getter)(T*));
    template <class I, class T>
    HRESULT Put(HRESULT (I::*setter)(T), T value);

    void Apartment(std::promise<std::pair<HRESULT, std::string>>& started);
    HRESULT Create(platform::ComPtr<ITarvik>& tarvik, platform::ComPtr<ITarvikTest>& test);
    void Connect(IUnknown* object, REFIID events, IUnknown* sink, DWORD* cookie);

    // A std::mutex, for the condition variable that RunEvents waits on.
    std::mutex eventLock;
    std::condition_variable_any eventsWaiting;
    std::deque<Event> events;  // guarded by eventLock
    Handlers handlers;         // guarded by eventLock
    std::size_t dropped = 0;   // guarded by eventLock
    platform::ReadySignal ready;

    using Task = std::function<void(ITarvik&, ITarvikTest&)>;
    platform::Mutex taskLock;
    std::deque<Task> tasks GUARDED_BY(taskLock);
    bool stopping GUARDED_BY(taskLock) = false;
    bool broken GUARDED_BY(taskLock) = false;  // the apartment cannot wait: calls fail
    HANDLE taskPosted = nullptr;               // auto-reset: wakes the apartment
    std::string raisedDuringCall;              // on the apartment only: the call's SystemError
    std::thread apartment;
};

// Receives one event interface on the apartment and queues each event with
// its arguments converted (they come last-first).
class Driver::Impl::Sink final : public IDispatch {
public:
    Sink(Impl& impl, REFIID iid) : m_impl(impl), m_iid(iid) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != m_iid) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override {
        const ULONG left = --m_references;
        if (left == 0) delete this;
        return left;
    }
    HRESULT GetTypeInfoCount(UINT* count) override { return count ? (*count = 0, S_OK) : E_POINTER; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (!params) return E_POINTER;
        Event event = m_iid == DIID__ITarvikEvents ? DriverEvent(id, *params) : TestEvent(id, *params);
        if (!event) {
            platform::log::Error(platform::log::Channel::objects, "an event the client does not know: DISPID %ld",
                                 static_cast<long>(id));
            return DISP_E_MEMBERNOTFOUND;
        }
        // The driver reports a failed call's reason as a SystemError before
        // the call returns.
        if (m_iid == DIID__ITarvikEvents && id == 4) m_impl.raisedDuringCall = Utf8(Arg(*params, 0, VT_BSTR)->bstrVal);
        m_impl.Queue(std::move(event));
        return S_OK;
    }

private:
    ~Sink() = default;

    // The n-th declared argument when it has type vt, else null.
    static const VARIANT* Arg(const DISPPARAMS& params, UINT n, VARTYPE vt) {
        if (n >= params.cArgs) return nullptr;
        const VARIANT& v = params.rgvarg[params.cArgs - 1 - n];
        return v.vt == vt ? &v : nullptr;
    }

    static Event DriverEvent(DISPID id, const DISPPARAMS& p) {
        switch (id) {
        case 1:
            if (auto n = Arg(p, 0, VT_I4))
                return [number = long{n->lVal}](const Handlers& h) {
                    if (h.startNumberRequest) h.startNumberRequest(number);
                };
            break;
        case 2:
            if (auto code = Arg(p, 0, VT_I4), text = Arg(p, 1, VT_BSTR); code && text)
                return [code = int{code->lVal}, text = Utf8(text->bstrVal)](const Handlers& h) {
                    if (h.startNumberFault) h.startNumberFault(code, text);
                };
            break;
        case 4:
            if (auto text = Arg(p, 0, VT_BSTR))
                return [text = Utf8(text->bstrVal)](const Handlers& h) {
                    if (h.systemError) h.systemError(text);
                };
            break;
        case 5:
        case 6:
            if (auto state = Arg(p, 0, VT_BOOL))
                return [finish = id == 6, on = state->boolVal != VARIANT_FALSE](const Handlers& h) {
                    auto& handler = finish ? h.finishPostStateChanged : h.startPostStateChanged;
                    if (handler) handler(on);
                };
            break;
        case 7:
            if (auto device = Arg(p, 0, VT_BSTR), volts = Arg(p, 1, VT_R4); device && volts)
                return [device = Utf8(device->bstrVal), voltage = volts->fltVal](const Handlers& h) {
                    if (h.batteryTestReady) h.batteryTestReady(device, voltage);
                };
            break;
        }
        return {};
    }

    static Event TestEvent(DISPID id, const DISPPARAMS& p) {
        using Member = std::function<void()> Handlers::*;
        static constexpr Member kLineEvents[] = {&Handlers::portOpened, &Handlers::portClosed, &Handlers::reset};
        if (id >= 1 && id <= 3)
            return [member = kLineEvents[id - 1]](const Handlers& h) {
                if (h.*member) (h.*member)();
            };
        if (id == 4)
            if (auto text = Arg(p, 0, VT_BSTR))
                return [text = Utf8(text->bstrVal)](const Handlers& h) {
                    if (h.inputReceived) h.inputReceived(text);
                };
        return {};
    }

    Impl& m_impl;
    const IID m_iid;
    std::atomic<ULONG> m_references{1};
};

Driver::Impl::Impl() {
    if (!ready.Ok())
        throw std::system_error(HRESULT_FROM_WIN32(GetLastError()), DriverCategory(), "no event descriptor");
    taskPosted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!taskPosted)
        throw std::system_error(HRESULT_FROM_WIN32(GetLastError()), DriverCategory(), "no event for the calls");
    std::promise<std::pair<HRESULT, std::string>> started;
    auto result = started.get_future();
    apartment = std::thread([this, &started] { Apartment(started); });
    auto [hr, text] = result.get();
    if (FAILED(hr)) {
        apartment.join();
        CloseHandle(taskPosted);
        throw std::system_error(hr, DriverCategory(), "cannot create Trelvane.Tarvik: " + text);
    }
}

Driver::Impl::~Impl() {
    {
        platform::MutexLock lock(taskLock);
        stopping = true;
    }
    SetEvent(taskPosted);
    apartment.join();
    CloseHandle(taskPosted);
}

HRESULT Driver::Impl::Create(platform::ComPtr<ITarvik>& tarvik, platform::ComPtr<ITarvikTest>& test) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(TEXT("Trelvane.Tarvik"), &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITarvik, reinterpret_cast<void**>(tarvik.Out()));
    if (SUCCEEDED(hr)) hr = tarvik->QueryInterface(IID_ITarvikTest, reinterpret_cast<void**>(test.Out()));
    return hr;
}

// Connects sink to the object's events (cookie set), or disconnects the
// cookie's sink (sink null).
void Driver::Impl::Connect(IUnknown* object, REFIID iid, IUnknown* sink, DWORD* cookie) {
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    HRESULT hr = object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()));
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(iid, point.Out());
    if (SUCCEEDED(hr) && sink) hr = point->Advise(sink, cookie);
    if (SUCCEEDED(hr) && !sink && *cookie) hr = point->Unadvise(*cookie);
    if (FAILED(hr))
        platform::log::Error(platform::log::Channel::objects, "the client could not %s an event interface: 0x%08X",
                             sink ? "connect" : "disconnect", static_cast<unsigned>(hr));
}

void Driver::Impl::Apartment(std::promise<std::pair<HRESULT, std::string>>& started) {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        started.set_value({hr, ErrorText(hr)});
        return;
    }
    {
        platform::ComPtr<ITarvik> tarvik;
        platform::ComPtr<ITarvikTest> test;
        hr = Create(tarvik, test);
        if (FAILED(hr)) {
            started.set_value({hr, ErrorText(hr)});
        } else {
            auto driverSink = platform::ComPtr<Sink>::Attach(new Sink(*this, DIID__ITarvikEvents));
            auto testSink = platform::ComPtr<Sink>::Attach(new Sink(*this, DIID__ITarvikTestEvents));
            DWORD driverCookie = 0, testCookie = 0;
            Connect(tarvik.Get(), DIID__ITarvikEvents, driverSink.Get(), &driverCookie);
            Connect(tarvik.Get(), DIID__ITarvikTestEvents, testSink.Get(), &testCookie);
            started.set_value({S_OK, ""});
            for (bool waiting = true; waiting;) {
                std::deque<Task> due;
                {
                    platform::MutexLock lock(taskLock);
                    if (stopping) break;
                    due.swap(tasks);
                }
                for (auto& task : due) task(*tarvik.Get(), *test.Get());
                due.clear();
                if (MsgWaitForMultipleObjectsEx(1, &taskPosted, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
                    WAIT_FAILED) {
                    // Never spin: the calls queued now run, later ones fail.
                    platform::log::Error(platform::log::Channel::objects,
                                         "the client's apartment cannot wait (error %lu): its calls fail from now on",
                                         static_cast<unsigned long>(GetLastError()));
                    {
                        platform::MutexLock lock(taskLock);
                        broken = true;
                        due.swap(tasks);
                    }
                    for (auto& task : due) task(*tarvik.Get(), *test.Get());
                    waiting = false;
                }
                MSG msg;
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&msg);
                    DispatchMessageW(&msg);
                }
            }
            Connect(tarvik.Get(), DIID__ITarvikEvents, nullptr, &driverCookie);
            Connect(tarvik.Get(), DIID__ITarvikTestEvents, nullptr, &testCookie);
        }
    }
    CoUninitialize();
}

HRESULT Driver::Impl::Run(const std::function<HRESULT(ITarvik&, ITarvikTest&)>& call) {
    std::promise<std::pair<HRESULT, std::string>> done;
    auto result = done.get_future();
    {
        platform::MutexLock lock(taskLock);
        if (broken) throw std::system_error(E_UNEXPECTED, DriverCategory(), "the client's apartment cannot wait");
        tasks.push_back([&](ITarvik& tarvik, ITarvikTest& test) {
            raisedDuringCall.clear();
            const HRESULT hr = call(tarvik, test);
            done.set_value({hr, FAILED(hr) ? ErrorText(hr, raisedDuringCall) : std::string()});
        });
    }
    SetEvent(taskPosted);
    auto [hr, text] = result.get();
    if (FAILED(hr)) throw std::system_error(hr, DriverCategory(), text);
    return hr;
}

void Driver::Impl::Queue(Event event) {
    std::lock_guard lock(eventLock);
    if (events.size() >= kMaxQueuedEvents) {
        // Logged once per run of drops, not once per event.
        if (dropped++ == 0)
            platform::log::Error(platform::log::Channel::objects,
                                 "the program does not dispatch the driver's events: dropping them");
        return;
    }
    dropped = 0;
    if (events.empty()) ready.Raise();
    events.push_back(std::move(event));
    eventsWaiting.notify_all();
}

std::size_t Driver::Impl::Dispatch() {
    std::deque<Event> due;
    Handlers current;
    {
        std::lock_guard lock(eventLock);
        due.swap(events);
        ready.Clear();
        current = handlers;
    }
    for (std::size_t i = 0; i < due.size(); ++i) {
        try {
            due[i](current);
        } catch (...) {
            // The handler's exception is the program's; the events after
            // it wait for the next dispatch.
            std::lock_guard lock(eventLock);
            events.insert(events.begin(), std::make_move_iterator(due.begin() + static_cast<std::ptrdiff_t>(i + 1)),
                          std::make_move_iterator(due.end()));
            if (!events.empty()) ready.Raise();
            throw;
        }
    }
    return due.size();
}

Driver::Driver() : m_impl(std::make_unique<Impl>()) {}
Driver::~Driver() = default;

namespace {

VARIANT_BOOL Bool(bool on) { return on ? VARIANT_TRUE : VARIANT_FALSE; }

template <class I>
I& Face(ITarvik& tarvik, ITarvikTest& test) {
    if constexpr (std::is_same_v<I, ITarvik>)
        return tarvik;
    else
        return test;
}

}  // namespace

// A property's value, read on the apartment.
template <class I, class T>
T Driver::Impl::Get(HRESULT (I::*getter)(T*)) {
    T value{};
    Run([&](ITarvik& tarvik, ITarvikTest& test) { return (Face<I>(tarvik, test).*getter)(&value); });
    return value;
}

template <class I, class T>
HRESULT Driver::Impl::Put(HRESULT (I::*setter)(T), T value) {
    return Run([&](ITarvik& tarvik, ITarvikTest& test) { return (Face<I>(tarvik, test).*setter)(value); });
}

OpenStatus Driver::Open(int port) {
    LONG status = 0;
    m_impl->Run([&](ITarvik& t, ITarvikTest&) { return t.Open(port, &status); });
    return static_cast<OpenStatus>(status);
}
void Driver::Close() {
    m_impl->Run([](ITarvik& t, ITarvikTest&) { return t.Close(); });
}
void Driver::ResetStartPost() {
    m_impl->Run([](ITarvik& t, ITarvikTest&) { return t.ResetStartPost(); });
}
bool Driver::StartNumberOK(long startNumber) {
    return m_impl->Put(&ITarvik::StartNumberOK, static_cast<LONG>(startNumber)) == S_OK;
}
std::optional<int> Driver::PortNumber() {
    const LONG port = m_impl->Get(&ITarvik::get_PortNumber);
    return port == -1 ? std::nullopt : std::optional<int>(port);
}
std::optional<long> Driver::StartNumber() {
    const LONG number = m_impl->Get(&ITarvik::get_StartNumber);
    return number == -1 ? std::nullopt : std::optional<long>(number);
}
std::chrono::milliseconds Driver::InterCharacterTimeout() {
    return std::chrono::milliseconds(m_impl->Get(&ITarvik::get_InterCharacterTimeout));
}
void Driver::SetInterCharacterTimeout(std::chrono::milliseconds timeout) {
    if (timeout.count() < std::numeric_limits<LONG>::min() || timeout.count() > std::numeric_limits<LONG>::max())
        throw std::system_error(E_INVALIDARG, DriverCategory(), "the inter-character timeout is out of range");
    m_impl->Put(&ITarvik::put_InterCharacterTimeout, static_cast<LONG>(timeout.count()));
}
bool Driver::StateDTR() { return m_impl->Get(&ITarvik::get_StateDTR) != VARIANT_FALSE; }
void Driver::SetStateDTR(bool on) { m_impl->Put(&ITarvik::put_StateDTR, Bool(on)); }
bool Driver::StateStartPost() { return m_impl->Get(&ITarvik::get_StateStartPost) != VARIANT_FALSE; }
bool Driver::StateFinishPost() { return m_impl->Get(&ITarvik::get_StateFinishPost) != VARIANT_FALSE; }
bool Driver::StartBatteryTest(std::string_view device) {
    const Text text(device);
    return m_impl->Put(&ITarvik::StartBatteryTest, text.Get()) == S_OK;
}

void Driver::InjectStartNumber(long startNumber) {
    m_impl->Put(&ITarvikTest::put_StartNumberTest, static_cast<LONG>(startNumber));
}
bool Driver::ReadyToSend() { return m_impl->Get(&ITarvikTest::get_ReadyToSend) != VARIANT_FALSE; }
void Driver::SetReadyToSend(bool on) { m_impl->Put(&ITarvikTest::put_ReadyToSend, Bool(on)); }
std::string Driver::Parity() {
    const auto parity = platform::Bstr::Attach(m_impl->Get(&ITarvikTest::get_Parity));
    return Utf8(parity.Get());
}
void Driver::SetParity(std::string_view parity) {
    const Text text(parity);
    m_impl->Put(&ITarvikTest::put_Parity, text.Get());
}
long Driver::BaudRate() { return m_impl->Get(&ITarvikTest::get_BaudRate); }
void Driver::SetBaudRate(long baud) {
    if (baud < std::numeric_limits<LONG>::min() || baud > std::numeric_limits<LONG>::max())
        throw std::system_error(E_INVALIDARG, DriverCategory(), "the baud rate is out of range");
    m_impl->Put(&ITarvikTest::put_BaudRate, static_cast<LONG>(baud));
}
int Driver::DataBits() { return m_impl->Get(&ITarvikTest::get_DataBits); }
void Driver::SetDataBits(int bits) {
    if (bits < std::numeric_limits<SHORT>::min() || bits > std::numeric_limits<SHORT>::max())
        throw std::system_error(E_INVALIDARG, DriverCategory(), "the number of data bits is out of range");
    m_impl->Put(&ITarvikTest::put_DataBits, static_cast<SHORT>(bits));
}
float Driver::StopBits() { return m_impl->Get(&ITarvikTest::get_StopBits); }
void Driver::SetStopBits(float bits) { m_impl->Put(&ITarvikTest::put_StopBits, bits); }
bool Driver::ParityCheck() { return m_impl->Get(&ITarvikTest::get_ParityCheck) != VARIANT_FALSE; }
void Driver::SetParityCheck(bool on) { m_impl->Put(&ITarvikTest::put_ParityCheck, Bool(on)); }
void Driver::WriteToPort(std::string_view text) {
    const Text bstr(text);
    m_impl->Put(&ITarvikTest::WriteToPort, bstr.Get());
}
bool Driver::StateDSR() { return m_impl->Get(&ITarvikTest::get_StateDSR) != VARIANT_FALSE; }
bool Driver::StateCTS() { return m_impl->Get(&ITarvikTest::get_StateCTS) != VARIANT_FALSE; }

void Driver::OnStartNumberRequest(std::function<void(long)> handler) {
    m_impl->SetHandler(&Impl::Handlers::startNumberRequest, std::move(handler));
}
void Driver::OnStartNumberFault(std::function<void(int, const std::string&)> handler) {
    m_impl->SetHandler(&Impl::Handlers::startNumberFault, std::move(handler));
}
void Driver::OnSystemError(std::function<void(const std::string&)> handler) {
    m_impl->SetHandler(&Impl::Handlers::systemError, std::move(handler));
}
void Driver::OnStartPostStateChanged(std::function<void(bool)> handler) {
    m_impl->SetHandler(&Impl::Handlers::startPostStateChanged, std::move(handler));
}
void Driver::OnFinishPostStateChanged(std::function<void(bool)> handler) {
    m_impl->SetHandler(&Impl::Handlers::finishPostStateChanged, std::move(handler));
}
void Driver::OnBatteryTestReady(std::function<void(const std::string&, float)> handler) {
    m_impl->SetHandler(&Impl::Handlers::batteryTestReady, std::move(handler));
}
void Driver::OnPortOpened(std::function<void()> handler) {
    m_impl->SetHandler(&Impl::Handlers::portOpened, std::move(handler));
}
void Driver::OnPortClosed(std::function<void()> handler) {
    m_impl->SetHandler(&Impl::Handlers::portClosed, std::move(handler));
}
void Driver::OnReset(std::function<void()> handler) { m_impl->SetHandler(&Impl::Handlers::reset, std::move(handler)); }
void Driver::OnInputReceived(std::function<void(const std::string&)> handler) {
    m_impl->SetHandler(&Impl::Handlers::inputReceived, std::move(handler));
}

int Driver::EventDescriptor() const { return m_impl->ready.Descriptor(); }
std::size_t Driver::DispatchEvents() { return m_impl->Dispatch(); }

// NOLINTNEXTLINE(performance-unnecessary-value-param): by value, as std::jthread passes it
void Driver::RunEvents(std::stop_token stop) {
    while (!stop.stop_requested()) {
        {
            std::unique_lock lock(m_impl->eventLock);
            if (!m_impl->eventsWaiting.wait(lock, stop, [&] { return !m_impl->events.empty(); })) return;
        }
        m_impl->Dispatch();
    }
}

}  // namespace trelvane
