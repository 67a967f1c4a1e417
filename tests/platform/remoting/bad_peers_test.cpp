// Peers that break the protocol, stop reading or run as another user: each
// is disconnected (and logged), and every other client goes on.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "platform/base/paths.h"
#include "tests/platform/remoting/echo_object.h"
#include "tests/support/host_process.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/raw_frames.h"
#include "tests/support/raw_peer.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using platform::remoting::Writer;
namespace wire = platform::remoting::wire;
using Bytes = std::vector<std::uint8_t>;
using wire::FrameType;

std::string SocketOf(const std::string& clsid) { return platform::TrelvaneHome() + "/run/" + clsid; }
const char* kEchoClsid = "{3C1F7A52-90D4-4B6E-8A17-5D22E40B916C}";

// Invoke's arguments up to its variants: the member (Echo unless said),
// the arguments present, and a result wanted unless said.
void InvokeHead(Writer& w, std::uint32_t argumentCount, DISPID member = Echo::kEcho, bool resultWanted = true) {
    w.I32(member);
    w.Guid(IID_NULL);
    w.U32(0);
    w.U16(DISPATCH_METHOD);
    w.U8(resultWanted ? 1 | 2 : 1);
    w.U32(argumentCount);
}

// A raw peer that has done the handshake and holds the class factory and an Echo.
struct Peer {
    RawPeer raw{SocketOf(kEchoClsid)};
    std::uint32_t factory = 0;
    std::uint32_t echo = 0;

    bool Open() {
        if (!raw.Send(RawHello()) || raw.ReadFrame(5000).empty()) return false;
        raw.Send(RawRequest(wire::kClassTable, GUID_NULL, wire::method::kGetClassObject, [](Writer& w) {
            w.Guid(CLSID_Echo);
            w.Guid(IID_IClassFactory);
        }));
        factory = RawObjectIn(raw.ReadFrame(5000));
        raw.Send(RawRequest(factory, IID_IClassFactory, wire::method::kCreateInstance,
                            [](Writer& w) { w.Guid(IID_IDispatch); }));
        echo = RawObjectIn(raw.ReadFrame(5000));
        return factory != 0 && echo != 0;
    }
};

struct BadFrame {
    const char* what;
    bool handshake;
    std::function<Bytes(const Peer&)> frame;
};

TEST(BadPeers, EachMalformedFrameDisconnectsOnlyThatPeer) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    const BadFrame cases[] = {
        {"a request before the handshake", false,
         [](const Peer&) {
             return RawRequest(wire::kClassTable, GUID_NULL, 0, [](Writer& w) {
                 w.Guid(CLSID_Echo);
                 w.Guid(IID_IClassFactory);
             });
         }},
        {"a handshake of another protocol", false, [](const Peer&) { return RawHello(0x12345678); }},
        {"an empty frame", true,
         [](const Peer&) {
             return Bytes{0, 0, 0, 0};
         }},
        {"an oversized frame", true,
         [](const Peer&) {
             Bytes b{0, 0, 0, 0, 4, 1, 2, 3};
             const std::uint32_t length = wire::kMaxFrame + 1;
             std::memcpy(b.data(), &length, 4);
             return b;
         }},
        {"an unknown frame type", true,
         [](const Peer&) { return RawFrame(static_cast<FrameType>(99), [](Writer&) {}); }},
        {"a second handshake", true, [](const Peer&) { return RawHello(); }},
        {"a call to an object never handed", true,
         [](const Peer&) { return RawRequest(77, IID_IDispatch, wire::method::kGetTypeInfoCount, [](Writer&) {}); }},
        {"an interface it was not given", true,
         [](const Peer& p) { return RawRequest(p.factory, IID_IConnectionPoint, 3, [](Writer&) {}); }},
        {"an unknown method", true,
         [](const Peer& p) { return RawRequest(p.factory, IID_IClassFactory, 9, [](Writer&) {}); }},
        {"an AddRef", true, [](const Peer& p) { return RawRequest(p.factory, IID_IClassFactory, 1, [](Writer&) {}); }},
        {"arguments with bytes left over", true,
         [](const Peer& p) {
             return RawRequest(p.factory, IID_IClassFactory, wire::method::kLockServer, [](Writer& w) {
                 w.I32(1);
                 w.U32(7);
             });
         }},
        {"arguments cut short", true,
         [](const Peer&) {
             return RawRequest(wire::kClassTable, GUID_NULL, 0, [](Writer& w) { w.Guid(CLSID_Echo); });
         }},
        {"a string longer than its frame", true,
         [](const Peer& p) {
             return RawRequest(p.echo, IID_IDispatch, wire::method::kInvoke, [](Writer& w) {
                 InvokeHead(w, 1);
                 w.U16(VT_BSTR);
                 w.U32(1000);
                 w.U16(u'x');
             });
         }},
        {"more arguments than its frame holds", true,
         [](const Peer& p) {
             return RawRequest(p.echo, IID_IDispatch, wire::method::kInvoke, [](Writer& w) { InvokeHead(w, 60); });
         }},
        {"a value of an unknown type", true,
         [](const Peer& p) {
             return RawRequest(p.echo, IID_IDispatch, wire::method::kInvoke, [](Writer& w) {
                 InvokeHead(w, 1);
                 w.U16(0x0FFF);
                 w.U32(0);
             });
         }},
        {"a reference inside a reference", true,
         [](const Peer& p) {
             return RawRequest(p.echo, IID_IDispatch, wire::method::kInvoke, [](Writer& w) {
                 InvokeHead(w, 1);
                 w.U16(VT_BYREF | VT_VARIANT);
                 w.U16(VT_BYREF | VT_I4);
                 w.U32(5);
                 w.U32(0);
             });
         }},
        {"a release of references it does not hold", true,
         [](const Peer& p) {
             return RawFrame(FrameType::Release, [&](Writer& w) {
                 w.U32(p.factory);
                 w.U32(5);
             });
         }},
        {"a reply to no call", true,
         [](const Peer&) {
             return RawFrame(FrameType::Reply, [](Writer& w) {
                 w.U32(1234);
                 w.I32(S_OK);
                 w.U8(0);
                 w.U8(1);
             });
         }},
        {"an event to a server", true,
         [](const Peer& p) {
             return RawFrame(FrameType::Event, [&](Writer& w) {
                 w.U32(p.echo);
                 w.Guid(IID_IDispatch);
                 w.U16(wire::method::kInvoke);
                 InvokeHead(w, 0);
                 w.U32(0);
             });
         }},
    };
    for (const auto& c : cases) {
        Peer peer;
        ASSERT_TRUE(peer.raw.Connected()) << c.what;
        if (c.handshake) {
            ASSERT_TRUE(peer.Open()) << c.what;
        }
        ASSERT_TRUE(peer.raw.Send(c.frame(peer))) << c.what;
        EXPECT_TRUE(peer.raw.WaitClosed(5000)) << c.what;
        UINT count = 9;
        EXPECT_EQ(echo->GetTypeInfoCount(&count), S_OK) << "after " << c.what;  // everyone else goes on
    }
    // A frame that the peer leaves unfinished when it stops sending.
    Peer cut;
    ASSERT_TRUE(cut.Open());
    Bytes partial = RawRequest(cut.echo, IID_IDispatch, wire::method::kGetTypeInfoCount, [](Writer&) {});
    partial.erase(partial.end() - 3, partial.end());
    cut.raw.Send(partial);
    cut.raw.CloseWrite();
    EXPECT_TRUE(cut.raw.WaitClosed(5000));
    // What the peers held went with them: the factory's reference and our
    // proxy's two (the object and its IDispatch) are left.
    EXPECT_TRUE(served.WaitServerReferences(3));
    echo->Release();
}

TEST(BadPeers, APeerThatGoesWhileTheServerCallsItEndsThatCallAtOnce) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    // The peer hands the server an object of its own to keep.
    Peer peer;
    ASSERT_TRUE(peer.Open());
    peer.raw.Send(RawRequest(peer.echo, IID_IDispatch, wire::method::kInvoke, [](Writer& w) {
        InvokeHead(w, 1, Echo::kStore, false);
        w.U16(VT_DISPATCH);
        w.U8(static_cast<std::uint8_t>(wire::RefKind::SendersObject));
        w.U32(1);
        w.Guid(IID_IDispatch);
        w.Guid(GUID_NULL);
        w.U32(0);
    }));
    ASSERT_FALSE(peer.raw.ReadFrame(5000).empty());
    // Another client has the server call that object; the peer sees the
    // call come in and goes, as a killed client would, without answering.
    std::thread gone([&peer] {
        const Bytes call = peer.raw.ReadFrame(5000);
        EXPECT_TRUE(!call.empty() && call[0] == static_cast<std::uint8_t>(FrameType::Request));
        peer.raw.Close();
    });
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    // Disconnected, not the call's time limit run out.
    EXPECT_EQ(echo->Invoke(Echo::kCallStored, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              RPC_E_DISCONNECTED);
    gone.join();
    UINT count = 9;
    EXPECT_EQ(echo->GetTypeInfoCount(&count), S_OK);
    EXPECT_TRUE(served.WaitServerReferences(3));  // the factory's and our proxy's two
    echo->Release();
}

TEST(BadPeers, APeerThatStopsReadingIsDisconnected) {
    EchoServed served;
    IDispatch* echo = nullptr;
    ASSERT_EQ(served.Create(&echo), S_OK);
    Peer greedy;
    ASSERT_TRUE(greedy.Open());
    // Each request asks for a large answer; the peer reads none of them.
    const std::u16string large(128 * 1024, u'x');
    const Bytes request = RawRequest(greedy.echo, IID_IDispatch, wire::method::kInvoke, [&](Writer& w) {
        InvokeHead(w, 1);
        w.U16(VT_BSTR);
        w.U32(static_cast<std::uint32_t>(large.size() * 2));
        w.Raw(large.data(), large.size() * 2);
        w.U32(0);
    });
    for (int i = 0; i < 100 && greedy.raw.Send(request); ++i) {
    }
    EXPECT_TRUE(greedy.raw.WaitShutDown(10000));
    UINT count = 9;
    EXPECT_EQ(echo->GetTypeInfoCount(&count), S_OK);
    echo->Release();
}

TEST(BadPeers, PeersOfAnotherUserAreRefusedBothWays) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    TempHome home;
    ASSERT_TRUE(GiveToNobody(home.Path()));
    HostProcess server(TRELVANE_TEST_HOST, {}, true);  // serves the driver object as the unprivileged user
    ASSERT_TRUE(server.Start());
    const std::string socket = SocketOf("{979033AA-C8F3-4158-A797-255164FEA439}");
    // The server refuses a client of another user (root passes the file modes, not the peer check).
    RawPeer raw(socket);
    ASSERT_TRUE(raw.Connected());
    raw.Send(RawHello());
    const Bytes answer = raw.ReadFrame(5000);
    ASSERT_EQ(answer.size(), 5u);
    EXPECT_EQ(answer[0], static_cast<std::uint8_t>(FrameType::Refused));
    HRESULT why;
    std::memcpy(&why, answer.data() + 1, 4);
    EXPECT_EQ(why, E_ACCESSDENIED);
    EXPECT_TRUE(raw.WaitClosed(5000));
    // And a client does not use a server of another user, nor the registry
    // in that user's home.
    CoInitialize(nullptr);
    IUnknown* object = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&object)),
        REGDB_E_READREGDB);
    IClassFactory* factory = nullptr;
    const CLSID tarvik{0x979033AA, 0xC8F3, 0x4158, {0xA7, 0x97, 0x25, 0x51, 0x64, 0xFE, 0xA4, 0x39}};
    EXPECT_EQ(
        CoGetClassObject(tarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
        E_ACCESSDENIED);
    CoUninitialize();
    EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace trelvane
