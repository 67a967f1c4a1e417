// The registry store's text parser. Any text is either refused with a reason
// or read into a tree that, written out, reads back to the same tree, and
// whose written text is stable.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/registry/reg_format.h"

namespace trelvane {
namespace {

using platform::registry::Key;
using platform::registry::Value;

constexpr std::string_view kRoot = "HKEY_CURRENT_USER\\Software\\Classes";

bool SameValue(const Value& a, const Value& b) { return a.name == b.name && a.type == b.type && a.data == b.data; }

bool SameTree(const Key& a, const Key& b) {
    if (a.name != b.name || a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
    for (auto i = a.values.begin(), j = b.values.begin(); i != a.values.end(); ++i, ++j)
        if (i->first != j->first || !SameValue(i->second, j->second)) return false;
    for (auto i = a.subkeys.begin(), j = b.subkeys.begin(); i != a.subkeys.end(); ++i, ++j)
        if (i->first != j->first || !SameTree(*i->second, *j->second)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Key root;
    std::string error;
    if (!platform::registry::ParseStore(text, kRoot, &root, &error)) {
        fuzz::Check(!error.empty(), "a refused store without a reason");
        return 0;
    }
    const std::string written = platform::registry::FormatStore(root, kRoot);
    Key again;
    fuzz::Check(platform::registry::ParseStore(written, kRoot, &again, &error),
                "the written store does not read back: " + error + "\n" + written);
    fuzz::Check(SameTree(root, again), "the written store reads back to another tree:\n" + written);
    fuzz::Check(platform::registry::FormatStore(again, kRoot) == written, "writing the store again changes it");
    return 0;
}

}  // namespace trelvane
