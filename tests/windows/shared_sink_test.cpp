// platform::SharedSink under the system's own marshaling: a sink proxy that
// belongs to the server's apartment, called from a thread of another
// apartment (as the serial listener raises its events).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/framework/shared_sink.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

// A sink that counts the events it gets; it lives in the apartment of the
// thread that made it.
class CountingSink final : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr;
        if (*ppv == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // owned by its thread's stack
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        ++events;
        return S_OK;
    }
    std::atomic<ULONG> refs{0};
    std::atomic<int> events{0};
};

HRESULT Raise(IDispatch* sink) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    return sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
}

// Runs work on a thread of its own apartment, and waits for it.
template <class Work>
void OnAnotherApartment(Work work) {
    std::thread([&] {
        CoInitialize(nullptr);
        work();
        platform::LeaveThreadApartment();
    }).join();
}

TEST(SharedSink, AnotherApartmentsThreadReachesTheSinkThatTheOwnersProxyCannotCallThere) {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    // The client: a sink in an apartment of its own, serving calls from its loop.
    CountingSink sink;
    IStream* stream = nullptr;
    DWORD clientThread = 0;
    HANDLE marshaled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread client([&] {
        CoInitialize(nullptr);
        clientThread = GetCurrentThreadId();
        CoMarshalInterThreadInterfaceInStream(IID_IDispatch, &sink, &stream);
        SetEvent(marshaled);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        CoUninitialize();
    });
    ASSERT_EQ(WaitForSingleObject(marshaled, 10000), WAIT_OBJECT_0);
    IDispatch* proxy = nullptr;
    ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream, IID_IDispatch, reinterpret_cast<void**>(&proxy)), S_OK);
    {
        platform::SharedSink shared(proxy);
        IDispatch* own = nullptr;
        ASSERT_EQ(shared.ForThisThread(&own), S_OK);
        EXPECT_EQ(own, proxy);  // the owner's thread calls the sink as advised
        own->Release();
        EXPECT_EQ(Raise(proxy), S_OK);

        // Event after event, as the listener raises them: each takes the
        // sink for its call and lets it go again.
        constexpr int kEvents = 20;
        HRESULT direct = S_OK, sharedCall = S_OK;
        OnAnotherApartment([&] {
            direct = Raise(proxy);
            for (int i = 0; i < kEvents && SUCCEEDED(sharedCall); ++i) {
                IDispatch* mine = nullptr;
                sharedCall = shared.ForThisThread(&mine);
                if (SUCCEEDED(sharedCall)) {
                    sharedCall = Raise(mine);
                    mine->Release();
                }
            }
        });
        EXPECT_EQ(direct, RPC_E_WRONG_THREAD);
        EXPECT_EQ(sharedCall, S_OK);
        EXPECT_EQ(sink.events, 1 + kEvents);
        EXPECT_EQ(Raise(proxy), S_OK);  // and the owner's proxy still reaches it
    }
    proxy->Release();
    PostThreadMessageW(clientThread, WM_QUIT, 0, 0);
    client.join();
    CloseHandle(marshaled);
    CoUninitialize();
}

}  // namespace
}  // namespace trelvane
