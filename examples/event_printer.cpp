// A client of the start-post driver: it creates the driver object by its
// ProgID, connects to both event interfaces, opens a port and prints every
// event while it pumps messages. It confirms each start number it receives,
// as timing software does.
//
//   trelvane-example PORT [SECONDS]
#include <trelvane/trelvane.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// Interface pointers owned as unique_ptr: released, never deleted.
struct Releaser {
    void operator()(IUnknown* p) const { p->Release(); }
};
template <class T>
using Owned = std::unique_ptr<T, Releaser>;

// UTF-8 of a BSTR's UTF-16, for printing.
std::string Utf8(BSTR text) {
    std::string out;
    const UINT length = SysStringLen(text);
    for (UINT i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

ITarvik* g_tarvik = nullptr;  // main's driver object, for the handler that confirms start numbers

std::string Text(const VARIANT& v) {
    switch (v.vt) {
    case VT_I4: return std::to_string(v.lVal);
    case VT_R4: return std::to_string(v.fltVal);
    case VT_BOOL: return v.boolVal ? "on" : "off";
    case VT_BSTR: return v.bstrVal ? "\"" + Utf8(v.bstrVal) + "\"" : "null";
    default: return "?";
    }
}

// Receives the events of one interface. Events arrive on the thread that
// created the driver object, while it pumps messages.
class EventSink final : public IDispatch {
public:
    explicit EventSink(REFIID events) : m_events(events) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != m_events) return E_NOINTERFACE;
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
        if (params == nullptr) return E_POINTER;
        static const char* const kEvents[] = {"",
                                              "StartNumberRequest",
                                              "StartNumberFault",
                                              "",
                                              "SystemError",
                                              "StartPostStateChanged",
                                              "FinishPostStateChanged",
                                              "BatteryTestReady"};
        static const char* const kTestEvents[] = {"", "SP_PortOpened", "SP_PortClosed", "SP_Reset", "InputReceived"};
        const bool test = m_events == DIID__ITarvikTestEvents;
        const int count = test ? 5 : 8;
        std::string line = id > 0 && id < count ? (test ? kTestEvents : kEvents)[id] : "event " + std::to_string(id);
        for (UINT i = params->cArgs; i-- > 0;) line += " " + Text(params->rgvarg[i]);  // arguments come last-first
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        // Confirmed only as the number it is: an event of another shape is printed and left.
        if (!test && id == 1 && params->cArgs == 1 && params->rgvarg[0].vt == VT_I4) {
            // A start number: confirming it sends the device its final
            // acknowledge. A client may call the driver from its handlers.
            const HRESULT hr = g_tarvik->StartNumberOK(params->rgvarg[0].lVal);
            std::printf("confirmed %ld: 0x%08X\n", static_cast<long>(params->rgvarg[0].lVal),
                        static_cast<unsigned>(hr));
        }
        return S_OK;
    }

private:
    ~EventSink() = default;
    const IID m_events;
    std::atomic<ULONG> m_references{1};
};

// Connects the sink to the object's events (cookie non-zero), or
// disconnects the sink of the cookie (sink null).
void Connect(IUnknown* object, REFIID events, IUnknown* sink, DWORD* cookie) {
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container)))) {
        Owned<IConnectionPointContainer> owned(container);
        if (FAILED(container->FindConnectionPoint(events, &point))) return;
    }
    if (point) {
        Owned<IConnectionPoint> owned(point);
        if (sink)
            point->Advise(sink, cookie);
        else if (*cookie)
            point->Unadvise(*cookie);
    }
}

// Runs the thread's messages, and so the events, for a while.
void PumpMessages(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1;
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trelvane-example PORT [SECONDS]\n");
        return 2;
    }
    const LONG port = std::atol(argv[1]);
    const long seconds = argc > 2 ? std::atol(argv[2]) : 60;

    CoInitialize(nullptr);
    ITarvik* created = nullptr;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(u"Trelvane.Tarvik", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ITarvik, reinterpret_cast<void**>(&created));
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot create Trelvane.Tarvik: 0x%08X (is the server registered?)\n",
                     static_cast<unsigned>(hr));
        CoUninitialize();
        return 1;
    }
    Owned<ITarvik> tarvik(created);
    g_tarvik = tarvik.get();
    Owned<EventSink> events(new EventSink(DIID__ITarvikEvents));
    Owned<EventSink> testEvents(new EventSink(DIID__ITarvikTestEvents));
    DWORD eventsCookie = 0, testEventsCookie = 0;
    Connect(tarvik.get(), DIID__ITarvikEvents, events.get(), &eventsCookie);
    Connect(tarvik.get(), DIID__ITarvikTestEvents, testEvents.get(), &testEventsCookie);

    LONG status = 0;
    hr = tarvik->Open(port, &status);
    std::printf("Open(%ld): 0x%08X, status %ld\n", static_cast<long>(port), static_cast<unsigned>(hr),
                static_cast<long>(status));
    std::fflush(stdout);
    if (hr == S_OK) {
        PumpMessages(std::chrono::seconds(seconds));
        tarvik->Close();
    }
    Connect(tarvik.get(), DIID__ITarvikEvents, nullptr, &eventsCookie);
    Connect(tarvik.get(), DIID__ITarvikTestEvents, nullptr, &testEventsCookie);
    g_tarvik = nullptr;
    tarvik.reset();
    events.reset();
    testEvents.reset();
    CoUninitialize();
    return hr == S_OK ? 0 : 1;
}
