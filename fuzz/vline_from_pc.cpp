// The virtual line as the device end reads it: the PC end's stream split into
// messages (vline_stream.h), and every settings request read as the device
// end reads it. A request read back from a message writes out as that
// message, so what the PC end writes is what the device end reads.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/vline_stream.h"

namespace trelvane {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const fuzz::OwnedMessage& message : fuzz::CheckedMessages(data, size)) {
        const vline::Message m = message.View();
        if (const auto request = vline::ReadSettingsRequest(m)) {
            std::vector<std::uint8_t> out;
            vline::AppendSettingsRequest(out, *request);
            fuzz::Check(out == message.bytes, "a settings request writes out otherwise than it read");
        }
        if (const auto byte = vline::ReadByte(m)) fuzz::Check(m.length == 1 && *byte == m.payload[0], "ReadByte");
    }
    return 0;
}

}  // namespace trelvane
