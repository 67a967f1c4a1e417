// trelvane-test-client: a client in a process of its own, for tests that
// kill a client or run one as another user. It creates the driver object,
// connects a sink to each event interface and one of property changes, says "result 0x..." (the
// activation's HRESULT) and "ready", and pumps messages until its standard
// input closes. Arguments make it misbehave:
//   --stall        it reads nothing after "ready" (it neither pumps messages
//                  nor reads its connection) until its standard input closes;
//   --throw        its sinks throw a C++ exception from every event;
//   --write TEXT   after "ready" it calls ITarvikTest::WriteToPort(TEXT),
//                  which holds it in a call while the text goes out, and says
//                  "wrote 0x..." (the call's HRESULT);
//   --trace        its sinks write a line for each InputReceived
//                  ("InputReceived TEXT") and StartNumberRequest
//                  ("StartNumberRequest N"), in the order they arrive.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "contract/trelvane.h"
#include "tests/support/dispatch_sink.h"
#include "tests/support/property_sink.h"

namespace trelvane {
namespace {

class QuietSink final : public trelvane::testing::DispatchSink {
public:
    QuietSink(REFIID iid, bool throws, bool traces)
        : DispatchSink(iid), m_iid(iid), m_throws(throws), m_traces(traces) {}
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (m_throws) throw std::runtime_error("the test client's sink throws");
        if (m_traces && params && params->cArgs == 1) Trace(id, params->rgvarg[0]);
        return S_OK;
    }

private:
    void Trace(DISPID id, const VARIANT& arg) {
        std::string line;
        if (m_iid == contract::DIID__ITarvikTestEvents && id == 4 && arg.vt == VT_BSTR)
            line = "InputReceived " + platform::ToUtf8(arg.bstrVal);
        else if (m_iid == contract::DIID__ITarvikEvents && id == 1 && arg.vt == VT_I4)
            line = "StartNumberRequest " + std::to_string(arg.lVal);
        else
            return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    const IID m_iid;
    const bool m_throws;
    const bool m_traces;
};

void Advise(IUnknown* object, REFIID iid, IUnknown* sink) {
    platform::ComPtr<IConnectionPointContainer> container;
    platform::ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.Out()))) &&
        SUCCEEDED(container->FindConnectionPoint(iid, point.Out())))
        point->Advise(sink, &cookie);
}

}  // namespace

int Main(int argc, char** argv) {
    const bool stall = argc > 1 && std::strcmp(argv[1], "--stall") == 0;
    const bool throws = argc > 1 && std::strcmp(argv[1], "--throw") == 0;
    const bool traces = argc > 1 && std::strcmp(argv[1], "--trace") == 0;
    const char* write = argc > 2 && std::strcmp(argv[1], "--write") == 0 ? argv[2] : nullptr;
    CoInitialize(nullptr);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    platform::ComPtr<ITarvik> tarvik;
    const HRESULT hr = CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                        reinterpret_cast<void**>(tarvik.Out()));
    auto events = platform::ComPtr<QuietSink>::Attach(new QuietSink(contract::DIID__ITarvikEvents, throws, traces));
    auto testEvents =
        platform::ComPtr<QuietSink>::Attach(new QuietSink(contract::DIID__ITarvikTestEvents, throws, traces));
    auto changes = platform::ComPtr<testing::PropertySink>::Attach(new testing::PropertySink);
    if (tarvik) {
        Advise(tarvik.Get(), contract::DIID__ITarvikEvents, events.Get());
        Advise(tarvik.Get(), contract::DIID__ITarvikTestEvents, testEvents.Get());
        Advise(tarvik.Get(), IID_IPropertyNotifySink, changes.Get());
    }
    const DWORD mainThread = GetCurrentThreadId();
    auto awaitInputEnd = [] {
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
    };
    if (!stall)
        std::thread([mainThread, awaitInputEnd] {
            awaitInputEnd();
            PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
        }).detach();
    std::printf("result 0x%08X\nready\n", static_cast<unsigned>(hr));
    std::fflush(stdout);
    if (stall) {
        awaitInputEnd();  // on the apartment's thread: nothing of the connection is read meanwhile
    } else {
        if (write && tarvik) {
            platform::ComPtr<ITarvikTest> test;
            HRESULT wrote = tarvik->QueryInterface(contract::IID_ITarvikTest, reinterpret_cast<void**>(test.Out()));
            if (SUCCEEDED(wrote)) wrote = test->WriteToPort(platform::Bstr(platform::FromUtf8(write)).Get());
            std::printf("wrote 0x%08X\n", static_cast<unsigned>(wrote));
            std::fflush(stdout);
        }
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }
    tarvik.Reset();
    events.Reset();
    testEvents.Reset();
    CoUninitialize();
    return 0;
}

}  // namespace trelvane

int main(int argc, char** argv) { return trelvane::Main(argc, argv); }
