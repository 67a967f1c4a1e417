// Writing and reading the values of frames (wire.h): integers, GUIDs and
// strings. A Reader that meets anything malformed (too short, a count past
// the end of the frame) fails for good and returns zeros from then on.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/objects/oleauto.h"

namespace platform::remoting {

class Connection;

class Writer {
public:
    // connection: where object references in the values are handed (may be null).
    explicit Writer(Connection* connection = nullptr) : m_connection(connection) { m_bytes.reserve(kFirstCapacity); }
    static constexpr std::size_t kFirstCapacity = 128;  // most frames fit

    void U8(std::uint8_t v) { m_bytes.push_back(v); }
    void U16(std::uint16_t v) { Raw(&v, sizeof v); }
    void U32(std::uint32_t v) { Raw(&v, sizeof v); }
    void I32(std::int32_t v) { Raw(&v, sizeof v); }
    void U64(std::uint64_t v) { Raw(&v, sizeof v); }
    void Guid(const GUID& g);
    void Bstr(BSTR text);
    void Text(LPCOLESTR text);  // a terminated string, null allowed
    void Raw(const void* data, std::size_t size) {
        if (size == 0) return;
        const auto* p = static_cast<const BYTE*>(data);
        m_bytes.insert(m_bytes.end(), p, p + size);
    }
    void PatchU32(std::size_t at, std::uint32_t v) { std::memcpy(m_bytes.data() + at, &v, sizeof v); }

    std::vector<BYTE>& Bytes() { return m_bytes; }
    std::size_t Size() const { return m_bytes.size(); }
    Connection* Conn() const { return m_connection; }

private:
    std::vector<BYTE> m_bytes;
    Connection* m_connection;
};

class Reader {
public:
    Reader() = default;
    Reader(const BYTE* data, std::size_t size, Connection* connection = nullptr)
        : m_data(data), m_left(size), m_connection(connection) {}

    std::uint8_t U8() { return Fixed<std::uint8_t>(); }
    std::uint16_t U16() { return Fixed<std::uint16_t>(); }
    std::uint32_t U32() { return Fixed<std::uint32_t>(); }
    std::int32_t I32() { return Fixed<std::int32_t>(); }
    std::uint64_t U64() { return Fixed<std::uint64_t>(); }
    GUID Guid();
    // A new BSTR (null for a null string); false, with the reader failed,
    // when malformed or out of memory.
    bool Bstr(BSTR* out);
    // A string as sent by Writer::Text; *isNull tells a null one.
    bool Text(std::u16string* out, bool* isNull);
    void Raw(void* out, std::size_t size);
    // A count of items of at least itemSize bytes each: fails when more than
    // limit or more than what is left of the frame could hold.
    std::uint32_t Count(std::uint32_t limit, std::size_t itemSize);

    void Fail() {
        m_ok = false;
        m_left = 0;
    }
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_ok && m_left == 0; }
    Connection* Conn() const { return m_connection; }

private:
    template <class T>
    T Fixed() {
        T v{};
        Raw(&v, sizeof v);
        return v;
    }

    const BYTE* m_data = nullptr;
    std::size_t m_left = 0;
    bool m_ok = true;
    Connection* m_connection = nullptr;
};

}  // namespace platform::remoting
