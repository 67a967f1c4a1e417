// The remoting frames as a server reads them. The input is what a client
// sends over a fresh connection to a registered class: the handshake and
// then any frames. This thread serves the class as a server's main thread
// does, with a recording stand-in for the driver object behind the driver's
// own interfaces, so that every frame goes through the real reading of
// frames, the stubs and the reading of their arguments. Whatever comes, the
// server answers or disconnects; once the client has gone, every reference
// it held and every server lock it took are given back.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "contract/trelvane.h"
#include "fuzz/fuzz_check.h"
#include "platform/base/paths.h"
#include "platform/windows.h"
#include "tests/support/raw_peer.h"
#include "tests/support/recording_object.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using trelvane::testing::RecordingObject;

// More than one write of the client may hold: the whole input goes into the
// socket before this thread serves it.
constexpr std::size_t kMaxInput = 64 * 1024;
// Far beyond what serving one input takes; a connection still open then has
// outlived its client.
constexpr auto kServeLimit = std::chrono::seconds(8);

// Makes a new object for every activation, so that no input sees what
// another did, and keeps a reference to each to see that the client's are
// all given back.
class FreshFactory final : public IClassFactory, public platform::RefCounted {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        AddRefImpl();
        return S_OK;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        RecordingObject* object = RecordingObject::Create();
        m_objects.push_back(object);
        return object->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override {
        m_locks += lock ? 1 : -1;
        return S_OK;
    }

    // After the client has gone: its objects are held by nothing but this
    // factory, and its locks are undone.
    void CheckAllGivenBack() {
        fuzz::Check(m_locks == 0, "a server lock of a client that has gone");
        std::vector<RecordingObject*> objects;
        objects.swap(m_objects);
        for (RecordingObject* object : objects)
            fuzz::Check(object->Release() == 0, "an object still referenced after its client has gone");
    }

private:
    std::vector<RecordingObject*> m_objects;  // one reference each
    int m_locks = 0;
};

struct Server {
    FreshFactory* factory = new FreshFactory;
    std::string socketPath;

    Server() {
        fuzz::Check(CoInitialize(nullptr) == S_OK, "no apartment");
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        DWORD cookie = 0;
        fuzz::Check(CoRegisterClassObject(contract::CLSID_CTarvik, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                          &cookie) == S_OK,
                    "the class cannot be registered");
        WCHAR clsid[CHARS_IN_GUID];
        StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
        socketPath = platform::TrelvaneHome() + "/run/" + platform::ToUtf8(clsid);
    }

    // Runs what comes in for this thread until the client's connection has
    // ended; false when it did not within the limit.
    bool Serve(trelvane::testing::RawPeer& peer) {
        const auto deadline = std::chrono::steady_clock::now() + kServeLimit;
        MSG msg;
        while (!peer.Closed()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            MsgWaitForMultipleObjectsEx(0, nullptr, 100, QS_ALLINPUT, 0);
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        // The cleanup of the connection runs from the queue too.
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        return true;
    }
};

Server* TheServer = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The home is removed when the process ends, after the thread's
    // apartment has withdrawn the class; the server lives for the whole run.
    static trelvane::testing::TempHome home;
    TheServer = new Server;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    trelvane::testing::RawPeer peer(TheServer->socketPath);
    fuzz::Check(peer.Connected(), "cannot connect to the class's socket");
    fuzz::Check(peer.Send(std::vector<std::uint8_t>(data, data + std::min(size, kMaxInput))), "cannot send");
    peer.CloseWrite();
    fuzz::Check(TheServer->Serve(peer), "the server kept the connection of a client that had gone");
    TheServer->factory->CheckAllGivenBack();
    return 0;
}

}  // namespace trelvane
