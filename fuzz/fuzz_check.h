// What the fuzz targets share: a check of an invariant that stops the run
// with the reason, so that libFuzzer keeps the input as a failure.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace trelvane::fuzz {

// The reason goes to standard output: the runs close standard error, where
// the code under test logs what it refuses.
[[noreturn]] inline void Fail(const std::string& why) {
    std::printf("invariant broken: %s\n", why.c_str());
    std::fflush(stdout);
    std::abort();
}

inline void Check(bool holds, const std::string& why) {
    if (!holds) Fail(why);
}

}  // namespace trelvane::fuzz
