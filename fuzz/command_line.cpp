// The scan of a server's command line for its switches, with the input as
// the whole line in UTF-8. At most one switch runs, and only when the line
// holds it after a "-" or "/"; a line that runs none asks the server to serve.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/base/utf8.h"
#include "platform/framework/server_command_line.h"

namespace trelvane {
namespace {

int g_registered = 0;
int g_unregistered = 0;

HRESULT Register() {
    ++g_registered;
    return S_OK;
}

HRESULT Unregister() {
    ++g_unregistered;
    return E_ACCESSDENIED;
}

// Whether the line holds the switch after a delimiter, in any case.
bool Holds(const std::u16string& line, const std::u16string& word) {
    for (std::size_t at = 1; at + word.size() <= line.size(); ++at) {
        if (line[at - 1] != u'-' && line[at - 1] != u'/') continue;
        bool same = true;
        for (std::size_t i = 0; i < word.size() && same; ++i) {
            const char16_t c = line[at + i];
            same = (c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c) == word[i];
        }
        if (same) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string line = platform::FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    g_registered = g_unregistered = 0;
    const CommandLineOutcome outcome = HandleCommandLine(line.c_str(), Register, Unregister);
    fuzz::Check(g_registered + g_unregistered == (outcome.run ? 0 : 1),
                "not exactly one switch ran, or one and served");
    if (outcome.run) fuzz::Check(outcome.result == S_OK, "a line that serves with a failure");
    if (g_registered) fuzz::Check(outcome.result == S_OK && Holds(line, u"REGSERVER"), "registered without the switch");
    if (g_unregistered)
        fuzz::Check(outcome.result == E_ACCESSDENIED && Holds(line, u"UNREGSERVER"), "unregistered without the switch");
    return 0;
}

}  // namespace trelvane
