// CRegistryVirtualMachine: placeholders, the kinds of key, and how a run
// ends on an error.
#include "server/registry_vm.h"
#include "tests/platform/registry/registry_fixture.h"

namespace trelvane {
namespace {

using server::CRegistryVirtualMachine;
using server::kNone;
using server::NodeKind;
using server::RegNode;
using server::RegString;
using server::RegTree;

class RegistryVirtualMachine : public trelvane::testing::RegistryTest {};

TEST_F(RegistryVirtualMachine, PlaceholdersAreFoundInAnyCaseAndTheFirstOfANameWins) {
    const std::u16string longest(31, u'L'), tooLong(32, u'L');
    const std::u16string cases[][2] = {
        {u"%name%", u"first"},
        {u"%NaMe%-%NAME%", u"first-first"},
        {u"100%%", u"100%"},
        {u"%%name%%", u"%name%"},
        {u"%" + longest + u"%", u"31"},
        {u"", u""},
        {u"%unterminated", u"<error 2>"},
        {u"%" + tooLong + u"%", u"<error 2>"},
        {u"%Missing%", u"<error 2>"},
    };
    for (const auto& [text, expected] : cases) {
        CRegistryVirtualMachine machine;
        ASSERT_EQ(machine.AddPlaceholder(u"Name", u"first"), S_OK);
        ASSERT_EQ(machine.AddPlaceholder(u"NAME", u"second"), S_OK);
        ASSERT_EQ(machine.AddPlaceholder(longest.c_str(), u"31"), S_OK);
        ASSERT_EQ(machine.AddPlaceholder(tooLong.c_str(), u"32"), S_OK);
        const RegString strings[] = {{u"Key", false}, {text.c_str(), true}, {u"%name%", false}};
        const RegNode nodes[] = {{NodeKind::Replaced, 0, 1, {}}};
        const HRESULT hr = machine.Run(RegTree{HKEY_CLASSES_ROOT, strings, nodes}, true);
        EXPECT_EQ(hr, expected == u"<error 2>" ? E_FAIL : S_OK) << platform::ToUtf8(text);
        EXPECT_EQ(Read(u"Key"), expected) << platform::ToUtf8(text);
        // A string not marked for expansion is taken as it is.
        const RegNode literal[] = {{NodeKind::Plain, 0, 2, {}}};
        ASSERT_EQ(machine.Run(RegTree{HKEY_CLASSES_ROOT, strings, literal}, true), S_OK);
        EXPECT_EQ(Read(u"Key"), u"%name%");
        RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Key");
    }
}

TEST_F(RegistryVirtualMachine, EachKindOfKeyIsWrittenAndRemovedAsItsKindSays) {
    Write(u"Kept\\Plain\\Foreign", nullptr, u"f");
    Write(u"Kept\\Replaced\\Old", nullptr, u"o");
    const RegString strings[] = {{u"Kept", false}, {u"Plain", false},    {u"p", false}, {u"n", false},
                                 {u"v", false},    {u"Replaced", false}, {u"r", false}, {u"kv", false}};
    const RegNode plainValues[] = {{NodeKind::Value, 3, 4, {}}};
    const RegNode keptChildren[] = {
        {NodeKind::Plain, 1, 2, plainValues}, {NodeKind::Replaced, 5, 6, {}}, {NodeKind::Value, 7, 2, {}}};
    const RegNode nodes[] = {{NodeKind::Kept, 0, kNone, keptChildren}};
    const RegTree tree{HKEY_CLASSES_ROOT, strings, nodes};
    CRegistryVirtualMachine machine;
    ASSERT_EQ(machine.Run(tree, true), S_OK);
    EXPECT_EQ(Read(u"Kept\\Plain"), u"p");
    EXPECT_EQ(Read(u"Kept\\Plain", u"n"), u"v");
    EXPECT_EQ(Read(u"Kept\\Plain\\Foreign"), u"f");  // opened, not replaced
    EXPECT_EQ(Read(u"Kept\\Replaced"), u"r");
    EXPECT_EQ(Read(u"Kept\\Replaced\\Old"), u"<error 2>");
    EXPECT_EQ(Read(u"Kept", u"kv"), u"p");

    ASSERT_EQ(machine.Run(tree, false), S_OK);
    EXPECT_EQ(Read(u"Kept", u"kv"), u"p");  // kept, values untouched
    EXPECT_FALSE(Exists(u"Kept\\Plain"));
    EXPECT_FALSE(Exists(u"Kept\\Replaced"));
    EXPECT_EQ(machine.Run(tree, false), S_OK);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Kept"), ERROR_SUCCESS);
    EXPECT_EQ(machine.Run(tree, false), S_OK);
    EXPECT_FALSE(Exists(u"Kept"));
}

TEST_F(RegistryVirtualMachine, ARegistryErrorEndsTheRunAndWhatWasWrittenStays) {
    const RegString strings[] = {{u"First", false}, {u"bad\tname", false}, {u"Third", false}, {u"1", false}};
    const RegNode nodes[] = {{NodeKind::Plain, 0, 3, {}}, {NodeKind::Plain, 1, 3, {}}, {NodeKind::Plain, 2, 3, {}}};
    CRegistryVirtualMachine machine;
    EXPECT_EQ(machine.Run(RegTree{HKEY_CLASSES_ROOT, strings, nodes}, true), E_INVALIDARG);  // 87 as HRESULT
    EXPECT_EQ(Read(u"First"), u"1");
    EXPECT_EQ(Read(u"Third"), u"<error 2>");
}

TEST(RegistryVirtualMachineObject, AnswersForItsInterfacesCountsNothingAndChecksItsArguments) {
    CRegistryVirtualMachine machine;
    IRegistrarBase* registrar = &machine;
    void* p = nullptr;
    EXPECT_EQ(registrar->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, registrar);
    EXPECT_EQ(registrar->QueryInterface(IID_IRegistrarBase, &p), S_OK);
    EXPECT_EQ(registrar->QueryInterface(IID_IRegistrar, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(registrar->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(registrar->AddRef(), 1u);
    EXPECT_EQ(registrar->Release(), 1u);  // the count itself is under test: an object on the stack counts nothing
    EXPECT_EQ(machine.AddPlaceholder(nullptr, u"x"), E_INVALIDARG);
    EXPECT_EQ(machine.AddPlaceholder(u"x", nullptr), E_INVALIDARG);
    EXPECT_EQ(registrar->AddReplacement(u"x", u"y"), S_OK);
    EXPECT_EQ(registrar->ClearReplacements(), S_OK);
    const RegString strings[] = {{u"%x%", true}};
    const RegNode nodes[] = {{NodeKind::Plain, 0, kNone, {}}};
    EXPECT_EQ(machine.Run(RegTree{HKEY_CLASSES_ROOT, strings, nodes}, false), E_FAIL);  // cleared
}

}  // namespace
}  // namespace trelvane
