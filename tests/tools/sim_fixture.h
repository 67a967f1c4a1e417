// trelvane-sim run as a user runs it: a child process with the test's private
// TRELVANE_HOME, its output read line by line.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/json_line.h"
#include "tests/support/child_process.h"

namespace trelvane::testing {

using namespace std::chrono_literals;

inline std::unique_ptr<ChildProcess> StartSim(std::vector<std::string> arguments, ChildProcess::Options options = {}) {
    arguments.insert(arguments.begin(), TRELVANE_SIM_PATH);
    auto child = std::make_unique<ChildProcess>(arguments, options);
    EXPECT_TRUE(child->Started());
    return child;
}

inline auto Contains(std::string part) {
    return [part](const std::string& line) { return line.find(part) != std::string::npos; };
}

inline bool IsLink(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, ec));
}

inline bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

inline std::string Text(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    if (found == object.end()) return {};
    const auto* text = std::get_if<std::string>(&found->second);
    return text ? *text : std::string();
}

inline double Number(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    if (found == object.end()) return -1e9;
    const auto* number = std::get_if<double>(&found->second);
    return number ? *number : -1e9;
}

inline bool Flag(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    const auto* flag = found == object.end() ? nullptr : std::get_if<bool>(&found->second);
    return flag && *flag;
}

}  // namespace trelvane::testing
