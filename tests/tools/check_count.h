// Counts the checks a test run executes: every EXPECT_/ASSERT_ statement
// reached, passing or not, per test suite. Force it
// into the test sources to measure a suite's checks:
//   cmake -S . -B build-count -DQN_TEST_COUNT_CHECKS=ON && cmake --build build-count
//   build-count/tests/e2e_tests | grep '^checks '
// It prints "checks SUITE N lines L" lines at the end of the run: N checks
// executed, L lines entered on the shell's terminal.
#pragma once

#define QN_TEST_COUNT_CHECKS 1

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

namespace qncount {

inline std::atomic<long> g_count{0};
inline void tick()
{
    ++g_count;
}
// Lines entered on a terminal (the harness counts each Enter it sends).
inline std::atomic<long> g_enters{0};

class Printer : public ::testing::EmptyTestEventListener {
  public:
    void OnTestStart(const ::testing::TestInfo &t) override
    {
        suite_ = t.test_suite_name();
        at_start_ = g_count.load();
        enters_at_start_ = g_enters.load();
    }
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        per_suite_[suite_] += g_count.load() - at_start_;
        enters_[suite_] += g_enters.load() - enters_at_start_;
    }
    void OnTestProgramEnd(const ::testing::UnitTest &) override
    {
        for (const auto &kv : per_suite_)
            std::printf("checks %s %ld lines %ld\n", kv.first.c_str(), kv.second, enters_[kv.first]);
        std::fflush(stdout);
    }

  private:
    std::string suite_;
    long at_start_ = 0, enters_at_start_ = 0;
    std::map<std::string, long> per_suite_, enters_;
};

inline const bool g_registered = (::testing::UnitTest::GetInstance()->listeners().Append(new Printer), true);

} // namespace qncount

#undef GTEST_ASSERT_
#define GTEST_ASSERT_(expression, on_failure)                                                                          \
    GTEST_AMBIGUOUS_ELSE_BLOCKER_                                                                                      \
    if (const ::testing::AssertionResult gtest_ar = (::qncount::tick(), (expression)))                                 \
        ;                                                                                                              \
    else                                                                                                               \
        on_failure(gtest_ar.failure_message())

#undef GTEST_TEST_BOOLEAN_
#define GTEST_TEST_BOOLEAN_(expression, text, actual, expected, fail)                                                  \
    GTEST_AMBIGUOUS_ELSE_BLOCKER_                                                                                      \
    if (const ::testing::AssertionResult gtest_ar_ = (::qncount::tick(), ::testing::AssertionResult(expression)))      \
        ;                                                                                                              \
    else                                                                                                               \
        fail(::testing::internal::GetBoolAssertionFailureMessage(gtest_ar_, text, #actual, #expected).c_str())
