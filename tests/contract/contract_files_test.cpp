// The files and remoting shapes written from the contract's description: the
// IDL, the reference page with its D-Bus rows, and the proxies and stubs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "contract/contract.h"
#include "contract/dbus.h"
#include "contract/proxy_stub.h"

#ifndef TRELVANE_SOURCE_DIR
#error "TRELVANE_SOURCE_DIR must name the source tree"
#endif

namespace trelvane {
namespace {

TEST(ContractIdl, FileMatchesTheDescription) {
    std::ifstream file(std::string(TRELVANE_SOURCE_DIR) + "/contract/trelvane.idl", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), contract::RenderIdl())
        << "contract/trelvane.idl is out of date: regenerate it with build/tools/trelvane-idl contract/trelvane.idl";
}

TEST(ContractReference, PageMatchesTheDescriptionAndNamesEveryMember) {
    std::ifstream file(std::string(TRELVANE_SOURCE_DIR) + "/docs/reference.md", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string page = contract::RenderReference();
    EXPECT_EQ(text.str(), page) << "docs/reference.md is out of date: regenerate it with "
                                   "build/tools/trelvane-idl --reference docs/reference.md";
    // Every member and event has its paragraph, with what the description
    // does not hold: no name is left without a note.
    for (const auto* d : contract::TrelvaneLibrary().interfaces)
        for (const auto& member : d->members) {
            const std::string heading = "**" + platform::ToUtf8(member.name) + "**: ";
            const auto at = page.find(heading);
            ASSERT_NE(at, std::string::npos) << heading;
            EXPECT_NE(page.compare(at + heading.size(), 1, "\n"), 0) << heading << "has no note";
        }
    // Every event has its row on the session bus, with the thread that raises it.
    for (const auto& signal : contract::dbus::TarvikBusInterface().signals) {
        const std::string row = "| `" + signal.name + "` | `" + signal.name + "(";
        const auto at = page.find(row);
        ASSERT_NE(at, std::string::npos) << row;
        const auto thread = page.find(")` | ", at) + 5;
        EXPECT_NE(page.compare(thread, 3, " | "), 0) << signal.name << " has no thread";
    }
}

TEST(ContractMarshalling, ProxiesAndStubsSendWhatTheDescriptionDeclares) {
    for (const auto* c : {&contract::ITarvikContract(), &contract::ITarvikTestContract()}) {
        const auto& members = c->desc.members;
        const auto shapes = contract::MarshalledShapes(c->desc.iid);
        ASSERT_EQ(shapes.size(), members.size());
        for (std::size_t i = 0; i < members.size(); ++i) {
            std::vector<platform::remoting::ParamShape> declared;
            for (const auto& p : members[i].params) declared.push_back(platform::remoting::ShapeOf(p.type));
            EXPECT_TRUE(shapes[i] == declared) << platform::ToUtf8(members[i].name) << " at vtable slot " << 7 + i;
        }
        const auto* marshaller = platform::remoting::FindInterface(c->desc.iid);
        ASSERT_NE(marshaller, nullptr);
        EXPECT_EQ(marshaller->slots, 7 + members.size());
    }
    // The event interfaces cross one-way; their members take only [in] arguments.
    for (const IID& iid : {contract::DIID__ITarvikEvents, contract::DIID__ITarvikTestEvents}) {
        const auto* marshaller = platform::remoting::FindInterface(iid);
        ASSERT_NE(marshaller, nullptr);
        EXPECT_TRUE(marshaller->events);
    }
}

}  // namespace
}  // namespace trelvane
