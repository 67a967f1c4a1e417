// Remoting frames written by hand, for peers that speak to a class's socket
// directly (RawPeer): the handshake, requests, and what a reply carries.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/remoting/codec.h"
#include "platform/remoting/wire.h"

namespace trelvane::testing {

using RawBytes = std::vector<std::uint8_t>;

inline RawBytes RawFrame(platform::remoting::wire::FrameType type,
                         const std::function<void(platform::remoting::Writer&)>& fields) {
    platform::remoting::Writer w;
    w.U32(0);
    w.U8(static_cast<std::uint8_t>(type));
    fields(w);
    w.PatchU32(0, static_cast<std::uint32_t>(w.Size() - 4));
    return w.Bytes();
}

inline RawBytes RawHello(std::uint32_t magic = platform::remoting::wire::kMagic) {
    namespace wire = platform::remoting::wire;
    return RawFrame(wire::FrameType::Hello, [&](platform::remoting::Writer& w) {
        w.U32(magic);
        w.U16(wire::kVersion);
        w.U32(wire::kMaxFrame);
    });
}

// A request with a call id of its own (counted from 101).
inline RawBytes RawRequest(std::uint32_t object, REFIID iid, std::uint16_t method,
                           const std::function<void(platform::remoting::Writer&)>& args) {
    static std::uint32_t callId = 100;
    return RawFrame(platform::remoting::wire::FrameType::Request, [&](platform::remoting::Writer& w) {
        w.U32(++callId);
        w.U32(object);
        w.Guid(iid);
        w.U16(method);
        args(w);
    });
}

// The HRESULT of a reply, and the object id in one whose first result is an
// object reference (0 when it is not such a reply).
inline HRESULT RawReplyResult(const RawBytes& reply) {
    HRESULT hr = E_FAIL;
    if (reply.size() >= 9) std::memcpy(&hr, reply.data() + 5, 4);
    return hr;
}
inline std::uint32_t RawObjectIn(const RawBytes& reply) {
    // Type, call id, HRESULT, no error information, results follow, the reference's kind, its id.
    if (reply.size() < 16 || reply[0] != static_cast<std::uint8_t>(platform::remoting::wire::FrameType::Reply))
        return 0;
    std::uint32_t id;
    std::memcpy(&id, reply.data() + 12, 4);
    return id;
}

}  // namespace trelvane::testing
