// The server as an automation client on Windows sees it: activated by its
// ProgID in a process of its own, called through late binding, its events
// on both event interfaces received by a sink of this process, a start post
// played behind COM7, and the server gone once its last client is.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows.h"
#include "protocol/device_bytes.h"
#include "protocol/frame_coding.h"
#include "tests/windows/pty_device_link.h"

// After the system's headers, which it needs.
#include <tlhelp32.h>

namespace trelvane {
namespace {

using trelvane::testing::PtyDevice;

// Bounds every wait: an event that never comes fails the test, it does not
// hang the suite. Wine starts a server in about 3 s.
constexpr DWORD kBound = 20000;
constexpr int kPort = 7;

const IID kEvents = {0x7475B3C9, 0xA9F5, 0x418B, {0xB3, 0x77, 0x26, 0x77, 0x22, 0x65, 0x3A, 0x58}};
const IID kTestEvents = {0xCBC1E9F1, 0x975A, 0x4611, {0x85, 0x91, 0x25, 0xAD, 0x22, 0x56, 0xDA, 0x0E}};

std::string Narrow(const wchar_t* text, UINT length) {
    std::string out;
    for (UINT i = 0; i < length; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    return out;
}

std::string Text(const VARIANT& v) {
    switch (v.vt) {
    case VT_I4: return std::to_string(v.lVal);
    case VT_BOOL: return v.boolVal ? "true" : "false";
    case VT_R4: return std::to_string(v.fltVal);
    case VT_BSTR: return "'" + Narrow(v.bstrVal, SysStringLen(v.bstrVal)) + "'";
    default: return "vt" + std::to_string(v.vt);
    }
}

// Every event of both interfaces as one line, "Name(arg, arg)", in the order
// received.
class EventLog {
public:
    EventLog() : m_arrived(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~EventLog() { CloseHandle(m_arrived); }

    void Add(std::string line) {
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(std::move(line));
        }
        SetEvent(m_arrived);
    }
    // Pumps the apartment until an event line starts with prefix; the line,
    // or empty when none came within the bound. Lines before it are passed.
    std::string WaitFor(const std::string& prefix) {
        const ULONGLONG end = GetTickCount64() + kBound;
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                for (; m_next < m_lines.size(); ++m_next)
                    if (m_lines[m_next].rfind(prefix, 0) == 0) return m_lines[m_next++];
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= end) return {};
            DWORD index;
            CoWaitForMultipleHandles(0, static_cast<DWORD>(end - now), 1, &m_arrived, &index);
        }
    }
    std::string All() {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const auto& line : m_lines) all += line + "\n";
        return all;
    }

private:
    HANDLE m_arrived;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::size_t m_next = 0;
};

// The sink of one event interface, whose events it names by their DISPIDs
// (names[DISPID]). It lives in this process's apartment, so the server's
// calls come through the apartment's message loop.
class EventSink final : public IDispatch {
public:
    EventSink(EventLog& log, REFIID events, std::vector<const char*> names)
        : m_log(log), m_events(events), m_names(std::move(names)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == m_events) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        const bool known = dispid > 0 && static_cast<std::size_t>(dispid) < m_names.size();
        std::string line =
            (known ? m_names[static_cast<std::size_t>(dispid)] : "dispid" + std::to_string(dispid)) + "(";
        for (UINT i = params->cArgs; i > 0; --i) line += Text(params->rgvarg[i - 1]) + (i > 1 ? ", " : "");
        m_log.Add(line + ")");
        return S_OK;
    }
    ULONG References() const { return m_refs; }

private:
    EventLog& m_log;
    const IID m_events;
    const std::vector<const char*> m_names;
    std::atomic<ULONG> m_refs{0};
};

// Runs work (a request to the device side) on a thread of its own while
// this apartment goes on taking the server's calls: the server's raising
// threads wait for the sink, and the device waits on what they do.
template <class Work>
void Pumping(Work work) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread worker([&] {
        work();
        SetEvent(done);
    });
    DWORD index;
    while (CoWaitForMultipleHandles(0, INFINITE, 1, &done, &index) != S_OK) {
    }
    worker.join();
    CloseHandle(done);
}

// A member called by name, arguments in declaration order.
HRESULT Call(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, WORD kind = DISPATCH_METHOD,
             VARIANT* result = nullptr) {
    DISPID dispid;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid); FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    DISPID named = DISPID_PROPERTYPUT;
    if (kind == DISPATCH_PROPERTYPUT) params = {reversed.data(), &named, static_cast<UINT>(reversed.size()), 1};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, nullptr, nullptr);
}

VARIANT Long(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// The driver, activated by its ProgID in a server of its own; null when
// that fails.
IDispatch* Activate() {
    CLSID clsid;
    IDispatch* driver = nullptr;
    if (CLSIDFromProgID(L"Trelvane.Tarvik", &clsid) != S_OK ||
        CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&driver)) != S_OK)
        return nullptr;
    return driver;
}

// Open's status for the port; -1 when the call itself failed.
LONG Open(IDispatch* driver, int port) {
    LONG status = -1;
    VARIANT statusOut;
    VariantInit(&statusOut);
    statusOut.vt = VT_BYREF | VT_I4;
    statusOut.plVal = &status;
    return Call(driver, L"Open", {Long(port), statusOut}) == S_OK ? status : -1;
}

// The running server's process, opened to wait for its end; null when none.
HANDLE ServerProcess() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    HANDLE process = nullptr;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !process; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, L"trelvane.exe") == 0)
            process = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    CloseHandle(snapshot);
    return process;
}

std::vector<std::uint8_t> Bytes(const protocol::Frame& frame) { return {frame.begin(), frame.end()}; }

TEST(ServerUnderWine, AStartPostReachesAClientOfTheActivatedServerWhichEndsAfterItsLastClient) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    PtyDevice device(kPort);
    EventLog sink;
    EventSink sinks[2] = {
        {sink,
         kEvents,
         {"", "StartNumberRequest", "StartNumberFault", "", "SystemError", "StartPostStateChanged",
          "FinishPostStateChanged", "BatteryTestReady"}},
        {sink, kTestEvents, {"", "SP_PortOpened", "SP_PortClosed", "SP_Reset", "InputReceived"}},
    };
    HANDLE server = nullptr;
    {
        IDispatch* driver = Activate();
        ASSERT_NE(driver, nullptr);
        server = ServerProcess();
        ASSERT_NE(server, nullptr) << "no trelvane.exe runs";

        // Both event interfaces, each advised once.
        IConnectionPointContainer* container = nullptr;
        ASSERT_EQ(driver->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)), S_OK);
        IConnectionPoint* points[2] = {};
        DWORD cookies[2] = {};
        const IID* iids[2] = {&kEvents, &kTestEvents};
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(container->FindConnectionPoint(*iids[i], &points[i]), S_OK) << i;
            ASSERT_EQ(points[i]->Advise(&sinks[i], &cookies[i]), S_OK) << i;
        }

        ASSERT_EQ(Open(driver, kPort), 0) << sink.All();
        EXPECT_EQ(sink.WaitFor("SP_PortOpened"), "SP_PortOpened()") << sink.All();
        // Opening resets the start post.
        std::vector<std::uint8_t> reset;
        Pumping([&] { reset = device.Receive(1, kBound); });
        EXPECT_EQ(reset, std::vector<std::uint8_t>{protocol::kReset});

        // A start number: its three bytes acknowledged by the listener at
        // once, every byte reported from the listener, the number from the
        // main thread's tick, the fourth acknowledge on the client's word.
        const auto frame = protocol::EncodeFrame(123);
        ASSERT_TRUE(frame);
        std::vector<std::uint8_t> acknowledges;
        Pumping([&] {
            device.Send(Bytes(*frame));
            acknowledges = device.Receive(3, kBound);
        });
        EXPECT_EQ(acknowledges, std::vector<std::uint8_t>(3, protocol::kAcknowledge));
        EXPECT_EQ(sink.WaitFor("StartNumberRequest"), "StartNumberRequest(123)") << sink.All();
        EXPECT_NE(sink.All().find("InputReceived('Write: '0xf0'"), std::string::npos) << sink.All();
        ASSERT_EQ(Call(driver, L"StartNumberOK", {Long(123)}), S_OK);
        Pumping([&] { acknowledges = device.Receive(1, kBound); });
        EXPECT_EQ(acknowledges, std::vector<std::uint8_t>{protocol::kAcknowledge});

        // A fault: the frame's two sets differ (code 1, as the reference has it).
        const auto unequal = protocol::EncodeFrame(12, 34);
        ASSERT_TRUE(unequal);
        Pumping([&] {
            device.Send(Bytes(*unequal));
            device.Receive(3, kBound);
        });
        EXPECT_EQ(sink.WaitFor("StartNumberFault"), "StartNumberFault(1, 'Bytes in 1st and 2nd set not equal')")
            << sink.All();

        // Line changes, made while the listener waits for them.
        Pumping([&] { device.SetLines(false, true, false); });
        EXPECT_EQ(sink.WaitFor("StartPostStateChanged"), "StartPostStateChanged(true)") << sink.All();
        Pumping([&] { device.SetLines(true, true, false); });
        EXPECT_EQ(sink.WaitFor("FinishPostStateChanged"), "FinishPostStateChanged(true)") << sink.All();

        // A battery test of the start post: the device answers RTS by
        // changing RLSD.
        VARIANT selector;
        VariantInit(&selector);
        selector.vt = VT_BSTR;
        selector.bstrVal = SysAllocString(L"StartPost");
        EXPECT_EQ(Call(driver, L"StartBatteryTest", {selector}), S_OK);
        VariantClear(&selector);
        Pumping([&] {
            const ULONGLONG end = GetTickCount64() + kBound;
            while (device.OutputLines().substr(2) != "1" && GetTickCount64() < end) Sleep(10);
            device.SetLines(true, true, true);
        });
        EXPECT_EQ(sink.WaitFor("BatteryTestReady").rfind("BatteryTestReady('StartPost', ", 0), 0u) << sink.All();

        EXPECT_EQ(Call(driver, L"Close", {}), S_OK);
        EXPECT_EQ(sink.WaitFor("SP_PortClosed"), "SP_PortClosed()") << sink.All();

        // A port of two digits, which Windows opens only by its name in the
        // device namespace.
        PtyDevice twelve(12);
        ASSERT_EQ(Open(driver, 12), 0) << sink.All();
        Pumping([&] { reset = twelve.Receive(1, kBound); });
        EXPECT_EQ(reset, std::vector<std::uint8_t>{protocol::kReset});
        EXPECT_EQ(Call(driver, L"Close", {}), S_OK);
        EXPECT_EQ(sink.WaitFor("SP_PortClosed"), "SP_PortClosed()") << sink.All();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(points[i]->Unadvise(cookies[i]), S_OK);
            points[i]->Release();
        }
        container->Release();
        driver->Release();
    }
    CoUninitialize();
    for (const EventSink& each : sinks) EXPECT_EQ(each.References(), 0u);
    std::printf("events:\n%s", sink.All().c_str());

    // The server counts 5 s from its last client's going, then withdraws
    // and exits a second later.
    const auto gone = std::chrono::steady_clock::now();
    ASSERT_EQ(WaitForSingleObject(server, kBound), WAIT_OBJECT_0) << "the server did not end";
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - gone);
    CloseHandle(server);
    std::printf("the server ended %lld ms after its last client went\n", static_cast<long long>(waited.count()));
    EXPECT_GE(waited.count(), 5000);
}

// A client that advises no sink, as a script does: it opens a port, closes
// it and lets go; the server ends as after any other client.
TEST(ServerUnderWine, EndsAfterAClientThatOpenedAPortWithoutSinks) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    PtyDevice device(kPort);
    HANDLE server = nullptr;
    {
        IDispatch* driver = Activate();
        ASSERT_NE(driver, nullptr);
        server = ServerProcess();
        ASSERT_NE(server, nullptr) << "no trelvane.exe runs";
        ASSERT_EQ(Open(driver, kPort), 0);
        std::vector<std::uint8_t> reset;
        Pumping([&] { reset = device.Receive(1, kBound); });
        EXPECT_EQ(reset, std::vector<std::uint8_t>{protocol::kReset});
        EXPECT_EQ(Call(driver, L"Close", {}), S_OK);
        driver->Release();
    }
    CoUninitialize();
    EXPECT_EQ(WaitForSingleObject(server, kBound), WAIT_OBJECT_0) << "the server did not end";
    CloseHandle(server);
}

}  // namespace
}  // namespace trelvane
