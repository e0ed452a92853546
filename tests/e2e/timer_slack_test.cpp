// The shell runs with the smallest timer slack (1 ns) instead of the 50 us
// it inherits, so that its pauses end as soon as the kernel can wake it.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

TEST(TimerSlack, ShellAsksForTheSmallest)
{
    std::ifstream own("/proc/self/timerslack_ns");
    long inherited = -1;
    if (!(own >> inherited))
        GTEST_SKIP() << "this kernel does not show the timer slack (before 4.6)";
    ASSERT_NE(inherited, 1) << "the test runs with the minimal slack itself: nothing to tell apart";
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::ifstream shell("/proc/" + std::to_string(sh.pid()) + "/timerslack_ns");
    long slack = -1;
    ASSERT_TRUE(shell >> slack);
    EXPECT_EQ(slack, 1);
}
