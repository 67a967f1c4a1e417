// The server program as a user or the activation service starts it: what
// its command line makes it do, what it writes, and its exit statuses,
// faults injected through the test build where the platform never fails by
// itself.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/server_fixture.h"
#include "tests/support/host_process.h"
#include "tests/support/raw_peer.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;

using ServerProgram = ServerTest;

TEST_F(ServerProgram, ServesWithoutASwitchAndWritesNothingToStandardOutput) {
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"-Embedding"}, {"/Automation", "x"}, {"-RegServerX"}};
    for (const auto& args : commandLines) {
        SCOPED_TRACE(args.empty() ? "(no arguments)" : args.front());
        ServerProcess server(TRELVANE_SERVER, args);
        ASSERT_TRUE(server.Start());
        EXPECT_TRUE(server.WaitServing(SocketPath(), 10s));
        server.Kill();
        EXPECT_EQ(server.Output(), "");
        EXPECT_EQ(server.Errors(), "");
    }
}

TEST_F(ServerProgram, ExitsWithOneAndSaysWhyWhenAnotherServerServesTheClassAlready) {
    ServerProcess first(TRELVANE_SERVER);
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(first.WaitServing(SocketPath(), 10s));
    ServerProcess second(TRELVANE_SERVER);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_NE(second.Errors().find("0x800401FC Object is already registered"), std::string::npos) << second.Errors();
    EXPECT_EQ(second.Output(), "");
    EXPECT_TRUE(first.Running());
}

TEST_F(ServerProgram, ARegistrationSwitchRunsTheRegistrationInsteadOfServing) {
    for (const char* option : {"-RegServer", "/unregserver"}) {
        SCOPED_TRACE(option);
        ServerProcess server(TRELVANE_SERVER, {option});
        ASSERT_TRUE(server.Start());
        EXPECT_EQ(server.Wait(10s), 0);
        EXPECT_EQ(server.Output() + server.Errors(), "");
        EXPECT_FALSE(Exists(SocketPath()));
    }
}

TEST_F(ServerProgram, ExitsWith255WhenItCannotStart) {
    ServerProcess server(TRELVANE_TEST_SERVER, {"-Embedding"}, {"TRELVANE_TEST_FAULT=apartment"});
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Wait(10s), 255);
    EXPECT_NE(server.Errors().find("cannot enter an apartment"), std::string::npos) << server.Errors();
    EXPECT_FALSE(Exists(SocketPath()));
}

TEST_F(ServerProgram, ExitsWithEFailWhenTheShutdownMonitorCannotStart) {
    ServerProcess server(TRELVANE_TEST_SERVER, {"-Embedding"}, {"TRELVANE_TEST_FAULT=monitor"});
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Wait(10s), 1);
    EXPECT_NE(server.Errors().find("0x80004005 Unspecified error"), std::string::npos) << server.Errors();
}

TEST_F(ServerProgram, WithdrawsAtOnceWithoutPauseWhenRegistrationGivesAnotherSuccessCode) {
    // With the pause it would take 5 s.
    ServerProcess server(TRELVANE_TEST_SERVER, {"-Embedding"},
                         {"TRELVANE_TEST_FAULT=registration", "TRELVANE_TEST_PAUSE_MS=5000"});
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Wait(4s), 0);
    EXPECT_FALSE(Exists(SocketPath()));
}

TEST_F(ServerProgram, HelpNamesTheSwitchesAndTheExitStatuses) {
    ServerProcess server(TRELVANE_SERVER, {"--help"});
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Wait(10s), 0);
    const std::string help = server.Output();
    for (const char* part : {"-RegServer", "-UnregServer", "-Embedding", "Exit status", "255", "TRELVANE_HOME"})
        EXPECT_NE(help.find(part), std::string::npos) << part;
    EXPECT_FALSE(Exists(SocketPath()));
}

// Whether the class's server is in the user's registry store.
bool Registered(const std::string& home) {
    return Exists(home + "/registry/classes.reg") &&
           ReadFile(home + "/registry/classes.reg").find("LocalServer32") != std::string::npos;
}

TEST_F(ServerProgram, HelpAndVersionCountOnlyAsTheOneArgument) {
    ServerProcess version(TRELVANE_SERVER, {"--version"});
    ASSERT_TRUE(version.Start());
    EXPECT_EQ(version.Wait(10s), 0);
    EXPECT_EQ(version.Output().substr(0, version.Output().find('\n')), "trelvane (Trelvane) 1.0.0");
    EXPECT_FALSE(Registered(home.Path()));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-RegServer", "--help"}, {"--help", "/regserver"}, {"--version", "-RegServer"}}) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        ServerProcess server(TRELVANE_SERVER, args);
        ASSERT_TRUE(server.Start());
        EXPECT_EQ(server.Wait(10s), 0);
        EXPECT_EQ(server.Output() + server.Errors(), "");
        EXPECT_TRUE(Registered(home.Path()));
        ASSERT_EQ(::unlink((home.Path() + "/registry/classes.reg").c_str()), 0);
    }
}

TEST_F(ServerProgram, TheArgumentsAreJoinedAsTheCommandLineBeforeTheScan) {
    // One argument with a space is quoted whole: the closing quotation mark
    // ends up in the switch's token, which then matches nothing.
    ServerProcess quoted(TRELVANE_SERVER, {"x -RegServer"});
    ASSERT_TRUE(quoted.Start());
    EXPECT_TRUE(quoted.WaitServing(SocketPath(), 10s));
    quoted.Kill();
    EXPECT_FALSE(Registered(home.Path()));
    // A quoted argument before a switch leaves the switch its own token.
    ServerProcess after(TRELVANE_SERVER, {"--name=a b", "/regserver"});
    ASSERT_TRUE(after.Start());
    EXPECT_EQ(after.Wait(10s), 0);
    EXPECT_TRUE(Registered(home.Path()));
}

TEST_F(ServerProgram, AStartUpFailureLeavesTheStoreUntouchedEvenWithRegServer) {
    ServerProcess server(TRELVANE_TEST_SERVER, {"-RegServer"}, {"TRELVANE_TEST_FAULT=apartment"});
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.Wait(10s), 255);
    EXPECT_FALSE(Exists(home.Path() + "/registry"));
}

// The server registered, as its switch writes it.
void Register() {
    ServerProcess registration(TRELVANE_SERVER, {"-RegServer"});
    ASSERT_TRUE(registration.Start());
    ASSERT_EQ(registration.Wait(10s), 0);
}

// Waits up to 10 s for what the test cannot watch more directly.
bool Eventually(const std::function<bool()>& holds) {
    const auto bound = Clock::now() + 10s;
    while (!holds() && Clock::now() < bound) std::this_thread::sleep_for(10ms);
    return holds();
}

// A client in a process of its own reaches the server: the activation's result.
std::string ActivationResult() {
    HostProcess client(TRELVANE_TEST_CLIENT);
    if (!client.Start()) return "no client";
    const std::string output = client.Output();
    client.Stop();
    const auto at = output.find("result ");
    return at == std::string::npos ? output : output.substr(at + 7, 10);
}

TEST_F(ServerProgram, PutsItsSocketBackWhenItOrTheRunFolderIsRemoved) {
    Register();
    ServerProcess server(TRELVANE_SERVER);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitServing(SocketPath(), 10s));
    ASSERT_EQ(::unlink(SocketPath().c_str()), 0);
    EXPECT_TRUE(server.WaitServing(SocketPath(), 10s));
    EXPECT_EQ(ActivationResult(), "0x00000000");
    // The whole folder goes, its lock file too (moved aside first: the
    // server makes things there again at once).
    std::filesystem::rename(home.Path() + "/run", home.Path() + "/gone");
    std::filesystem::remove_all(home.Path() + "/gone");
    EXPECT_TRUE(server.WaitServing(SocketPath(), 10s));
    EXPECT_TRUE(Exists(home.Path() + "/run/{979033AA-C8F3-4158-A797-255164FEA439}.lock"));
    EXPECT_EQ(ActivationResult(), "0x00000000");
    EXPECT_TRUE(server.Running());
    // No second server was started: the activations reached this one.
    EXPECT_EQ(ReadFile(home.Path() + "/log/{979033AA-C8F3-4158-A797-255164FEA439}.log").find("started"),
              std::string::npos);
    EXPECT_NE(server.Errors().find("was removed; listening there again"), std::string::npos) << server.Errors();
    // A second server cannot take the class from it.
    ServerProcess second(TRELVANE_SERVER);
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.Wait(10s), 1);
    server.Kill();
}

TEST_F(ServerProgram, AServerStartedByActivationSetsItsLogAsideAtTheBound) {
    Register();
    HostProcess client(TRELVANE_TEST_CLIENT);
    ASSERT_TRUE(client.Start());  // its activation started the server, writing to the class's log
    const std::string log = home.Path() + "/log/{979033AA-C8F3-4158-A797-255164FEA439}.log";
    const std::string before = ReadFile(log);
    const auto at = before.find("as pid ");
    ASSERT_NE(at, std::string::npos) << before;
    const pid_t server = static_cast<pid_t>(std::atol(before.c_str() + at + 7));
    std::ofstream(log, std::ios::app) << std::string(1 << 20, '.') << '\n';  // as a server that says much
    EXPECT_TRUE(Eventually([&] { return Exists(log + ".1"); }));
    EXPECT_EQ(ReadFile(log + ".1").substr(0, before.size()), before);
    // What the server says next goes to a new log.
    RawPeer peer(SocketPath());
    ASSERT_TRUE(peer.Connected());
    peer.Send({0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0});
    EXPECT_TRUE(peer.WaitClosed(10000));
    EXPECT_TRUE(Eventually([&] { return ReadFile(log).find("trelvane: remoting:") != std::string::npos; }));
    EXPECT_LT(ReadFile(log).size(), 4096u);
    client.Stop();
    ::kill(server, SIGKILL);
}

}  // namespace
}  // namespace trelvane
