#include "platform/base/command_line.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/base/log.h"
#include "platform/base/utf8.h"

namespace platform {
namespace {

// The arguments the process was started with, from the kernel's copy (the
// program path first, each argument ended by a zero byte).
std::vector<std::string> ProcessArguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    if (!file.is_open()) {
        log::Error(log::Channel::general, "cannot read the process's command line");
        return {};
    }
    const std::string all{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<std::string> arguments;
    std::size_t start = 0;
    for (std::size_t end = all.find('\0'); end != std::string::npos; end = all.find('\0', start)) {
        arguments.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

}  // namespace

std::u16string JoinCommandLine(std::span<const std::string> arguments) {
    std::u16string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i > 0) line += u' ';
        const bool quoted = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        if (quoted) line += u'"';
        line += FromUtf8(argument);
        if (quoted) line += u'"';
    }
    return line;
}

}  // namespace platform

LPWSTR GetCommandLineW() {
    static std::u16string line = platform::JoinCommandLine(platform::ProcessArguments());
    return line.data();
}
