// A raw client of the server program's driver object, for attacks on it
// (tests/attacks and the figures of bench/attack_figures.cpp): it greets,
// holds the object and its events' connection point, and sends what a
// proper client never would.
#pragma once

#include <string>

#include "contract/trelvane.h"
#include "platform/base/utf8.h"
#include "tests/support/raw_frames.h"
#include "tests/support/raw_peer.h"
#include "tests/support/server_process.h"

namespace trelvane::testing {

namespace wire = platform::remoting::wire;
namespace method = wire::method;
using platform::remoting::Writer;

// ITarvik's put_InterCharacterTimeout, by its place in the vtable.
constexpr std::uint16_t kPutInterCharacterTimeout = method::kFirstDualMethod + 7;

inline std::string TarvikSocket(const std::string& home) {
    WCHAR clsid[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, clsid, CHARS_IN_GUID);
    return ClassSocketPath(home, platform::ToUtf8(clsid));
}

inline bool IsFrame(const RawBytes& frame, wire::FrameType type) {
    return !frame.empty() && frame[0] == static_cast<std::uint8_t>(type);
}

// A raw client that holds the driver object and its events' connection point.
struct AttackPeer {
    explicit AttackPeer(const std::string& socket) : raw(socket) {}

    RawBytes Ask(const RawBytes& request) { return raw.Send(request) ? raw.ReadFrame(5000) : RawBytes{}; }
    bool Greet() { return raw.Send(RawHello()) && IsFrame(raw.ReadFrame(5000), wire::FrameType::Welcome); }
    bool Open() {
        if (!Greet()) return false;
        const std::uint32_t factory =
            RawObjectIn(Ask(RawRequest(wire::kClassTable, GUID_NULL, method::kGetClassObject, [](Writer& w) {
                w.Guid(contract::CLSID_CTarvik);
                w.Guid(IID_IClassFactory);
            })));
        tarvik = RawObjectIn(Ask(RawRequest(factory, IID_IClassFactory, method::kCreateInstance,
                                            [](Writer& w) { w.Guid(contract::IID_ITarvik); })));
        const std::uint32_t container = RawObjectIn(Ask(RawRequest(
            tarvik, IID_IUnknown, method::kQueryInterface, [](Writer& w) { w.Guid(IID_IConnectionPointContainer); })));
        point = RawObjectIn(Ask(RawRequest(container, IID_IConnectionPointContainer, method::kFindConnectionPoint,
                                           [](Writer& w) { w.Guid(contract::DIID__ITarvikEvents); })));
        return factory != 0 && tarvik != 0 && container != 0 && point != 0;
    }
    // Advises a sink of its own, whose callbacks it never answers.
    RawBytes AdviseRequest() const {
        return RawRequest(point, IID_IConnectionPoint, method::kAdvise, [](Writer& w) {
            w.U8(static_cast<std::uint8_t>(wire::RefKind::SendersObject));
            w.U32(1);
            w.Guid(IID_IUnknown);
            w.Guid(GUID_NULL);
        });
    }
    RawBytes PutInterCharacterTimeout(LONG value) const {
        return RawRequest(tarvik, contract::IID_ITarvik, kPutInterCharacterTimeout, [=](Writer& w) { w.I32(value); });
    }

    RawPeer raw;
    std::uint32_t tarvik = 0;
    std::uint32_t point = 0;
};

}  // namespace trelvane::testing
