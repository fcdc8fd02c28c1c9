// Checks in a newly started copy of the test program, for what a process reads once and keeps.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

namespace dorn::test {

// Runs `check` in a new process (GoogleTest's "threadsafe" death-test style starts the program
// again; a forked child would inherit what earlier tests cached). Passes when `check` is true.
template <typename Check>
void InFreshProcess(Check check) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(check() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace dorn::test
