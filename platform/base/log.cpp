#include "platform/base/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#ifdef _WIN32
#include <windows.h>

#include "platform/base/log_file_windows.h"
#endif

namespace platform::log {
namespace detail {
std::atomic<unsigned> tracedChannels{kUnread};
}  // namespace detail

namespace {

constexpr std::string_view kNames[] = {"general",  "comm", "messages", "registry", "objects",
                                       "remoting", "dbus", "driver",   "server"};
static_assert(std::size(kNames) == static_cast<std::size_t>(Channel::count));

constexpr std::size_t kLineLimit = 1024;  // longer texts are cut

std::mutex captureMutex;
bool capturing = false;  // guarded by captureMutex
std::string captured;    // guarded by captureMutex

// The bits a TRELVANE_DEBUG value names; unknown names go to *unknown.
unsigned Parse(std::string_view list, std::string* unknown) {
    unsigned bits = 0;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        if (name.empty()) continue;
        if (name == "all") {
            bits = (1u << static_cast<unsigned>(Channel::count)) - 1;
            continue;
        }
        bool known = false;
        for (unsigned i = 0; i < std::size(kNames); ++i)
            if (kNames[i] == name) {
                bits |= 1u << i;
                known = true;
            }
        if (!known) *unknown += (unknown->empty() ? "" : ", ") + std::string(name);
    }
    return bits;
}

void Emit(const std::string& line) {
    {
        std::lock_guard lock(captureMutex);
        if (capturing) {
            captured += line;
            return;
        }
    }
#ifdef _WIN32
    // A server the object runtime started has no standard error: its lines
    // go to the user's log file, or to a debugger when that fails.
    static const bool toFile = !HasStandardError();
    if (toFile) {
        static std::mutex fileMutex;
        static LogFile* const file = new LogFile(UserLogPath());  // lives to the end, for lines written at exit
        std::lock_guard lock(fileMutex);
        if (!file->Write(line)) OutputDebugStringA(line.c_str());
        return;
    }
#endif
    std::fputs(line.c_str(), stderr);  // one call: lines of several threads do not mix
}

}  // namespace

std::string_view Name(Channel channel) { return kNames[static_cast<unsigned>(channel)]; }

unsigned detail::ReadTracing() {
    const char* value = std::getenv("TRELVANE_DEBUG");
    SetTracing(value ? value : "");
    return tracedChannels.load(std::memory_order_relaxed);
}

std::string Hex(const unsigned char* data, std::size_t length) {
    constexpr std::size_t kShown = 32;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < std::min(length, kShown); ++i) {
        if (i) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    if (length > kShown) text += " ...";
    return text;
}

void SetTracing(std::string_view list) {
    std::string unknown;
    detail::tracedChannels.store(Parse(list, &unknown), std::memory_order_relaxed);
    if (!unknown.empty())
        Warning(Channel::general,
                "TRELVANE_DEBUG names no channel \"%s\"; the channels are general, comm, "
                "messages, registry, objects, remoting, dbus, driver, server and all",
                unknown.c_str());
}

void WriteV(Channel channel, Level level, const char* format, std::va_list args) {
    if (level == Level::trace && !Tracing(channel)) return;
    char text[kLineLimit];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = "trelvane: ";
    if (channel != Channel::general) (line += Name(channel)) += ": ";
    if (level == Level::trace) line += "trace: ";
    (line += text) += '\n';
    Emit(line);
}

void Error(Channel channel, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    WriteV(channel, Level::error, format, args);
    va_end(args);
}

void Warning(Channel channel, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    WriteV(channel, Level::warning, format, args);
    va_end(args);
}

void Trace(Channel channel, const char* format, ...) {
    if (!Tracing(channel)) return;  // before the arguments are gathered
    std::va_list args;
    va_start(args, format);
    WriteV(channel, Level::trace, format, args);
    va_end(args);
}

Capture::Capture() {
    std::lock_guard lock(captureMutex);
    capturing = true;
    captured.clear();
}

Capture::~Capture() {
    std::lock_guard lock(captureMutex);
    capturing = false;
    captured.clear();
}

std::string Capture::Text() const {
    std::lock_guard lock(captureMutex);
    return captured;
}

}  // namespace platform::log
