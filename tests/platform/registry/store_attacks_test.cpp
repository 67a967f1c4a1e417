// Stores planted by someone else: another user's files or folders where a
// store is read, folders others may write, a home that depends on the
// working folder, and links planted where a writer makes its files. Each is
// refused with the path and what to fix, and nothing outside the store is
// written.
#include <filesystem>

#include "platform/base/log.h"
#include "platform/base/paths.h"
#include "platform/remoting/socket.h"
#include "tests/platform/registry/registry_fixture.h"
#include "tests/support/file_owner.h"
#include "tests/support/ordinary_user.h"

namespace trelvane {
namespace {

namespace fs = std::filesystem;
using trelvane::testing::FileMode;
using trelvane::testing::kStrangerUid;
using trelvane::testing::MakeFolder;
using trelvane::testing::ReadFile;
using trelvane::testing::RegistryTest;
using trelvane::testing::ScopedEnvironment;
using trelvane::testing::SetMode;
using trelvane::testing::SetOwner;
using trelvane::testing::WriteFile;

// A user's store under home that names a program for the class Planted.
void PlantStore(const std::string& home, const char* root = "HKEY_CURRENT_USER\\Software\\Classes") {
    MakeFolder(home + "/registry");
    WriteFile(home + "/registry/classes.reg", std::string("Windows Registry Editor Version 5.00\n\n[") + root +
                                                  "]\n\n[" + root + "\\Planted]\n@=\"/tmp/another-users-program\"\n");
    SetMode(home, 0700);
    SetMode(home + "/registry", 0700);
    SetMode(home + "/registry/classes.reg", 0600);
}

class StoreAttacks : public RegistryTest {
protected:
    // Every case plants files of another user, or acts as one: root's work.
    void SetUp() override { SKIP_UNLESS_ABLE_TO_BE_NOBODY(); }

    // The class's program as a fresh handle reads it, or "<error N>"; and
    // what was logged meanwhile.
    static std::u16string ReadPlanted(std::string* log) {
        const platform::log::Capture logged;
        std::u16string value = Read(u"Planted");
        *log = logged.Text();
        return value;
    }
};

constexpr const char16_t* kPlantedProgram = u"/tmp/another-users-program";
constexpr const char16_t* kRefused = u"<error 1009>";  // ERROR_BADDB

TEST_F(StoreAttacks, AUserStoreThatAnotherUserCouldHaveWrittenIsNotReadNorChanged) {
    const std::string folder = home.Path() + "/registry";
    const struct Case {
        const char* what;
        std::function<void()> plant;
        std::string logged;  // names the path and what to fix
    } cases[] = {
        {"a file of another user", [&] { SetOwner(UserFile(), kStrangerUid); }, UserFile() + " belongs to user 4242"},
        {"a folder of another user", [&] { SetOwner(folder, kStrangerUid); }, folder + " belongs to user 4242"},
        {"a file the group may write", [&] { SetMode(UserFile(), 0620); }, "chmod go-w " + UserFile()},
        {"a TRELVANE_HOME everyone may write", [&] { SetMode(home.Path(), 0777); }, "chmod go-w " + home.Path()},
        {"a folder that is another user's link",
         [&] {
             fs::rename(folder, home.Path() + "/elsewhere");
             fs::create_directory_symlink(home.Path() + "/elsewhere", folder);
             SetOwner(folder, kStrangerUid);
         },
         folder + " (a symbolic link) belongs to user 4242"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::remove_all(home.Path() + "/elsewhere");
        PlantStore(home.Path());
        std::string log;
        ASSERT_EQ(ReadPlanted(&log), kPlantedProgram) << log;  // a store of this user's is read
        c.plant();
        const std::string before = ReadFile(UserFile());
        EXPECT_EQ(ReadPlanted(&log), kRefused);
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        {
            const platform::log::Capture quiet;
            EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Planted"), ERROR_BADDB);
        }
        EXPECT_EQ(ReadFile(UserFile()), before);
    }
    // The server's own folders in such a home are refused too.
    SetMode(home.Path(), 0777);
    const platform::log::Capture logged;
    EXPECT_EQ(platform::remoting::PrepareRunFolder(), E_ACCESSDENIED);
    EXPECT_NE(logged.Text().find("chmod go-w " + home.Path()), std::string::npos);
}

TEST_F(StoreAttacks, AMachineStoreThatOthersCouldHaveWrittenIsNotRead) {
    const std::string folder = home.Path() + "/machine";
    const struct Case {
        const char* what;
        std::function<void()> plant;
        std::u16string read;
    } cases[] = {
        {"as installed", [] {}, kPlantedProgram},
        {"a file of another user", [&] { SetOwner(MachineFile(), kStrangerUid); }, kRefused},
        {"a folder everyone may write", [&] { SetMode(folder, 0777); }, kRefused},
        {"a folder that is another user's link",
         [&] {
             fs::rename(folder, home.Path() + "/elsewhere");
             fs::create_directory_symlink(home.Path() + "/elsewhere", folder);
             SetOwner(folder, kStrangerUid);
         },
         kRefused},
        {"a folder that is root's link",
         [&] {
             fs::rename(folder, home.Path() + "/elsewhere");
             fs::create_directory_symlink(home.Path() + "/elsewhere", folder);
         },
         kPlantedProgram},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::remove_all(home.Path() + "/elsewhere");
        PlantStore(home.Path() + "/machine-home", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
        fs::rename(home.Path() + "/machine-home/registry", folder);
        SetMode(folder, 0755);
        SetMode(MachineFile(), 0644);
        c.plant();
        std::string log;
        EXPECT_EQ(ReadPlanted(&log), c.read) << log;
        if (c.read == kRefused) {
            EXPECT_NE(log.find(MachineFile()), std::string::npos) << log;
        }
    }
}

TEST_F(StoreAttacks, AnOrdinaryUserReadsNoStoreThatAnotherUserCouldHaveWritten) {
    trelvane::testing::OpenToEveryone(home.Path());
    // The user's home, which everyone may write, and a TRELVANE_HOME of
    // theirs holding a store of another user's.
    const std::string userHome = home.Path() + "/nobody";
    PlantStore(userHome + "/.trelvane");
    ASSERT_TRUE(trelvane::testing::GiveToNobody(userHome));
    SetMode(userHome, 0777);
    const std::string strangers = home.Path() + "/strangers";
    PlantStore(strangers);
    ASSERT_TRUE(trelvane::testing::GiveToNobody(strangers));
    SetOwner(strangers + "/registry/classes.reg", kStrangerUid);
    SetMode(strangers + "/registry/classes.reg", 0644);
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        ScopedEnvironment noHome("TRELVANE_HOME", nullptr);
        ScopedEnvironment userHomeVariable("HOME", userHome.c_str());
        std::string log;
        if (ReadPlanted(&log) != kRefused) return "a store in a home everyone may write was read";
        if (log.find("chmod go-w " + userHome) == std::string::npos) return "the log lacks the fix: " + log;
        SetMode(userHome, 0755);
        if (ReadPlanted(&log) != kPlantedProgram) return "the user's own store was not read: " + log;
        ScopedEnvironment strangersHome("TRELVANE_HOME", strangers.c_str());
        if (ReadPlanted(&log) != kRefused) return "another user's store was read";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST_F(StoreAttacks, AHomeNeverDependsOnTheWorkingFolder) {
    // A working folder that another user filled with stores for the names a
    // home could fall back to.
    const std::string working = home.Path() + "/working";
    PlantStore(working + "/.trelvane");
    PlantStore(working + "/relative");
    PlantStore(working + "/machine", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes");
    trelvane::testing::OpenToEveryone(home.Path());
    ASSERT_TRUE(trelvane::testing::GiveToNobody(working));
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        fs::current_path(working);
        ScopedEnvironment noHome("TRELVANE_HOME", nullptr);
        {
            ScopedEnvironment ownHome("TRELVANE_HOME", (working + "/none").c_str());
            ScopedEnvironment machine("TRELVANE_MACHINE_REGISTRY", "machine/registry");
            std::string log;
            if (ReadPlanted(&log) != kRefused || log.find("is no absolute path") == std::string::npos)
                return "a relative machine store was used: " + log;
        }
        for (const char* variable : {static_cast<const char*>(nullptr), "", "relative"}) {
            ScopedEnvironment homeVariable("HOME", variable);
            // The password database's home, where nobody has none.
            const std::string state = platform::TrelvaneHome();
            if (state.empty() || state[0] != '/' || state.rfind(working, 0) == 0)
                return "the home fell back to " + state;
            std::string log;
            if (ReadPlanted(&log) == kPlantedProgram) return "the working folder's store was read";
        }
        ScopedEnvironment relative("TRELVANE_HOME", "relative");
        std::string log;
        if (ReadPlanted(&log) != kRefused) return "a relative TRELVANE_HOME was used";
        if (log.find("TRELVANE_HOME is relative, a relative path") == std::string::npos)
            return "the refusal lacks the reason: " + log;
        const platform::log::Capture quiet;
        const HRESULT run = platform::remoting::PrepareRunFolder();
        if (run != E_ACCESSDENIED || fs::exists(working + "/relative/run")) return "a run folder in the working folder";
        return "";
    });
    EXPECT_EQ(failure, "");
}

TEST_F(StoreAttacks, AWriterFollowsNoLinkPlantedInTheStoreFolder) {
    Write(u"Key", nullptr, u"before");
    const std::string folder = home.Path() + "/registry";
    // Another user's file, which a link leads to.
    const std::string victim = home.Path() + "/victim";
    WriteFile(victim, "the other user's own\n");
    SetMode(victim, 0640);
    ASSERT_TRUE(SetOwner(victim, kStrangerUid));
    // Planted where the new text is made aside: ignored, and cleared away.
    fs::create_symlink(victim, folder + "/classes.reg.new");
    Write(u"Key", nullptr, u"after");
    EXPECT_EQ(Read(u"Key"), u"after");
    EXPECT_EQ(ReadFile(victim), "the other user's own\n");
    EXPECT_EQ(FileMode(victim), 0640);
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder + "/classes.reg.new")));
    // Planted as the lock: refused, and nothing made where it leads.
    fs::remove(folder + "/classes.lock");
    const std::string target = home.Path() + "/made-through-the-lock";
    fs::create_symlink(target, folder + "/classes.lock");
    {
        const platform::log::Capture logged;
        HKEY key = nullptr;
        EXPECT_NE(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Other", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_NE(logged.Text().find(folder + "/classes.lock: cannot be locked: it is a symbolic link"),
                  std::string::npos);
    }
    EXPECT_FALSE(fs::exists(target));
    // A folder everyone may write, as when another user planted the links:
    // refused before anything is written.
    fs::remove(folder + "/classes.lock");
    fs::create_symlink(victim, folder + "/classes.reg.new");
    SetOwner(folder + "/classes.reg.new", kStrangerUid);
    SetMode(folder, 0777);
    const platform::log::Capture logged;
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Key"), ERROR_BADDB);
    EXPECT_NE(logged.Text().find("chmod go-w " + folder), std::string::npos);
    EXPECT_EQ(ReadFile(victim), "the other user's own\n");
    EXPECT_EQ(FileMode(victim), 0640);
}

}  // namespace
}  // namespace trelvane
