// The server program as a user or the activation service starts it: what
// its command line makes it do, what it writes, and its exit statuses,
// faults injected through the test build where the platform never fails by
// itself.
#include <string>
#include <vector>

#include "tests/server/server_fixture.h"

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

}  // namespace
