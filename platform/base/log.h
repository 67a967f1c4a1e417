// One log for the whole program, in channels: every line is
// "trelvane: <channel>: <text>" on standard error (lines of the general
// channel carry no channel name). Errors and warnings are always written; a
// channel's tracing is turned on by TRELVANE_DEBUG, a list of channel names
// separated by commas ("all" for every one), read at the first use.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <string_view>

// Formats are checked as printf's. For Windows, GCC takes "printf" for the
// system C library's, which lacks %zu; C++ programs built with MinGW format
// with its standard one (__USE_MINGW_ANSI_STDIO), checked as GNU's.
#ifdef _WIN32
#define TRELVANE_LOG_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define TRELVANE_LOG_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace platform::log {

enum class Channel : unsigned { general, comm, messages, registry, objects, remoting, dbus, driver, server, count };

enum class Level { error, warning, trace };

// The channel's name as TRELVANE_DEBUG and the lines spell it.
std::string_view Name(Channel channel);

namespace detail {
inline constexpr unsigned kUnread = ~0u;
extern std::atomic<unsigned> tracedChannels;  // a bit per channel, or kUnread
unsigned ReadTracing();
}  // namespace detail

// Whether the channel's tracing is on: a load and a test, so that a trace on
// a quick path costs nothing more while it is off.
inline bool Tracing(Channel channel) {
    unsigned bits = detail::tracedChannels.load(std::memory_order_relaxed);
    if (bits == detail::kUnread) bits = detail::ReadTracing();
    return (bits >> static_cast<unsigned>(channel)) & 1u;
}

// A line at the given level (a trace only while its channel is traced).
void WriteV(Channel channel, Level level, const char* format, std::va_list args);

void Error(Channel channel, const char* format, ...) TRELVANE_LOG_FORMAT(2, 3);
void Warning(Channel channel, const char* format, ...) TRELVANE_LOG_FORMAT(2, 3);
// Written only while the channel's tracing is on.
void Trace(Channel channel, const char* format, ...) TRELVANE_LOG_FORMAT(2, 3);

// Up to the first 32 bytes in hex, "..." after them: for traces of data.
std::string Hex(const unsigned char* data, std::size_t length);

// Sets the traced channels as a TRELVANE_DEBUG value would; an unknown name
// is reported as a warning and otherwise ignored.
void SetTracing(std::string_view list);

// While one lives, lines go to it instead of standard error: how tests read
// what was logged. One at a time.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    // What was logged since it began, each line with its line end.
    std::string Text() const;
};

}  // namespace platform::log
