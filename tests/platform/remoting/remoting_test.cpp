// Calls between apartments over the class's socket: class objects, values
// of every type both ways, by-reference arguments, calls back into the
// caller, failures, identity and references, and threads.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "platform/base/log.h"
#include "platform/base/paths.h"
#include "platform/remoting/class_table.h"
#include "platform/remoting/marshallers.h"
#include "platform/remoting/proxy_stub.h"
#include "platform/remoting/socket.h"
#include "tests/platform/remoting/echo_object.h"
#include "tests/support/dispatch_sink.h"
#include "tests/support/message_pump.h"
#include "tests/support/raw_frames.h"
#include "tests/support/raw_peer.h"
#include "tests/support/stuck_listener.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using namespace std::chrono_literals;

std::string RunFolder() { return platform::TrelvaneHome() + "/run"; }
std::string EchoSocket() { return RunFolder() + "/{3C1F7A52-90D4-4B6E-8A17-5D22E40B916C}"; }

HRESULT Call(IDispatch* d, DISPID id, std::vector<VARIANT> argsLastFirst, VARIANT* result = nullptr,
             EXCEPINFO* ex = nullptr, UINT* argErr = nullptr) {
    DISPPARAMS params{argsLastFirst.empty() ? nullptr : argsLastFirst.data(), nullptr,
                      static_cast<UINT>(argsLastFirst.size()), 0};
    return d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, ex, argErr);
}

// An argument that holds an object; the caller keeps its reference.
VARIANT ObjectArg(IDispatch* object) {
    return platform::MakeVariant(VT_DISPATCH, [object](VARIANT& v) { v.pdispVal = object; });
}

TEST(ClassObjects, OneServerPerClassAndItsSocketIsPrivate) {
    EchoServed served;
    ASSERT_EQ(served.Server().Registered(), S_OK);
    EXPECT_EQ(FileMode(RunFolder()), 0700);
    EXPECT_EQ(FileMode(EchoSocket()), 0600);
    DWORD cookie = 0;
    IClassFactory* second = new SingletonFactory<Echo>;
    EXPECT_EQ(CoRegisterClassObject(CLSID_Echo, second, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              CO_E_OBJISREG);
    EXPECT_EQ(CoRegisterClassObject(CLSID_Echo, second, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              E_INVALIDARG);
    second->Release();
    EXPECT_EQ(CoRevokeClassObject(12345), CO_E_OBJNOTREG);
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    echo->Release();
}

TEST(ClassObjects, AListenerThatTakesNoConnectionFailsTheConnectAfterItsWait) {
    TempHome home;
    const std::string path = home.Path() + "/stuck";
    StuckListener listener(path);
    ASSERT_TRUE(listener.Ok());
    bool noServer = false;
    HRESULT hr = S_OK;
    EXPECT_EQ(platform::remoting::ConnectTo(path, &noServer, &hr, 200), -1);
    EXPECT_EQ(hr, RPC_E_TIMEOUT);
    EXPECT_FALSE(noServer);
}

TEST(ClassObjects, WithoutAServerActivationFailsClearly) {
    TempHome home;
    IUnknown* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
              CO_E_NOTINITIALIZED);
    CoInitialize(nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
    {
        IClassFactory* factory = new SingletonFactory<Echo>;
        ServerThread server(CLSID_Echo, factory);
        factory->Release();
    }  // revoked: the socket is gone
    EXPECT_FALSE(Exists(EchoSocket()));
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

// A class object whose CreateInstance fails with error information, or
// that is no class factory at all (it answers only IUnknown).
class RefusingClassObject final : public IClassFactory, public platform::RefCounted {
public:
    explicit RefusingClassObject(bool isFactory) : m_isFactory(isFactory) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        *ppv = nullptr;
        if (!(riid == IID_IUnknown || (m_isFactory && riid == IID_IClassFactory))) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRefImpl();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
        *ppv = nullptr;
        ++calls;
        ICreateErrorInfo* create = nullptr;
        CreateErrorInfo(&create);
        create->SetDescription(const_cast<LPOLESTR>(u"no more instances"));
        IErrorInfo* info = nullptr;
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
        SetErrorInfo(0, info);
        info->Release();
        create->Release();
        return E_OUTOFMEMORY;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
    std::atomic<int> calls{0};

private:
    const bool m_isFactory;
};

TEST(ClassObjects, ActivationInOneRequestFailsAsItsStepsWould) {
    TempHome home;
    CoInitialize(nullptr);
    IUnknown* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(CoCreateInstance(CLSID_Echo, reinterpret_cast<IUnknown*>(&p), CLSCTX_LOCAL_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&p)),
              CLASS_E_NOAGGREGATION);
    {
        // The factory's own failure, with its error information.
        auto* factory = new RefusingClassObject(true);
        ServerThread server(CLSID_Echo, factory);
        ASSERT_EQ(server.Registered(), S_OK);
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(
            CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&p)),
            E_OUTOFMEMORY);
        EXPECT_EQ(p, nullptr);
        IErrorInfo* info = nullptr;
        ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
        BSTR description = nullptr;
        info->GetDescription(&description);
        EXPECT_EQ(std::u16string(description), u"no more instances");
        SysFreeString(description);
        info->Release();
        // An interface that does not cross is refused before the factory runs.
        const IID unknown = {0x1d2f63a0, 0x4b1e, 0x4c11, {0x9a, 0x5e, 0x3b, 0x7c, 0x11, 0x20, 0x42, 0x99}};
        EXPECT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, unknown, reinterpret_cast<void**>(&p)),
                  E_NOINTERFACE);
        EXPECT_EQ(factory->calls, 1);
        // Both ways again on the connection kept meanwhile: the same answers.
        EXPECT_EQ(
            CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&p)),
            E_OUTOFMEMORY);
        IClassFactory* object = nullptr;
        ASSERT_EQ(CoGetClassObject(CLSID_Echo, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(&object)),
                  S_OK);
        EXPECT_EQ(object->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&p)), E_OUTOFMEMORY);
        EXPECT_EQ(factory->calls, 3);
        object->Release();
        factory->Release();
    }
    {
        // A class object that is no factory.
        auto* object = new RefusingClassObject(false);
        ServerThread server(CLSID_Echo, object);
        ASSERT_EQ(server.Registered(), S_OK);
        EXPECT_EQ(
            CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
            E_NOINTERFACE);
        EXPECT_EQ(
            CoGetClassObject(CLSID_Echo, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&p)),
            E_NOINTERFACE);
        EXPECT_EQ(
            CoGetClassObject(CLSID_Echo, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown, reinterpret_cast<void**>(&p)),
            S_OK);
        p->Release();
        object->Release();
    }
    CoUninitialize();
}

// A client that sends its first request right behind its greeting gets the
// welcome together with that request's reply, so that it wakes once for
// both: nothing comes while the request still runs, then the two in order.
TEST(ClassObjects, TheWelcomeComesWithTheReplyToTheRequestBehindTheGreeting) {
    namespace wire = platform::remoting::wire;
    TempHome home;
    std::promise<void> entered, go;
    const std::shared_future<void> going = go.get_future().share();
    IClassFactory* factory = new SingletonFactory<Echo>([&entered, going] {
        entered.set_value();
        going.wait();
        return Echo::Create();
    });
    ServerThread server(CLSID_Echo, factory);
    factory->Release();
    ASSERT_EQ(server.Registered(), S_OK);
    RawPeer raw(EchoSocket());
    RawBytes greetingAndRequest = RawHello();
    const RawBytes request =
        RawRequest(wire::kClassTable, GUID_NULL, wire::method::kCreateClassInstance, [](platform::remoting::Writer& w) {
            w.Guid(CLSID_Echo);
            w.Guid(IID_IDispatch);
        });
    greetingAndRequest.insert(greetingAndRequest.end(), request.begin(), request.end());
    ASSERT_TRUE(raw.Send(greetingAndRequest));
    entered.get_future().wait();
    EXPECT_FALSE(raw.HasInput());
    go.set_value();
    const RawBytes welcome = raw.ReadFrame(5000);
    ASSERT_FALSE(welcome.empty());
    EXPECT_EQ(welcome[0], static_cast<std::uint8_t>(wire::FrameType::Welcome));
    const RawBytes reply = raw.ReadFrame(5000);
    EXPECT_EQ(RawReplyResult(reply), S_OK);
    EXPECT_NE(RawObjectIn(reply), 0u);
}

// A server of the first release closes a connection that asks its class
// table for an instance. Activation still works against it, by the separate
// steps, and asks it so once at most.
TEST(ClassObjects, AServerOfTheFirstReleaseStillCreatesInstancesStepByStep) {
    TempHome home;
    CoInitialize(nullptr);
    platform::remoting::SetClassTableCreatesInstances(false);
    {
        platform::log::Capture log;
        IClassFactory* factory = new SingletonFactory<Echo>;
        ServerThread server(CLSID_Echo, factory);
        factory->Release();
        ASSERT_EQ(server.Registered(), S_OK);
        // Each round on a new connection (nothing is held between them); the
        // second activation of a round on the connection kept meanwhile.
        for (int round = 0; round < 2; ++round) {
            IDispatch* echo[2] = {};
            for (IDispatch*& object : echo)
                ASSERT_EQ(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                           reinterpret_cast<void**>(&object)),
                          S_OK);
            VARIANT back;
            VariantInit(&back);
            EXPECT_EQ(Call(echo[1], Echo::kEcho, {platform::VariantI4(7)}, &back), S_OK);
            EXPECT_EQ(back.lVal, 7);
            for (IDispatch* object : echo) object->Release();
        }
        const std::string text = log.Text();
        const auto refused = text.find("a call to the class table it cannot make");
        EXPECT_NE(refused, std::string::npos) << text;
        EXPECT_EQ(text.find("a call to the class table it cannot make", refused + 1), std::string::npos) << text;
    }
    platform::remoting::SetClassTableCreatesInstances(true);
    CoUninitialize();
}

TEST(ClassObjects, AThreadThatEndsInItsApartmentWithdrawsItsClasses) {
    TempHome home;
    for (int round = 0; round < 2; ++round) {
        HRESULT registered = E_FAIL;
        std::thread([&registered] {
            CoInitialize(nullptr);
            IClassFactory* factory = new SingletonFactory<Echo>;
            DWORD cookie = 0;
            registered = CoRegisterClassObject(CLSID_Echo, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            factory->Release();
        }).join();  // neither revoked nor uninitialized
        EXPECT_EQ(registered, S_OK) << "round " << round;
        EXPECT_FALSE(Exists(EchoSocket())) << "round " << round;
    }
}

// A client holding the served Echo through a proxy.
class Calls : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(served.Create(&echo), S_OK); }
    void TearDown() override {
        if (echo) echo->Release();
    }
    EchoServed served;
    IDispatch* echo = nullptr;
};

TEST_F(Calls, ValuesOfEveryTypeCrossUnchanged) {
    BSTR text = SysAllocStringLen(u"a\0b\u00e9", 4);  // embedded zero and a non-ASCII character
    std::vector<VARIANT> values;
    auto add = [&](VARTYPE vt, auto setter) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        v.llVal = 0;
        setter(v);
        values.push_back(v);
    };
    add(VT_EMPTY, [](VARIANT&) {});
    add(VT_NULL, [](VARIANT&) {});
    add(VT_I1, [](VARIANT& v) { v.cVal = -5; });
    add(VT_UI1, [](VARIANT& v) { v.bVal = 250; });
    add(VT_I2, [](VARIANT& v) { v.iVal = -1234; });
    add(VT_UI2, [](VARIANT& v) { v.uiVal = 65000; });
    add(VT_I4, [](VARIANT& v) { v.lVal = -123456789; });
    add(VT_UI4, [](VARIANT& v) { v.ulVal = 4000000000u; });
    add(VT_INT, [](VARIANT& v) { v.intVal = -7; });
    add(VT_UINT, [](VARIANT& v) { v.uintVal = 7; });
    add(VT_I8, [](VARIANT& v) { v.llVal = -(1LL << 40); });
    add(VT_UI8, [](VARIANT& v) { v.ullVal = 1ULL << 63; });
    add(VT_R4, [](VARIANT& v) { v.fltVal = 3.955f; });
    add(VT_R8, [](VARIANT& v) { v.dblVal = -1e300; });
    add(VT_CY, [](VARIANT& v) { v.llVal = 12345678; });
    add(VT_DATE, [](VARIANT& v) { v.date = 45000.25; });
    add(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; });
    add(VT_ERROR, [](VARIANT& v) { v.scode = DISP_E_PARAMNOTFOUND; });
    add(VT_BSTR, [&](VARIANT& v) { v.bstrVal = text; });
    add(VT_BSTR, [](VARIANT& v) { v.bstrVal = nullptr; });
    for (const VARIANT& v : values) {
        VARIANT back;
        VariantInit(&back);
        ASSERT_EQ(Call(echo, Echo::kEcho, {v}, &back), S_OK) << "vt " << v.vt;
        EXPECT_EQ(back.vt, v.vt);
        if (v.vt == VT_BSTR) {
            ASSERT_EQ(SysStringLen(back.bstrVal), SysStringLen(v.bstrVal));
            EXPECT_EQ(std::u16string(back.bstrVal, SysStringLen(back.bstrVal)),
                      std::u16string(v.bstrVal, SysStringLen(v.bstrVal)));
            EXPECT_EQ(back.bstrVal == nullptr, v.bstrVal == nullptr);
        } else {
            EXPECT_EQ(back.llVal, v.llVal) << "vt " << v.vt;
        }
        VariantClear(&back);
    }
    // Objects cross as references: the object given back is the same one.
    VARIANT back;
    VariantInit(&back);
    ASSERT_EQ(Call(echo, Echo::kEcho, {ObjectArg(echo)}, &back), S_OK);
    EXPECT_EQ(back.vt, VT_DISPATCH);
    EXPECT_EQ(back.pdispVal, echo);
    VariantClear(&back);
    // Values that cannot cross are refused before anything is sent.
    VARIANT array;
    VariantInit(&array);
    array.vt = VT_ARRAY | VT_I4;
    EXPECT_EQ(Call(echo, Echo::kEcho, {array}, &back), DISP_E_BADVARTYPE);
    SysFreeString(text);
}

TEST_F(Calls, ValuesTooLargeForAFrameAreRefusedAndTheConnectionGoesOn) {
    auto text = [](std::size_t characters) {
        const std::u16string content(characters, u'x');
        return platform::VariantBstr(SysAllocStringLen(content.data(), static_cast<UINT>(content.size())));
    };
    VARIANT result;
    VariantInit(&result);
    VARIANT huge = text(600 * 1024);  // 1.2 MB: more than a frame holds
    EXPECT_EQ(Call(echo, Echo::kEcho, {huge}, &result), E_INVALIDARG);
    VARIANT large = text(300 * 1024);  // fits, but its double does not come back
    EXPECT_EQ(Call(echo, Echo::kTwice, {large}, &result), E_INVALIDARG);
    EXPECT_EQ(result.vt, VT_EMPTY);
    VARIANT small = text(10);
    ASSERT_EQ(Call(echo, Echo::kTwice, {small}, &result), S_OK);
    EXPECT_EQ(SysStringLen(result.bstrVal), 20u);
    VariantClear(&result);
    for (VARIANT* v : {&huge, &large, &small}) VariantClear(v);
}

TEST_F(Calls, ByReferenceArgumentsComeBackChanged) {
    LONG number = 41;
    DOUBLE real = 1.25;
    VARIANT_BOOL flag = VARIANT_FALSE;
    BSTR text = SysAllocString(u"old");
    VARIANT holder = platform::VariantBstr(SysAllocString(u"held"));
    IDispatch* object = nullptr;
    auto ref = [](VARTYPE vt, void* p) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BYREF | vt;
        v.byref = p;
        return v;
    };
    ASSERT_EQ(Call(echo, Echo::kChangeReferences,
                   {ref(VT_I4, &number), ref(VT_R8, &real), ref(VT_BOOL, &flag), ref(VT_BSTR, &text),
                    ref(VT_VARIANT, &holder), ref(VT_DISPATCH, &object)}),
              S_OK);
    EXPECT_EQ(number, 42);
    EXPECT_EQ(real, 2.5);
    EXPECT_EQ(flag, VARIANT_TRUE);
    EXPECT_EQ(std::u16string(text), u"changed");
    EXPECT_EQ(holder.vt, VT_I4);
    EXPECT_EQ(holder.lVal, 42);
    EXPECT_EQ(object, echo);  // the server's object, as the caller already knows it
    object->Release();
    SysFreeString(text);
}

// The value of a client-side object that the server asks for.
class ValueObject final : public DispatchSink {
public:
    ValueObject() : DispatchSink(IID_IDispatch) {}
    DWORD calledOn = 0;
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        calledOn = GetCurrentThreadId();
        if (id != DISPID_VALUE || flags != DISPATCH_PROPERTYGET || !result) return DISP_E_MEMBERNOTFOUND;
        result->vt = VT_I4;
        result->lVal = 1234;
        return S_OK;
    }
};

TEST_F(Calls, AServerCallsBackAnObjectPassedToIt) {
    auto* value = new ValueObject;
    VARIANT result;
    VariantInit(&result);
    // The client waits in its call and meanwhile runs the server's call to it.
    ASSERT_EQ(Call(echo, Echo::kCallBack, {ObjectArg(value)}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1234);
    EXPECT_EQ(value->calledOn, GetCurrentThreadId());
    value->Release();
}

TEST_F(Calls, AnObjectThatThrowsAnswersServerFaultAndGoesOnServing) {
    const ULONG references = served.ServerReferences();
    BSTR text = SysAllocString(u"an argument the stub must free");
    VARIANT arg = platform::VariantBstr(text);
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(Call(echo, Echo::kThrow, {arg}, &result), RPC_E_SERVERFAULT);
    EXPECT_EQ(result.vt, VT_EMPTY);
    // The connection and the object are as they were.
    EXPECT_EQ(Call(echo, Echo::kEcho, {arg}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
    EXPECT_EQ(served.ServerReferences(), references);
    SysFreeString(text);
}

TEST_F(Calls, FailuresBringTheirExcepInfoAndErrorInformation) {
    EXCEPINFO ex{};
    UINT argErr = 0;
    EXPECT_EQ(Call(echo, Echo::kFail, {}, nullptr, &ex, &argErr), DISP_E_EXCEPTION);
    EXPECT_EQ(ex.scode, E_ACCESSDENIED);
    ASSERT_NE(ex.bstrDescription, nullptr);
    EXPECT_EQ(std::u16string(ex.bstrDescription), u"echo failed");
    EXPECT_EQ(argErr, 7u);
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);  // the server thread's error information, now this thread's
    BSTR description = nullptr;
    info->GetDescription(&description);
    EXPECT_EQ(std::u16string(description), u"echo failed");
    SysFreeString(description);
    info->Release();
    ISupportErrorInfo* support = nullptr;
    ASSERT_EQ(echo->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
    support->Release();
    // Names go through the object's own table.
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"Fail"), const_cast<LPOLESTR>(u"Nope")};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(echo->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], Echo::kFail);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);
}

TEST(Identity, OneRemoteReferencePerProxyAndOneUnknownPerObject) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    const ULONG held = served.ServerReferences();
    for (int i = 0; i < 10; ++i) echo->AddRef();
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    ASSERT_EQ(echo->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
    ASSERT_EQ(echo->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)), S_OK);
    EXPECT_EQ(a, b);
    IDispatch* again = nullptr;
    ASSERT_EQ(a->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, echo);
    EXPECT_EQ(served.ServerReferences(), held);  // local references stay local
    IUnknown* none = nullptr;
    EXPECT_EQ(echo->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    for (int i = 0; i < 10; ++i) echo->Release();
    a->Release();
    b->Release();
    again->Release();
    echo->Release();
    // The last release gives every remote reference back: the factory's is left.
    EXPECT_TRUE(served.WaitServerReferences(1));
}

TEST(Threads, AConnectionIsLetGoWhicheverThreadReleasesItsLastProxy) {
    EchoServed served;
    PumpUntil([] { return false; }, 10ms);  // this thread's first wait makes what its waits keep
    for (bool elsewhere : {false, true}) {
        SCOPED_TRACE(elsewhere ? "released on another thread" : "released on its own thread");
        IDispatch* echo = nullptr;
        ASSERT_EQ(served.Create(&echo), S_OK);
        const int connected = OpenFdCount();
        if (elsewhere)
            std::thread([echo] { echo->Release(); }).join();
        else
            echo->Release();
        // Both ends of the connection, in this process, close.
        EXPECT_TRUE(PumpUntil([&] { return OpenFdCount() == connected - 2; }, 5s))
            << OpenFdCount() << " open, " << connected << " while connected";
        EXPECT_TRUE(served.WaitServerReferences(1));
    }
}

// An event interface of the tests' own: its Invoke goes one-way from a server.
constexpr IID IID_FloodEvents{0x6D0B9E41, 0x2C7A, 0x4F85, {0x9B, 0x13, 0x4E, 0x70, 0xA2, 0x5C, 0xD8, 0x31}};

// Counts the events it gets (on the client's thread, while it waits).
class CountingSink final : public DispatchSink {
public:
    CountingSink() : DispatchSink(IID_FloodEvents) {}
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ++count;
        return S_OK;
    }
    std::atomic<int> count{0};
};

// Registers the tests' event interface and gives the served echo object
// the client's sink, for the server to raise events to.
void StoreSink(EchoServed& served, IDispatch* sink, IDispatch** echo) {
    using namespace platform::remoting;
    RegisterInterface({IID_FloodEvents, true, true, 7, {IID_IDispatch}, &MakeProxy<DispatchProxy>, nullptr});
    ASSERT_EQ(served.Create(echo), S_OK);
    ASSERT_EQ(Call(*echo, Echo::kStore, {ObjectArg(sink)}), S_OK);
}

// held: each event raised inside a HeldEvents scope, which hands its events
// to the server's thread only while that thread is idle.
void ExpectEventsOfAnotherThreadWhileTheServersThreadIsBusy(bool held) {
    EchoServed served;
    IDispatch* echo = nullptr;
    auto* sink = new CountingSink;
    ASSERT_NO_FATAL_FAILURE(StoreSink(served, sink, &echo));
    // Events of 128 KiB each, three times the client's bound in all, raised
    // at a pace the client keeps up with by a thread of the server while the
    // server's own thread waits for it, and so writes out nothing. The client
    // starts reading only after a few, so that some wait in the queue: a
    // client that reads must still get every one.
    constexpr int kEvents = 96;
    std::atomic<int> failures{0};
    std::atomic<bool> queried{false};
    std::atomic<int> raised{0};
    std::thread server([&] {
        served.Server().Run([&] {
            IDispatch* events = nullptr;
            if (FAILED(served.Factory().Object()->Stored()->QueryInterface(IID_FloodEvents,
                                                                           reinterpret_cast<void**>(&events)))) {
                failures = kEvents;
                queried = true;
                return;
            }
            queried = true;
            std::thread([&] {
                const std::u16string text(64 * 1024, u'x');
                VARIANT v = platform::VariantBstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
                DISPPARAMS params{&v, nullptr, 1, 0};
                for (int i = 0; i < kEvents; ++i) {
                    std::optional<platform::HeldEvents> together;
                    if (held) together.emplace();
                    if (events->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr) != S_OK)
                        ++failures;
                    together.reset();
                    ++raised;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                VariantClear(&v);
            }).join();
            events->Release();
        });
    });
    PumpUntil([&] { return queried.load(); }, 20s);  // the server asks the sink for the interface
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (raised < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    PumpUntil([&] { return sink->count == kEvents; }, 20s);
    server.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(sink->count, kEvents);
    sink->Release();
    echo->Release();
}

TEST(Threads, EventsRaisedOnAnotherThreadReachAClientThatReadsWhileTheServersThreadIsBusy) {
    ExpectEventsOfAnotherThreadWhileTheServersThreadIsBusy(false);
}

TEST(Threads, EventsHeldTogetherOnAnotherThreadAreWrittenByItWhileTheServersThreadIsBusy) {
    ExpectEventsOfAnotherThreadWhileTheServersThreadIsBusy(true);
}

// Notes each event's raiser and number, (raiser, number, padding) as
// arguments, and whether every raiser's numbers came in order.
class OrderSink final : public DispatchSink {
public:
    OrderSink() : DispatchSink(IID_FloodEvents) {}
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
        if (params->cArgs != 3) return E_INVALIDARG;
        const LONG raiser = params->rgvarg[2].lVal, number = params->rgvarg[1].lVal;
        if (raiser < 0 || raiser >= 2 || number != next[raiser]) inOrder = false;
        if (raiser >= 0 && raiser < 2) next[raiser] = number + 1;
        ++count;
        return S_OK;
    }
    LONG next[2] = {0, 0};
    bool inOrder = true;
    std::atomic<int> count{0};
};

// Two threads of the server raise events to one client at once while the
// server's thread is idle in its wait: one in scopes that hand the events to
// that thread, the other writing its own. The client pauses its reading now
// and then, so that the socket fills and the writing goes on when it has
// room. Every event arrives, each thread's in the order raised, with nothing
// else sent after them that would take a frame left behind along.
TEST(Threads, EventsOfSeveralThreadsAtOnceAllArriveInEachThreadsOrder) {
    EchoServed served;
    IDispatch* echo = nullptr;
    auto* sink = new OrderSink;
    ASSERT_NO_FATAL_FAILURE(StoreSink(served, sink, &echo));
    IDispatch* events = nullptr;
    std::atomic<bool> queried{false};
    std::thread server([&] {
        served.Server().Run([&] {
            served.Factory().Object()->Stored()->QueryInterface(IID_FloodEvents, reinterpret_cast<void**>(&events));
            queried = true;
        });
    });
    PumpUntil([&] { return queried.load(); }, 30s);  // the server asks the sink
    server.join();
    ASSERT_NE(events, nullptr);
    constexpr int kEach = 400;
    std::atomic<int> failures{0};
    const auto raise = [&](LONG raiser) {
        const std::u16string text(2048, u'x');
        for (LONG i = 0; i < kEach; ++i) {
            std::optional<platform::HeldEvents> together;
            if (raiser == 0) together.emplace();
            VARIANT args[3] = {platform::VariantBstr(SysAllocStringLen(text.data(), 2048)), platform::VariantI4(i),
                               platform::VariantI4(raiser)};
            DISPPARAMS params{args, nullptr, 3, 0};
            if (events->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr) != S_OK) ++failures;
            VariantClear(&args[0]);
        }
    };
    std::thread held(raise, 0), own(raise, 1);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (int pauses = 0; sink->count < 2 * kEach && std::chrono::steady_clock::now() < deadline;) {
        PumpUntil([] { return false; }, 10ms);
        if (sink->count > pauses * 150 && pauses < 4) {
            ++pauses;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    }
    held.join();
    own.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(sink->count, 2 * kEach);
    EXPECT_TRUE(sink->inOrder);
    served.Server().Run([&] { events->Release(); });
    sink->Release();
    echo->Release();
}

TEST(Threads, AProxyAnswersOnlyItsOwnThread) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    std::thread other([echo] {
        CoInitialize(nullptr);
        UINT count = 0;
        EXPECT_EQ(echo->GetTypeInfoCount(&count), RPC_E_WRONG_THREAD);
        CoUninitialize();
    });
    other.join();
    UINT count = 9;
    EXPECT_EQ(echo->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    echo->Release();
}

TEST(Threads, AWaitForOwnHandlesAlsoRunsIncomingCalls) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    auto* value = new ValueObject;
    ASSERT_EQ(Call(echo, Echo::kStore, {ObjectArg(value)}), S_OK);  // the server keeps this thread's object
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Another client makes the server call that object while this thread
    // waits for its own handle and its messages together.
    std::thread other([done] {
        CoInitialize(nullptr);
        IDispatch* echo2 = nullptr;
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(
            CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, reinterpret_cast<void**>(&echo2)),
            S_OK);
        if (echo2) {
            EXPECT_EQ(Call(echo2, Echo::kCallStored, {}, &result), S_OK);
            EXPECT_EQ(result.lVal, 1234);
            echo2->Release();
        }
        CoUninitialize();
        SetEvent(done);
    });
    DWORD woke = WAIT_TIMEOUT;
    int inputs = 0;
    while (woke != WAIT_OBJECT_0 && inputs < 1000) {
        woke = MsgWaitForMultipleObjectsEx(1, &done, 10000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0 + 1) ++inputs;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    EXPECT_EQ(woke, WAIT_OBJECT_0);
    EXPECT_GE(inputs, 1);
    EXPECT_EQ(value->calledOn, GetCurrentThreadId());
    other.join();
    CloseHandle(done);
    value->Release();
    echo->Release();
}

}  // namespace
}  // namespace trelvane
