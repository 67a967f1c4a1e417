// The log file of a server without standard error: time-stamped lines, set
// aside at the limit, shared by servers of one user that overlap.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "platform/base/log_file_windows.h"
#include "platform/windows.h"

namespace trelvane {
namespace {

using platform::log::LogFile;

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t folder[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
        m_path = std::wstring(folder) + L"trelvane-log-test-" + std::to_wstring(GetCurrentProcessId()) + L".log";
        Remove();
    }
    void TearDown() override { Remove(); }
    void Remove() {
        DeleteFileW(m_path.c_str());
        DeleteFileW((m_path + L".1").c_str());
    }
    std::string Read(const std::wstring& path) {
        std::ifstream in(path.c_str(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::wstring m_path;
};

TEST_F(LogFileTest, LinesCarryTheirTimeAndAFullFileIsSetAsideReplacingTheOldOne) {
    {
        LogFile log(m_path, 100);
        ASSERT_TRUE(log.Write("trelvane: first\n"));
        EXPECT_TRUE(std::regex_match(Read(m_path), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ trelvane: first\n)")))
            << Read(m_path);
        // About 37 bytes a line: the fourth finds the file full.
        for (const char* line : {"trelvane: second\n", "trelvane: third\n", "trelvane: fourth\n"})
            ASSERT_TRUE(log.Write(line));
        EXPECT_NE(Read(m_path + L".1").find("third"), std::string::npos);
        EXPECT_EQ(Read(m_path + L".1").find("fourth"), std::string::npos);
        EXPECT_NE(Read(m_path).find("fourth"), std::string::npos);
        for (const char* line : {"trelvane: fifth\n", "trelvane: sixth\n", "trelvane: seventh\n"})
            ASSERT_TRUE(log.Write(line));
    }
    // The second setting aside replaced the first.
    EXPECT_EQ(Read(m_path + L".1").find("first"), std::string::npos);
    EXPECT_NE(Read(m_path + L".1").find("sixth"), std::string::npos);
    EXPECT_NE(Read(m_path).find("seventh"), std::string::npos);
}

TEST_F(LogFileTest, TwoServersShareTheFileAndOnlyAFullOneIsSetAside) {
    LogFile one(m_path, 100);
    LogFile two(m_path, 100);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(one.Write("trelvane: from one\n"));
    // Two finds the file full, sets it aside and begins a new one.
    ASSERT_TRUE(two.Write("trelvane: from two\n"));
    // One's file, set aside, is full too: one goes on in two's new file
    // rather than setting that aside over its own.
    ASSERT_TRUE(one.Write("trelvane: one after\n"));
    const std::string aside = Read(m_path + L".1");
    const std::string current = Read(m_path);
    EXPECT_EQ(aside.find("from two"), std::string::npos) << aside;
    EXPECT_NE(aside.find("from one"), std::string::npos) << aside;
    EXPECT_NE(current.find("from two"), std::string::npos) << current;
    EXPECT_NE(current.find("one after"), std::string::npos) << current;
}

TEST_F(LogFileTest, AFileThatCannotBeMadeIsAFailure) {
    LogFile log(L"Z:\\no\\such\\folder\\trelvane.log");
    EXPECT_FALSE(log.Write("trelvane: lost\n"));
}

}  // namespace
}  // namespace trelvane
