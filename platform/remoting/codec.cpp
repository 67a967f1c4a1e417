#include "platform/remoting/codec.h"

#include <new>

namespace platform::remoting {
namespace {
constexpr std::uint32_t kNullString = 0xFFFFFFFF;
}

void Writer::Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    Raw(g.Data4, sizeof g.Data4);
}

void Writer::Bstr(BSTR text) {
    if (text == nullptr) {
        U32(kNullString);
        return;
    }
    const UINT bytes = SysStringByteLen(text);
    U32(bytes);
    Raw(text, bytes);
}

void Writer::Text(LPCOLESTR text) {
    if (text == nullptr) {
        U32(kNullString);
        return;
    }
    std::size_t length = 0;
    while (text[length]) ++length;
    U32(static_cast<std::uint32_t>(length * sizeof(OLECHAR)));
    Raw(text, length * sizeof(OLECHAR));
}

void Reader::Raw(void* out, std::size_t size) {
    if (size == 0) return;
    if (!m_ok || size > m_left) {
        Fail();
        std::memset(out, 0, size);
        return;
    }
    std::memcpy(out, m_data, size);
    m_data += size;
    m_left -= size;
}

GUID Reader::Guid() {
    GUID g{};
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    Raw(g.Data4, sizeof g.Data4);
    return g;
}

bool Reader::Bstr(BSTR* out) {
    *out = nullptr;
    const std::uint32_t bytes = U32();
    if (!m_ok) return false;
    if (bytes == kNullString) return true;
    if (bytes % sizeof(OLECHAR) != 0 || bytes > m_left) {
        Fail();
        return false;
    }
    *out = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(m_data), bytes / sizeof(OLECHAR));
    if (*out == nullptr) {
        Fail();
        return false;
    }
    m_data += bytes;
    m_left -= bytes;
    return true;
}

bool Reader::Text(std::u16string* out, bool* isNull) {
    out->clear();
    *isNull = false;
    const std::uint32_t bytes = U32();
    if (!m_ok) return false;
    if (bytes == kNullString) {
        *isNull = true;
        return true;
    }
    if (bytes % sizeof(OLECHAR) != 0 || bytes > m_left) {
        Fail();
        return false;
    }
    out->resize(bytes / sizeof(OLECHAR));
    Raw(out->data(), bytes);
    return m_ok;
}

std::uint32_t Reader::Count(std::uint32_t limit, std::size_t itemSize) {
    const std::uint32_t count = U32();
    if (count > limit || (itemSize > 0 && count > m_left / itemSize)) {
        Fail();
        return 0;
    }
    return count;
}

}  // namespace platform::remoting
