// The log: line form, channels turned on by TRELVANE_DEBUG, bounded lines,
// whole lines from many threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/log.h"

namespace trelvane {
namespace {

using namespace platform::log;

// Restores tracing as the environment has it.
class Log : public ::testing::Test {
protected:
    void TearDown() override { detail::tracedChannels.store(detail::kUnread); }
};

TEST_F(Log, LinesNameTheirChannelAndTracesAreMarked) {
    Capture capture;
    SetTracing("remoting");
    Error(Channel::general, "plain %d", 1);
    Warning(Channel::comm, "on %s", "COM3");
    Trace(Channel::remoting, "frame");
    Trace(Channel::comm, "not traced");
    EXPECT_EQ(capture.Text(), "trelvane: plain 1\ntrelvane: comm: on COM3\ntrelvane: remoting: trace: frame\n");
}

TEST_F(Log, TheDebugVariableTurnsOnTheChannelsItNames) {
    Capture capture;
    ::setenv("TRELVANE_DEBUG", "comm,,dbus", 1);
    detail::tracedChannels.store(detail::kUnread);  // read again at the next use
    EXPECT_TRUE(Tracing(Channel::comm));
    EXPECT_TRUE(Tracing(Channel::dbus));
    EXPECT_FALSE(Tracing(Channel::remoting));
    ::unsetenv("TRELVANE_DEBUG");

    SetTracing("all");
    for (unsigned i = 0; i < static_cast<unsigned>(Channel::count); ++i) EXPECT_TRUE(Tracing(static_cast<Channel>(i)));
    SetTracing("");
    EXPECT_FALSE(Tracing(Channel::general));
    EXPECT_EQ(capture.Text(), "");

    SetTracing("comm,serial,x");  // the known ones hold, the others are named
    EXPECT_TRUE(Tracing(Channel::comm));
    EXPECT_NE(capture.Text().find("names no channel \"serial, x\""), std::string::npos) << capture.Text();
}

TEST_F(Log, AnOverlongTextIsCutAndHexShowsABoundedPrefix) {
    Capture capture;
    Error(Channel::general, "%s", std::string(5000, 'x').c_str());
    const std::string text = capture.Text();
    EXPECT_LT(text.size(), 1100u);
    EXPECT_EQ(text.back(), '\n');

    const unsigned char bytes[] = {0x00, 0xF0, 0xAB};
    EXPECT_EQ(Hex(bytes, 3), "00 F0 AB");
    const std::vector<unsigned char> many(100, 0xFF);
    EXPECT_EQ(Hex(many.data(), many.size()).size(), 32 * 3 - 1 + 4);
}

TEST_F(Log, LinesFromManyThreadsStayWhole) {
    Capture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) Error(Channel::driver, "thread %d line %d end", t, i);
        });
    for (auto& thread : threads) thread.join();
    std::istringstream lines(capture.Text());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        ASSERT_EQ(line.rfind("trelvane: driver: thread ", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 4), " end") << line;
    }
    EXPECT_EQ(count, 8 * 200);
}

}  // namespace
}  // namespace trelvane
