// Activation on demand: a client creates the driver object by CLSID or
// ProgID and the server registered for it (the test host) is started when
// none runs: once for many clients at once, never a server that is shutting
// down, with the platform's errors for a class that is not registered or a
// server that does not come up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "contract/trelvane.h"
#include "platform/remoting/connection.h"
#include "tools/device_end/device_end.h"
#include "tests/support/child_process.h"
#include "tests/support/forked_child.h"
#include "tests/support/message_pump.h"
#include "tests/support/ordinary_user.h"
#include "tests/support/reachable_program.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace std::chrono_literals;
using trelvane::testing::ReadFile;
using trelvane::testing::ScopedEnvironment;
using trelvane::testing::TempHome;

std::string ClsidText() {
    WCHAR text[CHARS_IN_GUID];
    StringFromGUID2(contract::CLSID_CTarvik, text, CHARS_IN_GUID);
    return platform::ToUtf8(text);
}

LSTATUS WriteDefault(const std::string& path, const std::string& value, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    LSTATUS error = RegCreateKeyExW(HKEY_CLASSES_ROOT, platform::FromUtf8(path).c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &key, nullptr);
    const std::u16string text = platform::FromUtf8(value);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
    if (key) RegCloseKey(key);
    return error;
}

// The class and its ProgIDs as registration writes them, with command as
// the server's command line.
bool Register(const std::string& command) {
    const std::string clsid = ClsidText();
    return WriteDefault("CLSID\\" + clsid + "\\LocalServer32", command) == 0 &&
           WriteDefault("Trelvane.Tarvik.1\\CLSID", clsid) == 0 && WriteDefault("Trelvane.Tarvik\\CLSID", clsid) == 0 &&
           WriteDefault("Trelvane.Tarvik\\CurVer", "Trelvane.Tarvik.1") == 0;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// The numbers that follow each "as pid " in a log, in order.
std::vector<pid_t> PidsIn(const std::string& log) {
    std::vector<pid_t> pids;
    const std::string mark = "as pid ";
    for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
        pids.push_back(static_cast<pid_t>(std::atoi(log.c_str() + at + mark.size())));
    return pids;
}

// Creates the driver object, reads a property once and lets it go.
HRESULT ActivateAndCall(REFCLSID clsid = contract::CLSID_CTarvik) {
    platform::ComPtr<ITarvik> tarvik;
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                                  reinterpret_cast<void**>(tarvik.Out()));
    if (FAILED(hr)) return hr;
    LONG timeout = 0;
    hr = tarvik->get_InterCharacterTimeout(&timeout);
    return SUCCEEDED(hr) && timeout != 1500 ? E_UNEXPECTED : hr;
}

// The same in a process of its own (a forked child): 0, or what failed.
int ActivateInChild() {
    CoInitialize(nullptr);
    const HRESULT hr = ActivateAndCall();
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}

// The sockets this process has open, by inode.
std::set<std::string> OpenSockets() {
    std::set<std::string> sockets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:", 0) == 0) sockets.insert(target);
    }
    return sockets;
}

class Activation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Servers that activation starts are orphans; they come to this
        // process, which reaps them, rather than to an init that may not.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override {
        CoInitialize(nullptr);
        m_logPath = m_home.Path() + "/log/" + ClsidText() + ".log";
    }

    void TearDown() override {
        CoUninitialize();
        StopServers();
    }

    std::string Log() const { return ReadFile(m_logPath); }

    // The pids of the servers that activation started, in order.
    std::vector<pid_t> Started() const { return PidsIn(Log()); }

    // Waits until the log holds text (servers write to it as they go).
    bool AwaitLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Log().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // Ends every server started that still runs (they are children of this
    // process by now) and reaps it, and any other orphan that has ended (a
    // server whose exec failed); one reaped already is left alone.
    void StopServers() {
        for (pid_t pid : Started()) {
            if (::waitpid(pid, nullptr, WNOHANG) != 0) continue;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // Processes that are children of this one and have ended unreaped.
    static int Zombies() {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string stat = ReadFile(entry.path().string() + "/stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos) continue;
            char state = 0;
            int parent = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && state == 'Z' &&
                parent == ::getpid())
                ++count;
        }
        return count;
    }

    TempHome m_home;
    std::string m_logPath;
};

TEST_F(Activation, ColdStartsTheRegisteredServerOnceAndWarmUsesIt) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    ASSERT_EQ(ActivateAndCall(), S_OK);
    ASSERT_EQ(Started().size(), 1u);
    EXPECT_NE(Log().find("pid " + std::to_string(Started()[0]) + " serving"), std::string::npos);
    EXPECT_EQ(Zombies(), 0);  // the forked go-between is reaped; the server runs on
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(Started().size(), 1u);
    EXPECT_EQ(trelvane::testing::ModeOf(m_home.Path() + "/log"), 0700u);
    EXPECT_EQ(trelvane::testing::ModeOf(m_logPath), 0600u);
    // A further cold start leaves no descriptor behind (the apartment's own
    // connections are closed by leaving it).
    CoUninitialize();
    CoInitialize(nullptr);
    const int fds = trelvane::testing::OpenFdCount();
    StopServers();
    ASSERT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(Started().size(), 2u);
    CoUninitialize();
    CoInitialize(nullptr);
    EXPECT_EQ(trelvane::testing::OpenFdCount(), fds);
}

TEST_F(Activation, AnIdleConnectionServesTheNextActivationsAndClosesAfterItsTime) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    const auto before = OpenSockets();
    ASSERT_EQ(ActivateAndCall(), S_OK);
    const auto kept = OpenSockets();
    ASSERT_EQ(kept.size(), before.size() + 1);
    std::chrono::steady_clock::time_point lastUse;
    for (int i = 0; i < 3; ++i) {
        lastUse = std::chrono::steady_clock::now();
        ASSERT_EQ(ActivateAndCall(), S_OK);
        EXPECT_EQ(OpenSockets(), kept) << "activation " << i << " made a connection of its own";
    }
    // Left idle while the thread waits, it closes once its time has passed.
    EXPECT_TRUE(trelvane::testing::PumpUntil([&] { return OpenSockets() == before; }, 20s));
    EXPECT_GE(std::chrono::steady_clock::now() - lastUse,
              std::chrono::milliseconds(platform::remoting::Connection::kIdleConnectionMs));
    // One whose activation failed in the server is let go all the same.
    platform::ComPtr<IUnknown> none;
    EXPECT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, IID_IClassFactory,
                               reinterpret_cast<void**>(none.Out())),
              E_NOINTERFACE);
    EXPECT_EQ(OpenSockets().size(), before.size() + 1);
    EXPECT_TRUE(trelvane::testing::PumpUntil([&] { return OpenSockets() == before; }, 20s));
    EXPECT_EQ(Started().size(), 1u);
}

TEST_F(Activation, ByEitherProgIdThroughItsCurrentVersion) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    ASSERT_EQ(WriteDefault("Trelvane.Tarvik.Latest\\CurVer", "Trelvane.Tarvik.1"), 0);
    for (const char16_t* progId : {u"Trelvane.Tarvik.1", u"Trelvane.Tarvik", u"Trelvane.Tarvik.Latest"}) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << platform::ToUtf8(progId);
        EXPECT_EQ(ActivateAndCall(clsid), S_OK) << platform::ToUtf8(progId);
    }
    EXPECT_EQ(Started().size(), 1u);
}

// A server that gives no word over the socket it was passed is found all
// the same, through the run folder: one that closes it, and one that keeps
// it but cannot know it (its environment entry dropped by a wrapper).
TEST_F(Activation, AServerThatSaysNothingWhenItListensIsFoundThroughTheRunFolder) {
    ScopedEnvironment bound("TRELVANE_ACTIVATION_TIMEOUT_MS", "10000");
    const std::string host = Quoted(TRELVANE_TEST_HOST);
    const struct {
        const char* name;
        std::string script;
    } wrappers[] = {
        {"closes", "exec 3>&-\nexec " + host + " \"$@\"\n"},
        {"keeps", "unset TRELVANE_ACTIVATION_READY\nexec " + host + " \"$@\"\n"},
    };
    for (const auto& wrapper : wrappers) {
        const std::string path = m_home.Path() + "/" + wrapper.name + ".sh";
        trelvane::testing::WriteFile(path, "#!/bin/sh\n" + wrapper.script);
        trelvane::testing::SetMode(path, 0755);
        ASSERT_TRUE(Register(Quoted(path)));
        EXPECT_EQ(ActivateAndCall(), S_OK) << wrapper.name << "\n" << Log();
        StopServers();
    }
    EXPECT_EQ(Started().size(), 2u);
}

TEST_F(Activation, ALogThatHasReachedItsBoundIsSetAsideWhenTheNextServerStarts) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    const std::string full(1 << 20, 'x');
    ASSERT_EQ(ActivateAndCall(), S_OK);  // makes the folder and the log
    StopServers();
    trelvane::testing::WriteFile(m_logPath, "first\n" + full);
    ASSERT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(ReadFile(m_logPath + ".1").substr(0, 6), "first\n");
    EXPECT_LT(Log().size(), 4096u);
    EXPECT_EQ(Started().size(), 1u);  // the new log holds the start that set the old one aside
    EXPECT_EQ(trelvane::testing::ModeOf(m_logPath), 0600u);
    // A log below the bound stays; the next full one replaces the one set aside.
    StopServers();
    ASSERT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(ReadFile(m_logPath + ".1").substr(0, 6), "first\n");
    EXPECT_EQ(Started().size(), 2u);
    StopServers();
    trelvane::testing::WriteFile(m_logPath, "second\n" + full);
    ASSERT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(ReadFile(m_logPath + ".1").substr(0, 7), "second\n");
    EXPECT_EQ(Started().size(), 1u);
}

// The command line's environment references are expanded when it is
// written as REG_EXPAND_SZ, and only then.
TEST_F(Activation, AnExpandableServerCommandHasItsVariablesExpanded) {
    const std::string host = TRELVANE_TEST_HOST;
    const auto slash = host.rfind('/');
    ScopedEnvironment folder("TRELVANE_TEST_HOST_FOLDER", host.substr(0, slash).c_str());
    const std::string command = "\"%TRELVANE_TEST_HOST_FOLDER%" + host.substr(slash) + "\"";
    const std::string key = "CLSID\\" + ClsidText() + "\\LocalServer32";
    ASSERT_EQ(WriteDefault(key, command, REG_SZ), 0);
    EXPECT_EQ(ActivateAndCall(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(WriteDefault(key, command, REG_EXPAND_SZ), 0);
    EXPECT_EQ(ActivateAndCall(), S_OK);
    EXPECT_NE(Log().find("started \"" + host + "\" -Embedding"), std::string::npos) << Log();
}

TEST_F(Activation, AClassWithoutAServerCommandIsNotRegistered) {
    const std::string classKey = "CLSID\\" + ClsidText();
    const std::function<void()> registrations[] = {
        [] {},
        [&] { WriteDefault(classKey, "CTarvik Object"); },
        [&] { WriteDefault(classKey + "\\LocalServer32", ""); },
    };
    for (const auto& make : registrations) {
        make();
        IUnknown* object = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                   reinterpret_cast<void**>(&object)),
                  REGDB_E_CLASSNOTREG);
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(CoGetClassObject(contract::CLSID_CTarvik, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                   reinterpret_cast<void**>(&object)),
                  REGDB_E_CLASSNOTREG);
    }
    EXPECT_TRUE(Started().empty());
}

TEST_F(Activation, AMissingProgramFailsWithFileNotFoundAndALogLineNamingIt) {
    const std::string missing = m_home.Path() + "/no such dir/trelvane";
    ASSERT_TRUE(Register(Quoted(missing)));
    EXPECT_EQ(ActivateAndCall(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(Log().find("cannot start \"" + missing + "\" -Embedding: 0x80070002"), std::string::npos) << Log();
}

TEST_F(Activation, AServerThatEndsAtStartUpFailsAtOnceNotAfterTheBound) {
    ScopedEnvironment fault("TRELVANE_TEST_HOST_START", "exit");
    ScopedEnvironment bound("TRELVANE_ACTIVATION_TIMEOUT_MS", "60000");
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ActivateAndCall(), CO_E_SERVER_EXEC_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // half the bound: the exit was noticed
    EXPECT_NE(Log().find("ended before it registered its class object"), std::string::npos) << Log();
}

TEST_F(Activation, AServerThatNeverRegistersIsKilledAfterTheBound) {
    ScopedEnvironment fault("TRELVANE_TEST_HOST_START", "hang");
    ScopedEnvironment bound("TRELVANE_ACTIVATION_TIMEOUT_MS", "300");
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    EXPECT_EQ(ActivateAndCall(), CO_E_SERVER_EXEC_FAILURE);
    ASSERT_EQ(Started().size(), 1u);
    EXPECT_NE(Log().find("did not register its class object within 300 ms; killed"), std::string::npos) << Log();
    int status = 0;
    ASSERT_EQ(::waitpid(Started()[0], &status, 0), Started()[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST_F(Activation, EightProcessesAtOnceStartOneServer) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    const auto statuses = trelvane::testing::RunChildrenAtOnce(8, [](int) { return ActivateInChild(); });
    EXPECT_EQ(statuses, std::vector<int>(8, 0));
    EXPECT_EQ(Started().size(), 1u) << Log();
}

TEST_F(Activation, EightThreadsAtOnceStartOneServer) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    std::atomic<int> ready{0}, succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            CoInitialize(nullptr);
            for (++ready; ready < 8;) std::this_thread::yield();
            if (ActivateAndCall() == S_OK) ++succeeded;
            CoUninitialize();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(succeeded, 8);
    EXPECT_EQ(Started().size(), 1u) << Log();
}

// Read system calls made by this process so far (a client that waited by
// polling would make thousands).
long ReadCalls() {
    const std::string io = ReadFile("/proc/self/io");
    const auto at = io.find("syscr: ");
    return at == std::string::npos ? -1 : std::stol(io.substr(at + 7));
}

TEST_F(Activation, ClientsWaitingForAnotherClientsStartSleep) {
    ScopedEnvironment fault("TRELVANE_TEST_HOST_START", "hang");
    ScopedEnvironment bound("TRELVANE_ACTIVATION_TIMEOUT_MS", "500");
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    const long before = ReadCalls();
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            CoInitialize(nullptr);
            if (ActivateAndCall() == CO_E_SERVER_EXEC_FAILURE) ++failed;
            CoUninitialize();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed, 4);
    EXPECT_LT(ReadCalls() - before, 400) << "waits that poll";
    EXPECT_LE(Started().size(), 4u);
}

TEST_F(Activation, AServerInItsLastSecondGetsNoNewClientANewServerIsStarted) {
    ScopedEnvironment pause("TRELVANE_TEST_HOST_PAUSE_MS", "1000");
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    // This apartment keeps its connection to the first server while it holds an object of it.
    platform::ComPtr<ITarvik> old;
    ASSERT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                               reinterpret_cast<void**>(old.Out())),
              S_OK);
    const pid_t first = Started().at(0);
    ::kill(first, SIGTERM);
    ASSERT_TRUE(AwaitLog("pid " + std::to_string(first) + " withdrew"));
    // A client with no connection finds no socket; this apartment's kept
    // connection leads to a server that no longer hands out its class object.
    HRESULT fresh = E_FAIL;
    std::thread([&] {
        CoInitialize(nullptr);
        fresh = ActivateAndCall();
        CoUninitialize();
    }).join();
    EXPECT_EQ(fresh, S_OK);
    EXPECT_EQ(ActivateAndCall(), S_OK);
    ASSERT_EQ(Started().size(), 2u) << Log();
    old.Reset();
    int status = 0;
    EXPECT_EQ(::waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Activation, TheSocketOfAKilledServerIsReplacedByANewServer) {
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_HOST)));
    ASSERT_EQ(ActivateAndCall(), S_OK);  // its connection, idle, is kept and leads to the killed server
    const pid_t first = Started().at(0);
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    ASSERT_TRUE(trelvane::testing::Exists(m_home.Path() + "/run/" + ClsidText()));  // left behind
    EXPECT_EQ(ActivateAndCall(), S_OK);
    EXPECT_EQ(Started().size(), 2u);
}

TEST_F(Activation, AServerKilledWithThePortOpenDisconnectsItsClientAndAFreshOneOpensThePortAgain) {
    // The server program itself (its test build, ending as soon as it is idle).
    ScopedEnvironment idle("TRELVANE_TEST_SHUTDOWN_MS", "0");
    ScopedEnvironment pause("TRELVANE_TEST_PAUSE_MS", "0");
    ASSERT_TRUE(Register(Quoted(TRELVANE_TEST_SERVER)));
    auto device = trelvane::DeviceEnd::Create(m_home.Path(), 3);
    ASSERT_TRUE(device);
    platform::ComPtr<ITarvik> tarvik;
    ASSERT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                               reinterpret_cast<void**>(tarvik.Out())),
              S_OK);
    LONG opened = -1;
    ASSERT_EQ(tarvik->Open(3, &opened), S_OK);
    ASSERT_EQ(device->ReadByte(5s), std::optional<std::uint8_t>(0x00));  // the reset
    const pid_t first = Started().at(0);
    ::kill(first, SIGKILL);
    // The client's next call fails at once (a call towards a server has no time limit).
    LONG port = 0;
    EXPECT_EQ(tarvik->get_PortNumber(&port), RPC_E_DISCONNECTED);
    tarvik.Reset();
    EXPECT_EQ(::waitpid(first, nullptr, 0), first);
    EXPECT_TRUE(device->WaitDisconnected(5s));
    // The next activation starts a fresh server, and nothing holds the port.
    platform::ComPtr<ITarvik> fresh;
    ASSERT_EQ(CoCreateInstance(contract::CLSID_CTarvik, nullptr, CLSCTX_LOCAL_SERVER, contract::IID_ITarvik,
                               reinterpret_cast<void**>(fresh.Out())),
              S_OK);
    ASSERT_EQ(Started().size(), 2u) << Log();
    LONG reopened = -1;
    EXPECT_EQ(fresh->Open(3, &reopened), S_OK);
    EXPECT_EQ(reopened, opened);
    EXPECT_EQ(device->ReadByte(5s), std::optional<std::uint8_t>(0x00));
    EXPECT_EQ(device->Connections(), 2);
    EXPECT_EQ(fresh->get_PortNumber(&port), S_OK);
    EXPECT_EQ(port, 3);
    EXPECT_EQ(fresh->Close(), S_OK);
    fresh.Reset();
    // Idle again, the fresh server ends by itself.
    const pid_t second = Started().at(1);
    int status = -1;
    pid_t reaped = 0;
    for (int i = 0; i < 1000 && reaped == 0; ++i) {
        reaped = ::waitpid(second, &status, WNOHANG);
        if (reaped == 0) std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(reaped, second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(Activation, AnOrdinaryUserStartsAServerInFoldersOfItsOwn) {
    SKIP_UNLESS_ABLE_TO_BE_NOBODY();
    // The folders are made by the child as nobody, in a home nobody owns.
    const std::string home = m_home.Path() + "/nobody";
    trelvane::testing::MakeFolder(home);
    ASSERT_TRUE(trelvane::testing::GiveToNobody(home));
    trelvane::testing::OpenToEveryone(m_home.Path());
    const trelvane::testing::ReachableProgram host(TRELVANE_TEST_HOST);
    ASSERT_TRUE(host.Ok()) << host.Error();
    const std::string failure = trelvane::testing::RunAsOrdinaryUser([&]() -> std::string {
        ScopedEnvironment own("TRELVANE_HOME", home.c_str());
        if (!Register(Quoted(host.Path()))) return "cannot register";
        CoInitialize(nullptr);
        const HRESULT hr = ActivateAndCall();
        CoUninitialize();
        return hr == S_OK ? "" : "activation failed: " + std::to_string(hr);
    });
    EXPECT_EQ(failure, "");
    const auto pids = PidsIn(ReadFile(home + "/log/" + ClsidText() + ".log"));
    ASSERT_EQ(pids.size(), 1u);
    ::kill(pids[0], SIGKILL);
    ::waitpid(pids[0], nullptr, 0);
    for (const char* folder : {"/run", "/log"}) {
        struct stat info {};
        ASSERT_EQ(::stat((home + folder).c_str(), &info), 0) << folder;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
        EXPECT_EQ(info.st_uid, trelvane::testing::Nobody()->uid) << folder;
    }
}

}  // namespace
}  // namespace trelvane
