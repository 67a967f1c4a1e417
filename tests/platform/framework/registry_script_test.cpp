// Registry scripts: what the registrar reads and what it refuses, with the
// line of the refusal.
#include <gtest/gtest.h>

#include "platform/framework/registry_script.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

std::string Utf8(const platform::WString& text) { return platform::ToUtf8(text); }

// The keys of a parsed script as "name=default{...}" text.
platform::WString Describe(const std::vector<platform::ScriptKey>& keys) {
    platform::WString out;
    for (const auto& key : keys) {
        out += (key.noRemove ? TEXT("!") : TEXT("")) + key.name;
        if (key.hasDefault) out += TEXT("=") + key.defaultValue;
        for (const auto& value : key.values) out += TEXT(" ") + value.name + TEXT(":") + value.data;
        if (!key.subkeys.empty()) out += TEXT("{") + Describe(key.subkeys) + TEXT("}");
        out += TEXT(";");
    }
    return out;
}

TEST(RegistryScript, ReadsTheSubsetAndRefusesEverythingElseWithItsLine) {
    platform::PlaceholderTable placeholders;
    ASSERT_EQ(placeholders.Add(TEXT("APPID"), TEXT("{A}")), S_OK);
    const struct {
        platform::WString script;
        const char* expected;  // the keys (for the first five), or the refusal
    } cases[] = {
        {TEXT(""), ""},
        {TEXT("HKCR { }"), ""},
        {TEXT("hkey_classes_root {\r\n\tnoremove AppID\r\n\t{\r\n\t\t'%APPID%' = s 'Trelvane'\r\n\t}\r\n}"),
         "!AppID{{A}=Trelvane;};"},
        {TEXT("HKCR { A.EXE { val AppID = s '%APPID%' val 'x y' = s 'it''s 100%%' } }"),
         "A.EXE AppID:{A} x y:it's 100%;"},
        {TEXT("HKCR { K = s '' { Sub } } HKCR { L }"), "K={Sub;};L;"},
        {TEXT("HKLM { K }"), "line 1: the root 'HKLM' is not supported (only HKCR)"},
        {TEXT("{ K }"), "line 1: a root key (HKCR) expected"},
        {TEXT("HKCR K"), "line 1: '{' expected after the root"},
        {TEXT("HKCR {\n  ForceRemove K\n}"), "line 2: 'ForceRemove' is not supported"},
        {TEXT("HKCR {\n Delete K }"), "line 2: 'Delete' is not supported"},
        {TEXT("HKCR { K = d '1' }"), "line 1: the value type 'd' is not supported (only s)"},
        {TEXT("HKCR { K = s Trelvane }"), "a quoted text expected after 's'"},
        {TEXT("HKCR { val V = s 'x' }"), "a named value must lie inside a key"},
        {TEXT("HKCR { K { val = s 'x' } }"), "a value name expected after 'val'"},
        {TEXT("HKCR { K { val V s 'x' } }"), "'=' expected after the value name"},
        {TEXT("HKCR {\n\n K = s 'open\n' }"), "line 3: a quoted text must end on its line"},
        {TEXT("HKCR { K = s 'open"), "a quoted text has no closing quotation mark"},
        {TEXT("HKCR { K {"), "a '}' is missing"},
        {TEXT("HKCR { = }"), "a key name expected"},
        {TEXT("HKCR { 'a\\b' }"), "must not be empty nor hold a backslash"},
        {TEXT("HKCR { '' }"), "must not be empty nor hold a backslash"},
        {TEXT("HKCR { '%MISSING%' }"), "no placeholder 'MISSING'"},
        {TEXT("HKCR { K = s '100%' }"), "a '%' without its closing '%'"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::vector<platform::ScriptKey> keys;
        std::string error;
        const bool ok = platform::ParseRegistryScript(cases[i].script, placeholders, &keys, &error);
        EXPECT_EQ(ok, i < 5) << Utf8(cases[i].script) << "\n" << error;
        if (ok)
            EXPECT_EQ(Utf8(Describe(keys)), cases[i].expected) << Utf8(cases[i].script);
        else
            EXPECT_NE(error.find(cases[i].expected), std::string::npos) << Utf8(cases[i].script) << "\n" << error;
    }
}

}  // namespace
}  // namespace trelvane
