// The registrar's script parser, with the input as UTF-8 (as scripts come
// from files and resources) and the placeholders the server registers with.
// A script is either refused with a reason that names its line, or read into
// keys that, written out as a script again, read back to the same keys.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/base/utf8.h"
#include "platform/framework/registry_script.h"

namespace trelvane {
namespace {

using platform::ScriptKey;
using platform::ScriptValue;

platform::PlaceholderTable Placeholders() {
    platform::PlaceholderTable table;
    table.Add(u"MODULE", u"\"/usr/lib/trelvane/bin/trelvane\"");
    table.Add(u"APPID", u"{979033AA-C8F3-4158-A797-255164FEA439}");
    table.Add(u"Percent", u"100%");
    return table;
}

// A name or text quoted so that it reads back as itself: quotation marks
// doubled, and percent signs too, as the reading expands placeholders.
std::u16string Quoted(const std::u16string& text) {
    std::u16string out = u"'";
    for (char16_t c : text) {
        if (c == u'\'' || c == u'%') out += c;
        out += c;
    }
    return out + u"'";
}

void Write(const ScriptKey& key, std::u16string& out) {
    if (key.noRemove) out += u"NoRemove ";
    out += Quoted(key.name);
    if (key.hasDefault) out += u" = s " + Quoted(key.defaultValue);
    out += u"\n{\n";
    for (const ScriptValue& value : key.values)
        out += u"val " + Quoted(value.name) + u" = s " + Quoted(value.data) + u"\n";
    for (const ScriptKey& subkey : key.subkeys) Write(subkey, out);
    out += u"}\n";
}

bool Same(const std::vector<ScriptKey>& a, const std::vector<ScriptKey>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const ScriptKey &x = a[i], &y = b[i];
        if (x.name != y.name || x.noRemove != y.noRemove || x.hasDefault != y.hasDefault ||
            x.defaultValue != y.defaultValue || x.values.size() != y.values.size() || !Same(x.subkeys, y.subkeys))
            return false;
        for (std::size_t k = 0; k < x.values.size(); ++k)
            if (x.values[k].name != y.values[k].name || x.values[k].data != y.values[k].data) return false;
    }
    return true;
}

void CheckNames(const std::vector<ScriptKey>& keys) {
    for (const ScriptKey& key : keys) {
        fuzz::Check(!key.name.empty() && key.name.find(u'\\') == std::u16string::npos, "a key name no key can have");
        CheckNames(key.subkeys);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const platform::PlaceholderTable placeholders = Placeholders();
    const std::u16string text = platform::FromUtf8(std::string(reinterpret_cast<const char*>(data), size));
    std::vector<ScriptKey> keys;
    std::string error;
    if (!platform::ParseRegistryScript(text, placeholders, &keys, &error)) {
        fuzz::Check(error.rfind("line ", 0) == 0 && error.size() > 8, "a refusal that names no line: " + error);
        return 0;
    }
    CheckNames(keys);
    std::u16string written = u"HKCR\n{\n";
    for (const ScriptKey& key : keys) Write(key, written);
    written += u"}\n";
    std::vector<ScriptKey> again;
    fuzz::Check(platform::ParseRegistryScript(written, placeholders, &again, &error),
                "the written script does not read back: " + error + "\n" + platform::ToUtf8(written));
    fuzz::Check(Same(keys, again), "the written script reads back to other keys:\n" + platform::ToUtf8(written));
    return 0;
}

}  // namespace trelvane
