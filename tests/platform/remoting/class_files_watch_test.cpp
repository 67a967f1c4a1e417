// What a registered class's server watches of its files: the log that is its
// standard error, set aside at its bound, and the socket, put back when it
// is gone. Each case drives the watch on this thread and hands it a fixed
// number of turns: a watch whose own doings set it off again would run in
// every one of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/base/log.h"
#include "platform/messages/thread_wait.h"
#include "platform/remoting/class_files_watch.h"
#include "platform/remoting/socket.h"
#include "tests/support/test_env.h"

namespace trelvane {
namespace {

using namespace trelvane::testing;
using platform::remoting::ClassFilesWatch;

const CLSID kClass = {0x5B1C2D3E, 0x4F50, 0x4A61, {0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9}};

// Handles what is ready for this thread's waits, turn by turn.
void HandleChanges() {
    for (int turn = 0; turn < 8; ++turn) platform::WaitForThreadActivity(platform::PostedCount(), 0, false);
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

void Append(const std::string& path, std::size_t bytes) {
    std::ofstream(path, std::ios::app) << std::string(bytes, '.');
}

// The class's log as this process's standard error, as activation starts a
// server; standard error as it was again at the end.
class ClassLog : public ::testing::Test {
protected:
    void SetUp() override {
        MakeFolder(home.Path() + "/run");
        MakeFolder(home.Path() + "/log");
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    void TearDown() override {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    // Whether standard error is the file at the log's path now.
    bool WritingToTheLog() const { return platform::remoting::IsFileAt(STDERR_FILENO, path); }

    TempHome home;
    const std::string path = platform::remoting::ClassLogPath(kClass);

private:
    int m_saved = -1;
};

TEST_F(ClassLog, ASetAsideThatFailsIsToldOnceAndTriedAgainABoundLater) {
    ClassFilesWatch watch(kClass, platform::remoting::ClassSocketPath(kClass), [] {});
    // What stands at the set-aside name cannot be replaced by the log.
    MakeFolder(path + ".1");
    MakeFile(path + ".1/kept");
    Append(path, platform::remoting::kClassLogBound);
    HandleChanges();
    EXPECT_EQ(Count(ReadFile(path), "cannot set the log"), 1u) << ReadFile(path).substr(0, 2000);
    // Growing by less than the bound, it is not tried again.
    std::filesystem::remove_all(path + ".1");
    Append(path, 1000);
    HandleChanges();
    EXPECT_FALSE(Exists(path + ".1"));
    Append(path, platform::remoting::kClassLogBound);
    HandleChanges();
    EXPECT_TRUE(Exists(path + ".1"));
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_TRUE(WritingToTheLog());
}

TEST_F(ClassLog, ALogWhoseFolderWasRemovedBeginsAgainInTheFolderMadeAgain) {
    ClassFilesWatch watch(kClass, platform::remoting::ClassSocketPath(kClass), [] {});
    std::filesystem::remove_all(home.Path() + "/log");
    const std::string lines(platform::remoting::kClassLogBound, '.');
    ASSERT_EQ(::write(STDERR_FILENO, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    HandleChanges();
    EXPECT_TRUE(WritingToTheLog());
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(ModeOf(home.Path() + "/log"), 0700u);
}

// The socket is put back as the server puts it back: listening anew at its path.
TEST(ClassSocket, APutBackThatFailsIsTriedAgainOnlyAtTheNextChangeOfItsPath) {
    TempHome home;
    MakeFolder(home.Path() + "/run");
    const std::string socket = platform::remoting::ClassSocketPath(kClass);
    std::vector<int> listening;
    int tries = 0;
    const auto listen = [&] {
        HRESULT hr = S_OK;
        if (const int fd = platform::remoting::ListenAt(socket, &hr); fd >= 0) listening.push_back(fd);
    };
    listen();
    ClassFilesWatch watch(kClass, socket, [&] {
        ++tries;
        listen();
    });
    platform::log::Capture log;
    // A folder that is not empty takes the socket's place: it cannot be replaced.
    ASSERT_EQ(::unlink(socket.c_str()), 0);
    MakeFolder(socket);
    MakeFile(socket + "/kept");
    HandleChanges();
    EXPECT_EQ(tries, 1);
    EXPECT_EQ(Count(log.Text(), "cannot listen at " + socket), 1u) << log.Text();
    EXPECT_EQ(listening.size(), 1u);
    // Gone again, the path is free: its change puts the socket back.
    std::filesystem::remove_all(socket);
    HandleChanges();
    EXPECT_EQ(tries, 2);
    EXPECT_EQ(listening.size(), 2u);
    bool noServer = false;
    HRESULT hr = S_OK;
    const int client = platform::remoting::ConnectTo(socket, &noServer, &hr);
    EXPECT_GE(client, 0) << std::hex << hr;
    platform::remoting::CloseSocket(client);
    for (const int fd : listening) platform::remoting::CloseSocket(fd);
}

}  // namespace
}  // namespace trelvane
