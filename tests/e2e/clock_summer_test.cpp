// rtcset in a time zone with summer time: the typed time is the wall-clock
// time of that day, summer or winter. In Berlin (CET, UTC+1; CEST, UTC+2 from
// the last Sunday of March to the last Sunday of October) noon on 1 July is
// 10:00 UTC and noon on 15 January is 11:00 UTC; the RTC gets the typed
// fields either way.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

namespace {

struct SummerCase {
    const char *name;
    const char *cmd;
    const char *echo;               // the "Input:" line
    const char *settimeofday;       // the instant the system clock is set to
    const char *rtc_tm;             // RTC_SET_TIME as traced
    std::vector<std::string> shown; // hwclock then date, for 0 to 3 s after setting
};

const SummerCase kCases[] = {
    {"SummerNoonIsTenUtc",
     "rtcset 2024 07 01 12 00 00",
     "Input:2024-07-01 12:00:00\n",
     "1719828000.000000",
     "tm=2024-07-01 12:00:00 wday=1 yday=182 isdst=1",
     {"2024-07-01 12:00:0", ".000000+00:00\nMon Jul  1 12:00:0", " CEST 2024\n"}},
    {"WinterNoonIsElevenUtc",
     "rtcset 2024 01 15 12 00 00",
     "Input:2024-01-15 12:00:00\n",
     "1705316400.000000",
     "tm=2024-01-15 12:00:00 wday=1 yday=14 isdst=0",
     {"2024-01-15 12:00:0", ".000000+00:00\nMon Jan 15 12:00:0", " CET 2024\n"}},
};

void PrintTo(const SummerCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class ClockSummerTime : public ::testing::TestWithParam<SummerCase> {};

TEST_P(ClockSummerTime, TypedTimeIsWallClockTime)
{
    const SummerCase &c = GetParam();
    PtyShell sh(PtyShell::with({{"TZ", "Europe/Berlin"}, {"QNSIM_TIME", "1700000000"}}));
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    PtyShell::Run r = sh.run(c.cmd);
    ASSERT_TRUE(r.prompt) << esc(r.out);

    std::vector<std::string> got;
    for (const qntest::Event &e : qntest::events(r.trace))
        if (e.kind == "settimeofday" || (e.kind == "ioctl" && e.rest.compare(0, 12, "RTC_SET_TIME") == 0))
            got.push_back(e.kind + " " + e.rest);
    EXPECT_EQ(got, (std::vector<std::string>{std::string("settimeofday ") + c.settimeofday + " ret=0",
                                             std::string("ioctl RTC_SET_TIME ") + c.rtc_tm + " ret=0"}));

    // Both clocks tick while the test runs: the seconds digit may be 0 to 3.
    bool shown = false;
    for (char rtc = '0'; rtc <= '3'; ++rtc)
        for (char sys = rtc; sys <= '3'; ++sys)
            shown = shown || r.out == std::string("\n") + c.echo + c.shown[0] + rtc + c.shown[1] + sys + c.shown[2];
    EXPECT_TRUE(shown) << esc(r.out);
}

INSTANTIATE_TEST_SUITE_P(Berlin, ClockSummerTime, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SummerCase> &i) { return std::string(i.param.name); });

} // namespace
