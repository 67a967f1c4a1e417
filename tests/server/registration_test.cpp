// The server's registration: the entries it writes and removes, and how it
// fails; in this process, and as the program's switches.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "contract/contract.h"
#include "platform/base/log.h"
#include "server/class_table.h"
#include "server/registration.h"
#include "tests/platform/registry/registry_fixture.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/server_process.h"

#ifndef TRELVANE_SERVER
#error "TRELVANE_SERVER must name the server program"
#endif

namespace trelvane {
namespace {

using namespace std::string_literals;
using trelvane::testing::ReadFile;

// The server module's part in registration, with the server's class table;
// it can leave out "APPID" or fail on its nth call.
class TestModule : public server::IRegistrationModule {
public:
    HRESULT AddCommonRGSReplacements(IRegistrarBase* registrar) override {
        if (++calls == failOnCall) return E_ACCESSDENIED;
        return addAppId ? server::AddAppIdPlaceholder(registrar) : S_OK;
    }
    std::span<const ClassTableEntry> RegisteredClasses() override { return server::ClassTable(); }
    int calls = 0;
    int failOnCall = 0;
    bool addAppId = true;
};

class Registration : public trelvane::testing::RegistryTest {
protected:
    Registration() { server::SetRegistrationModule(&module); }
    ~Registration() override { server::SetRegistrationModule(nullptr); }

    static std::string OwnPath() {
        WCHAR path[MAX_PATH];
        EXPECT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
        return platform::ToUtf8(path);
    }

    TestModule module;
};

constexpr const char* kClsid = "{979033AA-C8F3-4158-A797-255164FEA439}";
constexpr const char* kLibId = "{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}";

// The whole store after registration, in its stored order, for a server
// at path.
std::string ExpectedStore(const std::string& path) {
    std::string text = R"(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Classes]

[HKEY_CURRENT_USER\Software\Classes\AppID]

[HKEY_CURRENT_USER\Software\Classes\AppID\Trelvane.EXE]
"AppID"="{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"

[HKEY_CURRENT_USER\Software\Classes\AppID\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}]
@="Trelvane"

[HKEY_CURRENT_USER\Software\Classes\CLSID]

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}]
@="CTarvik Object"
"AppID"="{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}\LocalServer32]
@="\"$PATH\""
"ThreadingModel"="apartment"

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}\ProgID]
@="Trelvane.Tarvik.1"

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}\Programmable]

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}\TypeLib]
@="{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}"

[HKEY_CURRENT_USER\Software\Classes\CLSID\{979033AA-C8F3-4158-A797-255164FEA439}\VersionIndependentProgID]
@="Trelvane.Tarvik"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik]
@="CTarvik Object"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik\CLSID]
@="{979033AA-C8F3-4158-A797-255164FEA439}"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik\CurVer]
@="Trelvane.Tarvik.1"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik.1]
@="CTarvik Object"

[HKEY_CURRENT_USER\Software\Classes\Trelvane.Tarvik.1\CLSID]
@="{979033AA-C8F3-4158-A797-255164FEA439}"

[HKEY_CURRENT_USER\Software\Classes\TypeLib]

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}]

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\1.0]
@="Trelvane 1.0 Type Library"

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\1.0\0]

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\1.0\0\win64]
@="$PATH"

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\1.0\FLAGS]
@="0"

[HKEY_CURRENT_USER\Software\Classes\TypeLib\{8C1371A5-F4AC-45C5-9AB2-80BD0516F66B}\1.0\HELPDIR]
@="$FOLDER"

)";
    for (const auto& [token, value] :
         {std::pair<std::string, std::string>{"$PATH", path}, {"$FOLDER", path.substr(0, path.rfind('/'))}})
        for (std::size_t at; (at = text.find(token)) != std::string::npos;) text.replace(at, token.size(), value);
    return text;
}

TEST_F(Registration, RegisteringTwiceLeavesTheSameEntriesAsOnce) {
    ASSERT_EQ(server::RegisterServerEntries(), S_OK);
    const std::string once = ReadFile(UserFile());
    EXPECT_EQ(once, ExpectedStore(OwnPath()));
    ASSERT_EQ(server::RegisterServerEntries(), S_OK);
    EXPECT_EQ(ReadFile(UserFile()), once);
    // Clients find the class by either ProgID, and the class information
    // finds the type library through its registration.
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Trelvane.Tarvik.1", &clsid), S_OK);
    EXPECT_EQ(clsid, contract::CLSID_CTarvik);
    EXPECT_EQ(CLSIDFromString(u"trelvane.tarvik", &clsid), S_OK);
    EXPECT_EQ(clsid, contract::CLSID_CTarvik);
    platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, LOCALE_NEUTRAL, library.Out()), S_OK);
}

TEST_F(Registration, RemovalTakesAlongWhatOthersAddedBelowAndKeepsClsidAndAppId) {
    EXPECT_EQ(server::UnregisterServerEntries(), S_OK);  // nothing registered
    EXPECT_FALSE(std::filesystem::exists(UserFile()));
    ASSERT_EQ(server::RegisterServerEntries(), S_OK);
    const std::u16string classKey = u"CLSID\\" + platform::FromUtf8(kClsid);
    for (const std::u16string& foreign :
         {u"Trelvane.Tarvik\\Foreign\\Deep"s, u"Trelvane.Tarvik.1\\Other"s, classKey + u"\\Extra\\More",
          u"CLSID\\{00000000-0000-0000-0000-000000000001}"s, u"AppID\\Other.EXE"s})
        Write(foreign.c_str(), u"by", u"someone else");
    EXPECT_EQ(server::UnregisterServerEntries(), S_OK);
    for (const std::u16string& gone :
         {u"Trelvane.Tarvik"s, u"Trelvane.Tarvik.1"s, classKey, u"AppID\\" + platform::FromUtf8(kLibId),
          u"AppID\\Trelvane.EXE"s, u"TypeLib\\" + platform::FromUtf8(kLibId)})
        EXPECT_FALSE(Exists(gone.c_str())) << platform::ToUtf8(gone);
    for (const char16_t* kept :
         {u"CLSID", u"AppID", u"TypeLib", u"CLSID\\{00000000-0000-0000-0000-000000000001}", u"AppID\\Other.EXE"})
        EXPECT_TRUE(Exists(kept)) << platform::ToUtf8(kept);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Trelvane.Tarvik", &clsid), CO_E_CLASSSTRING);
    ITypeLib* library = nullptr;
    EXPECT_EQ(LoadRegTypeLib(contract::LIBID_Trelvane, 1, 0, LOCALE_NEUTRAL, &library), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(server::UnregisterServerEntries(), S_OK);  // twice
}

TEST_F(Registration, AFailureStopsAtOnceAndLeavesWhatWasWritten) {
    // Without the module's "APPID" the class key's AppID value cannot be
    // expanded: the AppID entries and the class entries before it stay.
    module.addAppId = false;
    EXPECT_EQ(server::RegisterServerEntries(), E_FAIL);
    const std::u16string classKey = u"CLSID\\" + platform::FromUtf8(kClsid);
    for (const std::u16string& written : {u"AppID\\Trelvane.EXE"s, u"Trelvane.Tarvik.1"s, u"Trelvane.Tarvik\\CurVer"s,
                                          classKey + u"\\LocalServer32", classKey + u"\\Programmable"})
        EXPECT_TRUE(Exists(written.c_str())) << platform::ToUtf8(written);
    EXPECT_EQ(Read(classKey.c_str(), u"AppID"), u"<error 2>");
    EXPECT_FALSE(Exists((classKey + u"\\TypeLib").c_str()));
    EXPECT_FALSE(Exists(u"TypeLib"));
    // A failure in the AppID entries registers nothing else.
    trelvane::testing::TempHome fresh;
    module = TestModule{};
    module.failOnCall = 1;
    EXPECT_EQ(server::RegisterServerEntries(), E_ACCESSDENIED);
    EXPECT_FALSE(std::filesystem::exists(fresh.Path() + "/registry/classes.reg"));
    // A failure in removing the class entries keeps the AppID entries.
    module = TestModule{};
    ASSERT_EQ(server::RegisterServerEntries(), S_OK);
    module.failOnCall = module.calls + 1;
    EXPECT_EQ(server::UnregisterServerEntries(), E_ACCESSDENIED);
    EXPECT_TRUE(Exists(u"AppID\\Trelvane.EXE"));
    EXPECT_TRUE(Exists(u"TypeLib"));
}

// Each change rewrites the store, which only grows, so a store that may grow
// only to a given size keeps the changes that fit: a limit one byte below a
// state's size leaves the state before it. Stepping so back from the
// complete store shows every state, one child each, and so the order of the
// writes. The store is kept in memory (tmpfs), where its flushes cost
// nothing.
TEST_F(Registration, TheEntriesAreWrittenInTheirOrder) {
    char folder[] = "/dev/shm/trelvane-order-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const trelvane::testing::ScopedEnvironment memoryHome("TRELVANE_HOME", folder);
    const std::string store = std::string(folder) + "/registry/classes.reg";
    const auto storeWithin = [&](std::size_t limit) {
        const platform::log::Capture quiet;  // the child's refusals: it logs into its copy
        const int status = trelvane::testing::RunInChild([&] {
            if (!trelvane::testing::LimitFileSize(limit)) return 2;
            return SUCCEEDED(server::RegisterServerEntries()) ? 0 : 1;
        });
        EXPECT_NE(status, 2);
        std::string text = std::filesystem::exists(store) ? ReadFile(store) : "";
        std::filesystem::remove(store);
        return text;
    };
    std::vector<std::string> states = {storeWithin(1 << 20)};  // from the complete store back to none
    while (!states.back().empty()) {
        std::string before = storeWithin(states.back().size() - 1);
        if (before.size() >= states.back().size()) break;  // a limit that let more through: fails below
        states.push_back(std::move(before));
    }
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(states.back().empty()) << "a limit below the store's size did not hold it back";
    std::vector<std::string> added;  // the lines each change added, in order
    for (std::size_t i = states.size() - 1; i > 0; --i) {
        std::istringstream lines(states[i - 1]);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && states[i].find(line + "\n") == std::string::npos) added.push_back(line);
    }
    const std::string root = "[HKEY_CURRENT_USER\\Software\\Classes\\";
    const std::string classKey = root + "CLSID\\" + kClsid;
    const std::vector<std::string> expected = {root + "AppID]",
                                               root + "AppID\\" + kLibId + "]",
                                               "@=\"Trelvane\"",
                                               root + "AppID\\Trelvane.EXE]",
                                               "\"AppID\"=\"" + std::string(kLibId) + "\"",
                                               root + "Trelvane.Tarvik.1]",
                                               "@=\"CTarvik Object\"",
                                               root + "Trelvane.Tarvik.1\\CLSID]",
                                               "@=\"" + std::string(kClsid) + "\"",
                                               root + "Trelvane.Tarvik]",
                                               root + "Trelvane.Tarvik\\CLSID]",
                                               root + "Trelvane.Tarvik\\CurVer]",
                                               "@=\"Trelvane.Tarvik.1\"",
                                               root + "CLSID]",
                                               classKey + "]",
                                               classKey + "\\ProgID]",
                                               classKey + "\\VersionIndependentProgID]",
                                               "@=\"Trelvane.Tarvik\"",
                                               classKey + "\\Programmable]",
                                               classKey + "\\LocalServer32]",
                                               "\"ThreadingModel\"=\"apartment\"",
                                               classKey + "\\TypeLib]",
                                               "@=\"" + std::string(kLibId) + "\"",
                                               root + "TypeLib]"};
    // A line already in the store (a value that another key holds too) adds
    // nothing, so the lines seen must follow the expected ones in order.
    std::size_t at = 0;
    for (const std::string& line : expected) {
        while (at < added.size() && added[at] != line) ++at;
        EXPECT_LT(at, added.size()) << "not in order: " << line;
        if (at == added.size()) break;
    }
}

TEST_F(Registration, WithoutAServerModuleNothingIsWritten) {
    server::SetRegistrationModule(nullptr);
    const platform::log::Capture logged;
    EXPECT_EQ(server::RegisterServerEntries(), E_UNEXPECTED);
    EXPECT_NE(logged.Text().find("without a server module"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(UserFile()));
}

TEST_F(Registration, AMachineWideRegistrationServesEveryUserAndOnlyItsOwnerRemovesIt) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        ASSERT_EQ(server::RegisterServerEntries(), S_OK);
    }
    EXPECT_FALSE(std::filesystem::exists(UserFile()));
    trelvane::testing::OpenToEveryone(home.Path());
    const std::string ownHome = home.Path() + "/nobody";
    trelvane::testing::MakeFolder(ownHome);
    trelvane::testing::GiveToNobody(ownHome);
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        trelvane::testing::ScopedEnvironment userHome("TRELVANE_HOME", ownHome.c_str());
        CLSID clsid{};
        if (CLSIDFromProgID(u"Trelvane.Tarvik", &clsid) != S_OK || clsid != contract::CLSID_CTarvik)
            return "the class is not found";
        if (server::UnregisterServerEntries() != S_OK) return "the user's own removal failed";
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        if (server::UnregisterServerEntries() != E_ACCESSDENIED) return "the machine's entries were not refused";
        return "";
    });
    EXPECT_EQ(failure, "");
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(u"Trelvane.Tarvik.1", &clsid), S_OK);
}

TEST_F(Registration, AFullDiskOrAReadOnlyStoreFailsClearlyAndLeavesTheStoreAsItWas) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    HKEY kept = Create(HKEY_CLASSES_ROOT, u"Kept");
    ASSERT_EQ(SetString(kept, nullptr, u"before"), ERROR_SUCCESS);
    RegCloseKey(kept);
    const std::string before = ReadFile(UserFile());
    // A full disk: the store cannot grow by a byte. The line is the child's, so
    // its standard error is read.
    ::testing::internal::CaptureStderr();
    const int full = trelvane::testing::RunInChild([&] {
        if (!trelvane::testing::LimitFileSize(before.size())) return 2;
        return server::RegisterServerEntries() == HRESULT_FROM_WIN32(ERROR_CANTWRITE) ? 0 : 1;
    });
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(UserFile() + ": cannot be replaced: File too large"),
              std::string::npos);
    EXPECT_EQ(full, 0);
    EXPECT_EQ(ReadFile(UserFile()), before);
    EXPECT_FALSE(std::filesystem::exists(UserFile() + ".new"));
    // A store its user may only read.
    const std::string ownHome = home.Path() + "/nobody";
    trelvane::testing::MakeFolder(ownHome + "/registry");
    trelvane::testing::WriteFile(ownHome + "/registry/classes.reg", before);
    trelvane::testing::OpenToEveryone(home.Path());
    ASSERT_TRUE(trelvane::testing::GiveToNobody(ownHome));
    trelvane::testing::SetMode(ownHome + "/registry", 0555);
    trelvane::testing::SetMode(ownHome + "/registry/classes.reg", 0444);
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        trelvane::testing::ScopedEnvironment userHome("TRELVANE_HOME", ownHome.c_str());
        const HRESULT hr = server::RegisterServerEntries();
        return hr == E_ACCESSDENIED ? "" : "registration gave " + std::to_string(hr);
    });
    EXPECT_EQ(failure, "");
    EXPECT_EQ(ReadFile(ownHome + "/registry/classes.reg"), before);
}

// The server program copied to a path of the given length (56 characters at
// least) below home, with a space in a folder's name.
std::string CopyServerTo(const std::string& home, std::size_t length) {
    std::string folder = home + "/with space";
    while (length > folder.size() + 200) folder += "/" + std::string(99, 'd');
    std::filesystem::create_directories(folder);
    std::string path = folder + "/trelvane";
    path += std::string(length - path.size(), 'x');
    std::filesystem::copy_file(TRELVANE_SERVER, path);
    return path;
}

struct SwitchRun {
    int status;
    std::string output;
    std::string errors;
};

// The program run with one switch, to its end.
SwitchRun RunSwitch(const std::string& program, const char* option) {
    trelvane::testing::ServerProcess server(program, {option});
    EXPECT_TRUE(server.Start());
    const int status = server.Wait(std::chrono::seconds(60));
    return {status, server.Output(), server.Errors()};
}

TEST_F(Registration, TheProgramsSwitchesWriteItsQuotedPathAndRemoveTheEntries) {
    const std::string program = CopyServerTo(home.Path(), 80);
    const SwitchRun registered = RunSwitch(program, "-RegServer");
    EXPECT_EQ(registered.status, 0) << registered.errors;
    EXPECT_EQ(registered.output + registered.errors, "");
    EXPECT_EQ(ReadFile(UserFile()), ExpectedStore(program));
    EXPECT_FALSE(std::filesystem::exists(home.Path() + "/run/" + kClsid));  // it did not serve

    const SwitchRun removed = RunSwitch(program, "/UNREGSERVER");
    EXPECT_EQ(removed.status, 0) << removed.errors;
    EXPECT_EQ(removed.output + removed.errors, "");
    for (const std::u16string& gone :
         {u"Trelvane.Tarvik"s, u"Trelvane.Tarvik.1"s, u"CLSID\\"s + platform::FromUtf8(kClsid), u"AppID\\Trelvane.EXE"s,
          u"TypeLib\\"s + platform::FromUtf8(kLibId)})
        EXPECT_FALSE(Exists(gone.c_str())) << platform::ToUtf8(gone);
}

TEST_F(Registration, APathThatFillsTheBufferFailsWithStatusOneAndTheText) {
    const struct {
        std::size_t length;
        int status;
    } cases[] = {{259, 0}, {260, 1}, {300, 1}};
    const std::u16string server = u"CLSID\\" + platform::FromUtf8(kClsid) + u"\\LocalServer32";
    for (const auto& c : cases) {
        trelvane::testing::TempHome fresh;
        const std::string program = CopyServerTo(fresh.Path(), c.length);
        const SwitchRun run = RunSwitch(program, "/regserver");
        EXPECT_EQ(run.status, c.status) << c.length;
        EXPECT_EQ(run.output, "");
        if (c.status == 0) {
            EXPECT_EQ(Read(server.c_str()), platform::FromUtf8("\"" + program + "\""));
        } else {
            EXPECT_NE(run.errors.find("0x8007007A The data area passed to a system call is too small."),
                      std::string::npos)
                << run.errors;
            EXPECT_FALSE(Exists((u"CLSID\\" + platform::FromUtf8(kClsid)).c_str())) << c.length;
        }
    }
}

TEST_F(Registration, APathWithAQuotationMarkIsRefusedAndNothingIsWritten) {
    const std::string folder = home.Path() + "/say \"hi\"";
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/trelvane";
    std::filesystem::copy_file(TRELVANE_SERVER, program);
    const SwitchRun run = RunSwitch(program, "-RegServer");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find("cannot register " + program + ": a quotation mark"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("0x8007007B The filename, directory name, or volume label syntax is incorrect."),
              std::string::npos)
        << run.errors;
    EXPECT_FALSE(std::filesystem::exists(UserFile()));
}

// Installed as root with mode 0711, the program cannot be read by the user
// who registers it, only run.
TEST_F(Registration, AnExecuteOnlyProgramRegistersAsALocalServerForAnOrdinaryUser) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    const std::string folder = home.Path() + "/bin";
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/trelvane";
    std::filesystem::copy_file(TRELVANE_SERVER, program);
    trelvane::testing::SetMode(folder, 0755);
    trelvane::testing::SetMode(program, 0711);
    const std::string ownHome = home.Path() + "/nobody";
    trelvane::testing::MakeFolder(ownHome);
    trelvane::testing::OpenToEveryone(home.Path());
    ASSERT_TRUE(trelvane::testing::GiveToNobody(ownHome));
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        trelvane::testing::ScopedEnvironment userHome("TRELVANE_HOME", ownHome.c_str());
        const SwitchRun run = RunSwitch(program, "-RegServer");
        if (run.status != 0) return "status " + std::to_string(run.status) + ": " + run.errors;
        const std::string store = ReadFile(ownHome + "/registry/classes.reg");
        if (store.find("\\LocalServer32]") == std::string::npos) return "no LocalServer32 in\n" + store;
        if (store.find("InprocServer32") != std::string::npos) return "InprocServer32 in\n" + store;
        return "";
    });
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace trelvane
