// The files behind the registry: several writing processes, a writer killed
// in the middle, a store that cannot be read, file modes, and the text.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "platform/base/log.h"
#include "platform/registry/reg_format.h"
#include "platform/registry/store.h"
#include "tests/platform/registry/registry_fixture.h"
#include "tests/support/ordinary_user.h"

namespace trelvane {
namespace {

using platform::registry::CommitStep;
using trelvane::testing::ReadFile;
using trelvane::testing::RegistryTest;
using trelvane::testing::RunInChild;
using trelvane::testing::WriteFile;

class RegistryStore : public RegistryTest {};

std::u16string U(const std::string& text) { return platform::FromUtf8(text); }

// Without the test's expectations, for children: 0 or the error.
LSTATUS WriteValue(const std::u16string& path, const std::u16string& name, const std::u16string& text) {
    HKEY key = nullptr;
    LSTATUS error = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    if (key) RegCloseKey(key);
    return error;
}

TEST_F(RegistryStore, WritersInSeveralProcessesAtOnceLoseNoChange) {
    constexpr int kWriters = 4, kKeysEach = 12;
    const auto statuses = trelvane::testing::RunChildrenAtOnce(kWriters, [](int writer) {
        for (int k = 0; k < kKeysEach; ++k) {
            const std::string id = "w" + std::to_string(writer) + "k" + std::to_string(k);
            // A key of its own and a value in a key that every writer changes.
            if (WriteValue(U("Writer\\" + id), u"", U(id)) != 0 || WriteValue(u"Shared", U(id), U(id)) != 0) return 1;
        }
        return 0;
    });
    EXPECT_EQ(statuses, std::vector<int>(kWriters, 0));
    for (int writer = 0; writer < kWriters; ++writer)
        for (int k = 0; k < kKeysEach; ++k) {
            const std::string id = "w" + std::to_string(writer) + "k" + std::to_string(k);
            EXPECT_EQ(Read(U("Writer\\" + id).c_str()), U(id));
            EXPECT_EQ(Read(u"Shared", U(id).c_str()), U(id));
        }
}

TEST_F(RegistryStore, ThreadsOfOneProcessChangingAtOnceLoseNoChangeNorDescriptor) {
    Write(u"Warm", nullptr, u"up");
    const int descriptors = trelvane::testing::OpenFdCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int k = 0; k < 10; ++k) {
                const std::u16string id = U("t" + std::to_string(t) + "k" + std::to_string(k));
                EXPECT_EQ(WriteValue(u"Threads", id, id), ERROR_SUCCESS);
                HKEY key = nullptr;
                EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Threads", 0, KEY_READ, &key), ERROR_SUCCESS);
                EXPECT_EQ(GetString(key, id.c_str()), id);
                EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
            }
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t)
        for (int k = 0; k < 10; ++k) {
            const std::u16string id = U("t" + std::to_string(t) + "k" + std::to_string(k));
            EXPECT_EQ(Read(u"Threads", id.c_str()), id);
        }
    EXPECT_EQ(trelvane::testing::OpenFdCount(), descriptors);
}

CommitStep g_killAt;
void KillAtChosenStep(CommitStep step) {
    if (step == g_killAt) std::raise(SIGKILL);
}

TEST_F(RegistryStore, AWriterKilledInTheMiddleLeavesTheStoreBeforeOrAfterItsChange) {
    const struct {
        CommitStep step;
        const char16_t* expected;
    } cases[] = {{CommitStep::TextWritten, u"old"}, {CommitStep::TextFlushed, u"old"}, {CommitStep::Renamed, u"new"}};
    for (const auto& c : cases) {
        Write(u"Killed", nullptr, u"old");
        const int status = RunInChild([&] {
            g_killAt = c.step;
            platform::registry::SetCommitHookForTesting(KillAtChosenStep);
            return static_cast<int>(WriteValue(u"Killed", u"", u"new"));
        });
        EXPECT_EQ(status, 128 + SIGKILL);
        EXPECT_EQ(Read(u"Killed"), c.expected);
        // The lock died with the writer, and what it left aside is no store.
        Write(u"Killed", nullptr, u"later");
        EXPECT_EQ(Read(u"Killed"), u"later");
    }
}

TEST_F(RegistryStore, AStoreThatCannotBeReadIsReportedWithItsPathAndNeverOverwritten) {
    Write(u"Key", nullptr, u"value");
    const std::string broken = ReadFile(UserFile()) + "@=unquoted\n";
    WriteFile(UserFile(), broken);
    const platform::log::Capture logged;
    HKEY key = nullptr;
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"Key", KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(WriteValue(u"Key", u"", u"other"), ERROR_BADDB);
    const std::string log = logged.Text();
    EXPECT_NE(log.find(UserFile()), std::string::npos) << log;
    EXPECT_NE(log.find("line 8"), std::string::npos) << log;
    EXPECT_NE(log.find("The configuration registry database is corrupt."), std::string::npos) << log;
    EXPECT_EQ(ReadFile(UserFile()), broken);
    // A broken machine store spoils reading through both, not the user's own.
    WriteFile(UserFile(), "Windows Registry Editor Version 5.00\n");
    trelvane::testing::MakeFolder(home.Path() + "/machine/classes.reg");
    EXPECT_EQ(Open(HKEY_CLASSES_ROOT, u"Key", KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(WriteValue(u"Key", u"", u"other"), ERROR_SUCCESS);
    EXPECT_NE(logged.Text().find("not a regular file", log.size()), std::string::npos);
}

TEST_F(RegistryStore, AChangeThatWouldMakeTheStoreTooLargeToReadIsRefusedAndTheStoreKept) {
    Write(u"Key", nullptr, u"value");
    const std::string before = ReadFile(UserFile());
    const platform::log::Capture logged;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Key", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::vector<BYTE> large(6u << 20, 0xAB);  // written out as text, about three times as large
    EXPECT_EQ(RegSetValueExW(key, u"Large", 0, REG_BINARY, large.data(), static_cast<DWORD>(large.size())),
              ERROR_CANTWRITE);
    RegCloseKey(key);
    EXPECT_NE(logged.Text().find("larger than 16 MiB"), std::string::npos) << logged.Text();
    EXPECT_EQ(ReadFile(UserFile()), before);
    EXPECT_EQ(Read(u"Key"), u"value");
}

TEST_F(RegistryStore, OnlyTheOwnerMayTakeTheLockAndAWriterWaitsForItABoundedTime) {
    // The machine's store may be read by everyone; its lock is its owner's.
    const std::string lock = home.Path() + "/machine/classes.lock";
    trelvane::testing::MakeFolder(home.Path() + "/machine");
    trelvane::testing::WriteFile(lock, "");
    trelvane::testing::SetMode(lock, 0644);  // as an earlier release left it
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        Write(u"MachineClass", nullptr, u"m");
    }
    EXPECT_EQ(trelvane::testing::ModeOf(lock), 0600u);
    // A lock held elsewhere (opened before it was closed) holds a writer up
    // for a while, not for ever.
    const int held = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const platform::log::Capture logged;
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        EXPECT_EQ(WriteValue(u"MachineClass", u"", u"other"), ERROR_CANTWRITE);
    }
    EXPECT_NE(logged.Text().find("another process has held it"), std::string::npos) << logged.Text();
    ::close(held);
    EXPECT_EQ(Read(u"MachineClass"), u"m");
}

TEST_F(RegistryStore, AChangeThatChangesNothingLeavesTheFileAlone) {
    Write(u"Same", nullptr, u"value");
    const unsigned long before = trelvane::testing::InodeOf(UserFile());
    Write(u"SAME", nullptr, u"value");
    EXPECT_EQ(trelvane::testing::InodeOf(UserFile()), before);
    Write(u"Same", nullptr, u"changed");
    EXPECT_NE(trelvane::testing::InodeOf(UserFile()), before);
}

TEST_F(RegistryStore, AnOrdinaryUserReadsTheMachineStoreAndWritesOnlyTheirOwn) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    {
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        Write(u"MachineClass", nullptr, u"m");
    }
    trelvane::testing::OpenToEveryone(home.Path());
    const std::string ownHome = home.Path() + "/nobody";
    trelvane::testing::MakeFolder(ownHome);
    trelvane::testing::GiveToNobody(ownHome);
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        trelvane::testing::ScopedEnvironment userHome("TRELVANE_HOME", ownHome.c_str());
        if (Read(u"MachineClass") != u"m") return "the machine's class cannot be read";
        if (WriteValue(u"Mine", u"", u"u") != ERROR_SUCCESS || Read(u"Mine") != u"u") return "no class of one's own";
        trelvane::testing::ScopedEnvironment scope("TRELVANE_REGISTRY_SCOPE", "machine");
        if (WriteValue(u"MachineClass", u"", u"hijacked") != ERROR_ACCESS_DENIED) return "the machine's value changed";
        if (RegDeleteKeyW(HKEY_CLASSES_ROOT, u"MachineClass") != ERROR_ACCESS_DENIED)
            return "the machine's key deleted";
        return "";
    });
    EXPECT_EQ(failure, "");
    EXPECT_EQ(Read(u"MachineClass"), u"m");
    EXPECT_EQ(trelvane::testing::ModeOf(MachineFile()), 0644u);
    EXPECT_EQ(trelvane::testing::ModeOf(ownHome + "/registry/classes.reg"), 0600u);
    EXPECT_EQ(trelvane::testing::ModeOf(ownHome + "/registry"), 0700u);
}

TEST(RegistryText, ReadsWhatAPersonMayWriteAndRefusesTheRestWithTheLine) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string root = "[HKEY_CURRENT_USER\\Software\\Classes";
    const struct {
        std::string text;
        const char* refusal;  // null: accepted
    } cases[] = {
        {header, nullptr},
        {"\xEF\xBB\xBF" + header + "\r\n; a comment\r\n" + root + "\\A]\r\n@=\"x\"\r\n", nullptr},
        {header + "[hkey_current_user\\software\\classes\\A]\n\"n\"=dword:0000002A\n", nullptr},
        {header + root + "\\A]\n\"n\"=hex(2):41,00,\\\n  00,00\n", nullptr},
        {header + root + "\\A]\n\"n\"=hex:\n", nullptr},
        {"", "no \"Windows Registry Editor Version 5.00\" line"},
        {"REGEDIT4\n", "line 1: not a registry export"},
        {header + "[HKEY_LOCAL_MACHINE\\Software\\Classes\\A]\n", "line 2: the key lies outside"},
        {header + "[-HKEY_CURRENT_USER\\Software\\Classes\\A]\n", "the key lies outside"},
        {header + root + "\\A\n", "must end with ']'"},
        {header + root + "\\A\\\\B]\n", "a key name is empty"},
        {header + "@=\"x\"\n", "a value before the first key"},
        {header + root + "]\n@=\"x\n", "line 3: a quotation mark is missing"},
        {header + root + "]\n@=\"a\\nb\"\n", "may be escaped"},
        {header + root + "]\n@=\"x\" trailing\n", "text after the closing quotation mark"},
        {header + root + "]\n\"\"=\"x\"\n", "a value name is empty"},
        {header + root + "]\n@\"x\"\n", "'=' expected"},
        {header + root + "]\n\"n\"=-\n", "must be quoted text, dword: or hex:"},
        {header + root + "]\n\"n\"=dword:123456789\n", "up to eight hex digits"},
        {header + root + "]\n\"n\"=hex:1g\n", "two hex digits"},
        {header + root + "]\n\"n\"=hex:01,\n", "ends with a comma"},
        {header + root + "]\n\"n\"=hex(zz):01\n", "hex(type): expected"},
        {header + root + "]\n\"n\"=hex:01,\\\n", "continues past the end"},
    };
    for (const auto& c : cases) {
        platform::registry::Key keys;
        std::string error;
        const bool ok = platform::registry::ParseStore(c.text, "HKEY_CURRENT_USER\\Software\\Classes", &keys, &error);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(ok) << c.text << "\n" << error;
        } else {
            EXPECT_FALSE(ok) << c.text;
            EXPECT_NE(error.find(c.refusal), std::string::npos) << c.text << "\n" << error;
        }
    }
    platform::registry::Key keys;
    std::string error;
    ASSERT_TRUE(platform::registry::ParseStore(header + root + "\\A]\n\"n\"=hex(2):41,00,\\\n  00,00\n",
                                               "HKEY_CURRENT_USER\\Software\\Classes", &keys, &error));
    const auto* value = keys.Find(u"a")->FindValue(u"N");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, REG_EXPAND_SZ);
    EXPECT_EQ(value->data, (std::vector<BYTE>{0x41, 0, 0, 0}));
}

// Inputs that fuzz_registry_store found: malformed UTF-8 in a name once read
// as surrogates that wrote out as something else.
TEST(RegistryText, AStoreWrittenOutReadsBackToTheSameKeys) {
    const std::string rootPath = "HKEY_CURRENT_USER\\Software\\Classes";
    const std::string texts[] = {
        "Windows Registry Editor Version 5.00\n[" + rootPath + "\\Quo\"ted\xD6]\n\"z\xF6\x9A\x9E\x92\"=\"\"\n",
        "Windows Registry Editor Version 5.00\n[" + rootPath + "\\\xED\xA0\x80]\n@=\"\xF4\x90\x80\x80\"\n",
    };
    for (const auto& text : texts) {
        platform::registry::Key keys, again;
        std::string error;
        ASSERT_TRUE(platform::registry::ParseStore(text, rootPath, &keys, &error)) << error;
        const std::string written = platform::registry::FormatStore(keys, rootPath);
        ASSERT_TRUE(platform::registry::ParseStore(written, rootPath, &again, &error)) << error;
        EXPECT_EQ(platform::registry::FormatStore(again, rootPath), written);
        const auto* key = again.subkeys.begin()->second.get();
        EXPECT_EQ(key->name, keys.subkeys.begin()->second->name);
        EXPECT_EQ(key->values.begin()->second.name, keys.subkeys.begin()->second->values.begin()->second.name);
        EXPECT_EQ(key->values.begin()->second.data, keys.subkeys.begin()->second->values.begin()->second.data);
    }
}

}  // namespace
}  // namespace trelvane
