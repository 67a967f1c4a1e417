// The virtual line as the PC end reads it: the device end's stream split into
// messages (vline_stream.h), and every payload with a layout read as the PC
// end reads it. A layout read back from a message writes out as that message.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/vline_stream.h"

namespace trelvane {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const fuzz::OwnedMessage& message : fuzz::CheckedMessages(data, size)) {
        const vline::Message m = message.View();
        if (const auto hello = vline::ReadHello(m)) {
            std::vector<std::uint8_t> out;
            vline::AppendHello(out, *hello);
            fuzz::Check(out == message.bytes, "a greeting writes out otherwise than it read");
        }
        if (const auto reply = vline::ReadParamsReply(m)) {
            std::vector<std::uint8_t> out;
            vline::AppendParamsReply(out, *reply);
            fuzz::Check(vline::ReadParamsReply(fuzz::OwnedMessage{out[0], out}.View()) == reply,
                        "a settings reply reads back otherwise than it was written");
            if (m.payload[4] <= 1) fuzz::Check(out == message.bytes, "a settings reply writes out otherwise");
        }
        if (const auto byte = vline::ReadByte(m)) fuzz::Check(m.length == 1 && *byte == m.payload[0], "ReadByte");
    }
    return 0;
}

}  // namespace trelvane
