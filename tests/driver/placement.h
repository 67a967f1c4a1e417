// Where a suite's object lives: in this process, or in a second one that
// the suite reaches through proxies. Suites parameterised by it run both
// ways with the same expectations, except where remoting is meant to differ.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace trelvane::testing {

enum class Placement { InProcess, OutOfProcess };

inline void PrintTo(Placement placement, std::ostream* os) {
    *os << (placement == Placement::InProcess ? "in process" : "out of process");
}

inline std::string PlacementName(const ::testing::TestParamInfo<Placement>& info) {
    return info.param == Placement::InProcess ? "InProcess" : "OutOfProcess";
}

// For a fixture derived from TestWithParam<Placement>: a TEST_P's placement,
// or in process for a TEST_F of the same fixture.
inline bool RunsOutOfProcess(const ::testing::WithParamInterface<Placement>& test) {
    return ::testing::UnitTest::GetInstance()->current_test_info()->value_param() != nullptr &&
           test.GetParam() == Placement::OutOfProcess;
}

#define TRELVANE_BOTH_PLACEMENTS(suite)                                                                             \
    INSTANTIATE_TEST_SUITE_P(                                                                                       \
        Placement, suite,                                                                                           \
        ::testing::Values(::trelvane::testing::Placement::InProcess, ::trelvane::testing::Placement::OutOfProcess), \
        ::trelvane::testing::PlacementName)

}  // namespace trelvane::testing
