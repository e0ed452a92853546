// Dates past 2038 on a board whose time_t is 32 bits: the conversion fails
// and neither clock may change. Runs where QN_E2E_TIME32=1 says the shell
// under test has a 32-bit time_t (the armel build under qemu).
#include <gtest/gtest.h>

#include <cstdlib>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

TEST(Time32, DatePast2038ChangesNoClock)
{
    const char *t32 = std::getenv("QN_E2E_TIME32");
    if (!t32 || std::string(t32) != "1")
        GTEST_SKIP() << "the shell under test has a 64-bit time_t";
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string out = sh.line("rtcset 2040 1 1 0 0 0");
    EXPECT_NE(out.find("\nInput:2040-01-01 00:00:00\nSet system datatime error!\n"), std::string::npos) << esc(out);
    ASSERT_TRUE(sh.ctl_sync());
    EXPECT_TRUE(sh.trace_grep("settimeofday").empty());
    EXPECT_TRUE(sh.trace_grep("RTC_SET_TIME").empty());
    EXPECT_TRUE(sh.trace_grep("system").empty());
    // The RTC node was opened and closed again.
    EXPECT_EQ(sh.trace_grep("open /dev/rtc").size(), 1u);
    EXPECT_EQ(sh.trace_grep("/dev/rtc").size(), 2u);
}
