// What both ends of the virtual line must do with a stream of messages,
// checked for the fuzz targets of either direction: the stream splits into
// the same messages however its bytes arrive, nothing is lost or invented,
// and data written out as messages reads back as the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/comm/vline_codec.h"

namespace trelvane::fuzz {

struct OwnedMessage {
    std::uint8_t type;
    std::vector<std::uint8_t> bytes;  // header and payload, as on the line
    vline::Message View() const { return {type, bytes.data() + vline::kHeaderSize, bytes.size() - vline::kHeaderSize}; }
    bool operator==(const OwnedMessage&) const = default;
};

// The messages of the stream, taken in by a reader in chunks whose sizes the
// stream's own bytes choose (whole when chunky is false).
inline std::vector<OwnedMessage> SplitStream(const std::uint8_t* data, std::size_t size, bool chunky,
                                             std::size_t* pending) {
    vline::MessageReader reader;
    std::vector<OwnedMessage> messages;
    for (std::size_t at = 0, i = 0; at < size; ++i) {
        const std::size_t chunk = chunky ? std::min<std::size_t>(size - at, 1 + data[i % size] % 17) : size;
        reader.Append(data + at, chunk);
        at += chunk;
        vline::Message m;
        while (reader.Next(&m)) {
            fuzz::Check(m.length <= vline::kMaxPayload, "a payload longer than a length byte can say");
            std::vector<std::uint8_t> bytes{m.type, static_cast<std::uint8_t>(m.length)};
            bytes.insert(bytes.end(), m.payload, m.payload + m.length);
            messages.push_back({m.type, std::move(bytes)});
        }
    }
    *pending = reader.Pending();
    return messages;
}

// Splits the stream and checks the framing; returns its messages.
inline std::vector<OwnedMessage> CheckedMessages(const std::uint8_t* data, std::size_t size) {
    std::size_t pending = 0;
    std::vector<OwnedMessage> messages = SplitStream(data, size, false, &pending);
    std::size_t chunkyPending = 0;
    Check(SplitStream(data, size, true, &chunkyPending) == messages && chunkyPending == pending,
          "the stream splits otherwise when its bytes arrive in pieces");
    std::vector<std::uint8_t> joined;
    for (const auto& m : messages) joined.insert(joined.end(), m.bytes.begin(), m.bytes.end());
    Check(joined.size() + pending == size && std::equal(joined.begin(), joined.end(), data),
          "the messages are not the stream's bytes");
    if (pending > 0)
        Check(pending < vline::kHeaderSize || pending < vline::kHeaderSize + data[joined.size() + 1],
              "a complete message was held back");

    // The stream as the data of one write: it goes out as messages that read
    // back as the same bytes.
    std::vector<std::uint8_t> written;
    vline::AppendMessage(written, vline::PcMessage::Data, data, size);
    std::vector<OwnedMessage> back = SplitStream(written.data(), written.size(), false, &pending);
    std::vector<std::uint8_t> payloads;
    for (const auto& m : back) payloads.insert(payloads.end(), m.bytes.begin() + vline::kHeaderSize, m.bytes.end());
    Check(pending == 0 && payloads == std::vector<std::uint8_t>(data, data + size),
          "written data does not read back as the same bytes");
    return messages;
}

}  // namespace trelvane::fuzz
