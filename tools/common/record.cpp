#include "tools/common/record.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>

namespace trelvane::tools {
namespace {

// Length of the valid UTF-8 sequence of a multi-byte character at i, or 0.
std::size_t Utf8SequenceAt(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned lowestCode = 0;
    unsigned code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, lowestCode = 0x80, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, lowestCode = 0x800, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, lowestCode = 0x10000, code = lead & 0x07u;
    else
        return 0;
    if (i + length > s.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    if (code < lowestCode || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void AppendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8SequenceAt(s, i);
            if (length == 0) {
                out += "\\ufffd";  // JSON text must be UTF-8; the exact bytes travel in a "bytes" member
                ++i;
            } else {
                out.append(s, i, length);
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[16];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
        ++i;
    }
    out += '"';
}

void AppendJsonValue(std::string& out, const Value& value) {
    if (const auto* s = std::get_if<std::string>(&value)) {
        AppendJsonString(out, *s);
    } else if (const auto* n = std::get_if<long long>(&value)) {
        out += std::to_string(*n);
    } else if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) {
            out += "null";
        } else {
            char number[32];
            std::snprintf(number, sizeof number, "%.6g", *d);
            out += number;
        }
    } else if (const auto* b = std::get_if<bool>(&value)) {
        out += *b ? "true" : "false";
    } else if (const auto* list = std::get_if<std::vector<int>>(&value)) {
        out += '[';
        for (std::size_t i = 0; i < list->size(); ++i) out += (i ? "," : "") + std::to_string((*list)[i]);
        out += ']';
    } else {
        out += "null";
    }
}

struct Split {
    std::tm calendar;
    int millis;
};

Split SplitTime(std::chrono::system_clock::time_point time, bool utc) {
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    Split split{};
    if (utc)
        gmtime_r(&t, &split.calendar);
    else
        localtime_r(&t, &split.calendar);
    split.millis = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds).count());
    return split;
}

}  // namespace

std::string HexByte(std::uint8_t byte) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = c >= 0x80 ? Utf8SequenceAt(bytes, i) : (c >= 0x20 && c != 0x7F ? 1 : 0);
        if (length > 0) {
            out.append(bytes, i, length);
            i += length;
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            ++i;
        }
    }
    return out;
}

Record UsageErrorRecord(const std::string& reason, const std::string& usage) {
    return {std::chrono::system_clock::now(), "error", "usage", {}, reason, {{"usage", usage}}};
}

std::string FormatText(const Record& record) {
    const Split t = SplitTime(record.time, false);
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", t.calendar.tm_hour, t.calendar.tm_min, t.calendar.tm_sec,
                  t.millis);
    std::string source = record.source + " ";
    source.resize(std::max<std::size_t>(source.size(), 10), ' ');
    return std::string(stamp) + "  " + source + record.text;
}

std::string FormatJson(const Record& record) {
    const Split t = SplitTime(record.time, true);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.calendar.tm_year + 1900,
                  t.calendar.tm_mon + 1, t.calendar.tm_mday, t.calendar.tm_hour, t.calendar.tm_min, t.calendar.tm_sec,
                  t.millis);
    std::string out =
        "{\"schema\":" + std::to_string(kJsonSchema) + ",\"time\":\"" + std::string(stamp) + "\",\"source\":";
    AppendJsonString(out, record.source);
    out += ",\"event\":";
    AppendJsonString(out, record.event);
    out += ",\"message\":";
    AppendJsonString(out, record.text);
    for (const auto& field : record.fields) {
        out += ',';
        AppendJsonString(out, field.name);
        out += ':';
        AppendJsonValue(out, field.value);
    }
    return out + "}";
}

}  // namespace trelvane::tools
