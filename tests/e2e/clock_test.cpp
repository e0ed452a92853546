// Clock commands: `rtcset` sets the system clock and the RTC from six
// numbers and shows both through hwclock and date; `time` only shows them.
// The simulator stands in for /dev/rtc, settimeofday, hwclock and date.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

namespace {

const long long kStart = 1700000000; // 2023-11-14 22:13:20 UTC
const char kNoChange[] = "";

// What hwclock prints for the RTC (always UTC) and date for the system
// clock (local time of the zone given).
std::string hwclock_line(long long sec)
{
    time_t t = static_cast<time_t>(sec);
    struct tm tm;
    gmtime_r(&t, &tm);
    char b[64];
    std::strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(b) + ".000000+00:00\n";
}

std::string date_line(long long sec, int utc_offset, const char *zone)
{
    time_t t = static_cast<time_t>(sec + utc_offset);
    struct tm tm;
    gmtime_r(&t, &tm);
    char b[64];
    std::strftime(b, sizeof b, "%a %b %e %H:%M:%S ", &tm);
    char y[16];
    std::strftime(y, sizeof y, "%Y", &tm);
    return std::string(b) + zone + " " + y + "\n";
}

// The clock-related trace lines, without time stamps or descriptor numbers.
std::vector<std::string> clock_events(const std::vector<std::string> &trace, std::string *fd_note)
{
    std::vector<std::string> out;
    std::string open_fd, close_fd;
    for (const qntest::Event &e : qntest::events(trace)) {
        std::string r = e.rest;
        if (e.kind == "open" && qntest::starts_with(r, "/dev/rtc")) {
            size_t p = r.find(" fd=");
            if (p != std::string::npos) {
                open_fd = r.substr(p + 4);
                r = r.substr(0, p);
            }
        } else if (e.kind == "close" && r.find("/dev/rtc") != std::string::npos) {
            close_fd = r.substr(0, r.find(' '));
            r = "/dev/rtc";
        } else if (e.kind != "settimeofday" && e.kind != "usleep" && e.kind != "system" &&
                   !(e.kind == "ioctl" && qntest::starts_with(r, "RTC_SET_TIME"))) {
            continue;
        }
        out.push_back(e.kind + " " + r);
    }
    if (fd_note)
        *fd_note = "open fd=" + open_fd + " close " + close_fd;
    return out;
}

struct Clocks {
    long long sys = -1, rtc = -1;
};

// Ask the simulator for both clocks, in seconds since the epoch (UTC).
Clocks read_clocks(PtyShell &sh)
{
    sh.ctl("clock");
    EXPECT_TRUE(sh.ctl_sync());
    Clocks c;
    std::vector<std::string> l = sh.trace_grep(" clock sys=");
    if (l.empty())
        return c;
    const std::string &s = l.back();
    c.sys = std::atoll(s.c_str() + s.find("sys=") + 4);
    struct tm tm = {};
    size_t r = s.find("rtc=");
    if (r != std::string::npos && strptime(s.c_str() + r + 4, "%Y-%m-%d %H:%M:%S", &tm))
        c.rtc = timegm(&tm);
    return c;
}

// A clock set to `want` a moment ago reads want .. want+3.
void expect_near(long long got, long long want, const char *which)
{
    EXPECT_GE(got, want) << which;
    EXPECT_LE(got, want + 3) << which;
}

// True if `out` is exactly prefix + hwclock line + date line for readings
// taken up to 3 s after the clocks were set (they tick while the test runs).
bool shows_clocks(const std::string &out, const std::string &prefix, long long rtc, long long sys, int offset = 0,
                  const char *zone = "UTC")
{
    for (long long d = 0; d <= 3; ++d)
        for (long long e = d; e <= 3; ++e)
            if (out == prefix + hwclock_line(rtc + d) + date_line(sys + e, offset, zone))
                return true;
    return false;
}

// A started shell whose clocks begin at kStart.
std::unique_ptr<PtyShell> start(const char *missing = nullptr, const char *fail = nullptr, const char *tz = nullptr,
                                bool split_stdout = false)
{
    std::map<std::string, std::string> env = {{"QNSIM_TIME", std::to_string(kStart)}};
    if (missing)
        env["QNSIM_MISSING"] = missing;
    if (fail)
        env["QNSIM_FAIL"] = fail;
    if (tz)
        env["TZ"] = tz;
    std::unique_ptr<PtyShell> sh(new PtyShell(PtyShell::with(env, split_stdout)));
    EXPECT_TRUE(sh->wait_prompt()) << esc(sh->peek());
    return sh;
}

// Runs one command line through the step runner; the clocks tick while the
// test runs, so what it printed is returned for shows_clocks(), and the
// clock requests are compared as clock_events().
std::string run(PtyShell &sh, const std::string &cmd)
{
    return qntest::run_step(sh, {cmd, "", {}, {}, {}, qntest::kAnyOut | qntest::kAnyRequests}).out;
}

// ------------------------------------------------------------------ rtcset

// Accepted dates: the echo line shows the numbers as typed, both clocks get
// the normalised date, the RTC gets the normalised calendar fields (the
// typed ones, not their UTC equivalent, outside UTC too); the system clock
// gets the true instant.
struct SetCase {
    const char *name;
    const char *cmd;
    const char *echo;   // the "Input:" line
    long long secs;     // the date as if it were UTC: what the RTC is set to
    const char *rtc_tm; // RTC_SET_TIME as traced
    const char *tz = nullptr;
    int offset = 0; // local time minus UTC
    const char *zone = "UTC";
};

const SetCase kSetCases[] = {
    {"Plain", "rtcset 2024 05 06 07 08 09", "Input:2024-05-06 07:08:09\n", 1714979289,
     "tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0"},
    {"MonthThirteenRollsIntoNextYear", "rtcset 2024 13 1 0 0 0", "Input:2024-13-01 00:00:00\n", 1735689600,
     "tm=2025-01-01 00:00:00 wday=3 yday=0 isdst=0"},
    {"DayZeroIsLastDayOfPreviousMonth", "rtcset 2024 3 0 12 0 0", "Input:2024-03-00 12:00:00\n", 1709208000,
     "tm=2024-02-29 12:00:00 wday=4 yday=59 isdst=0"},
    {"HexYear", "rtcset 0x7e8 5 6 7 8 9", "Input:2024-05-06 07:08:09\n", 1714979289,
     "tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0"},
    {"SeventhNumberIgnored", "rtcset 2024 5 6 7 8 9 10", "Input:2024-05-06 07:08:09\n", 1714979289,
     "tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0"},
    {"SeventhWordNotLookedAt", "rtcset 2024 5 6 7 8 9 zz", "Input:2024-05-06 07:08:09\n", 1714979289,
     "tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0"},
    {"SecondsRollIntoNextMinute", "rtcset 2023 12 31 23 59 60", "Input:2023-12-31 23:59:60\n", 1704067200,
     "tm=2024-01-01 00:00:00 wday=1 yday=0 isdst=0"},
    {"RtcGetsLocalFieldsOutsideUtc", "rtcset 2024 05 06 07 08 09", "Input:2024-05-06 07:08:09\n", 1714979289,
     "tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0", "XST-1", 3600, "XST"},
};

void PrintTo(const SetCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class RtcSet : public ::testing::TestWithParam<SetCase> {};

TEST_P(RtcSet, SetsBothClocksThenShowsThem)
{
    const SetCase &c = GetParam();
    const long long sys = c.secs - c.offset;
    std::unique_ptr<PtyShell> sh = start(nullptr, nullptr, c.tz);
    std::string out = run(*sh, c.cmd);
    Clocks now = read_clocks(*sh);
    const std::string echo = std::string("\n") + c.echo;
    EXPECT_TRUE(shows_clocks(out, echo, c.secs, sys, c.offset, c.zone))
        << esc(out) << "\nwant: " << esc(echo + hwclock_line(c.secs) + date_line(sys, c.offset, c.zone));
    std::string fds;
    std::vector<std::string> want = {
        "open /dev/rtc",
        "settimeofday " + std::to_string(sys) + ".000000 ret=0",
        std::string("ioctl RTC_SET_TIME ") + c.rtc_tm + " ret=0",
        "close /dev/rtc",
        "usleep 100000",
        "system hwclock",
        "system date",
    };
    EXPECT_EQ(clock_events(sh->trace(), &fds), want);
    std::string open_fd = fds.substr(8, fds.find(' ', 8) - 8);
    EXPECT_EQ(fds, "open fd=" + open_fd + " close fd=" + open_fd) << "the descriptor opened is the one closed";
    expect_near(now.sys, sys, "system clock");
    expect_near(now.rtc, c.secs, "RTC");
}

INSTANTIATE_TEST_SUITE_P(Clock, RtcSet, ::testing::ValuesIn(kSetCases),
                         [](const ::testing::TestParamInfo<SetCase> &i) { return std::string(i.param.name); });

// Refused or failing dates: what is printed, which requests are made, and
// which clocks end up changed.
struct FailCase {
    const char *name;
    const char *missing;
    const char *fail;
    const char *cmd;
    const char *out; // after the interpreter's line feed
    std::vector<std::string> events;
    long long sys, rtc; // expected clocks; kStart for unchanged
};

const std::vector<FailCase> &fail_cases()
{
    static const std::vector<FailCase> cases = {
        {"FiveNumbersDoNothing", nullptr, nullptr, "rtcset 2024 5 6 7 8", kNoChange, {}, kStart, kStart},
        {"NoNumbersDoNothing", nullptr, nullptr, "rtcset", kNoChange, {}, kStart, kStart},
        {"BadWordIsNamed", nullptr, nullptr, "rtcset 2024 5 Xx 7 8 9", "\nwrong arg 2:(xx)\n", {}, kStart, kStart},
        {"BadLastWordIsNamed", nullptr, nullptr, "rtcset 2024 5 6 7 8 9s", "\nwrong arg 5:(9s)\n", {}, kStart, kStart},
        {"RtcCannotBeOpened",
         "rtc",
         nullptr,
         "rtcset 2024 05 06 07 08 09",
         "\nopen rtc failed!\n",
         {"open /dev/rtc missing"},
         kStart,
         kStart},
        {"RtcRequestFails",
         nullptr,
         "RTC_SET_TIME",
         "rtcset 2024 05 06 07 08 09",
         "Input:2024-05-06 07:08:09\nread rtc time failed\n",
         {"open /dev/rtc", "settimeofday 1714979289.000000 ret=0",
          "ioctl RTC_SET_TIME tm=2024-05-06 07:08:09 wday=1 yday=126 isdst=0 ret=-1", "close /dev/rtc"},
         1714979289,
         kStart},
        {"SystemClockCannotBeSet",
         nullptr,
         "settimeofday",
         "rtcset 2024 05 06 07 08 09",
         "Input:2024-05-06 07:08:09\nSet system datatime error!\n",
         {"open /dev/rtc", "settimeofday 1714979289.000000 ret=-1", "close /dev/rtc"},
         kStart,
         kStart},
        // 22813 months from the largest year carry the year past what the C
        // library's broken-down time can hold: the date has no seconds value.
        {"DateBeyondTheCalendar",
         nullptr,
         nullptr,
         "rtcset 2147483647 22813 1 0 0 0",
         "Input:2147483647-22813-01 00:00:00\nSet system datatime error!\n",
         {"open /dev/rtc", "close /dev/rtc"},
         kStart,
         kStart},
    };
    return cases;
}

void PrintTo(const FailCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class RtcSetRefused : public ::testing::TestWithParam<FailCase> {};

TEST_P(RtcSetRefused, ReportsAndLeavesClocks)
{
    const FailCase &c = GetParam();
    std::unique_ptr<PtyShell> sh = start(c.missing, c.fail);
    qntest::run_step(*sh, {c.cmd, c.out, {}, {}, {}, qntest::kAnyRequests});
    std::string fds;
    EXPECT_EQ(clock_events(sh->trace(), &fds), c.events);
    if (c.events.size() > 1) {
        std::string open_fd = fds.substr(8, fds.find(' ', 8) - 8);
        EXPECT_EQ(fds, "open fd=" + open_fd + " close fd=" + open_fd);
    }
    Clocks now = read_clocks(*sh);
    expect_near(now.sys, c.sys, "system clock");
    expect_near(now.rtc, c.rtc, "RTC");
}

INSTANTIATE_TEST_SUITE_P(Clock, RtcSetRefused, ::testing::ValuesIn(fail_cases()),
                         [](const ::testing::TestParamInfo<FailCase> &i) { return std::string(i.param.name); });

// The shell keeps working after a refused date, and the device was released:
// a second attempt opens it again.
TEST(ClockRtcSet, RetryAfterRtcFailureOpensDeviceAgain)
{
    std::unique_ptr<PtyShell> sh = start(nullptr, "RTC_SET_TIME");
    run(*sh, "rtcset 2024 05 06 07 08 09");
    run(*sh, "rtcset 2024 05 06 07 08 10");
    std::vector<std::string> ev = clock_events(sh->trace(), nullptr);
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "open /dev/rtc"), 2) << ::testing::PrintToString(ev);
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "close /dev/rtc"), 2) << ::testing::PrintToString(ev);
}

// With standard output on a pipe (fully buffered), what the shell printed
// must reach it before hwclock and date write theirs.
TEST(ClockRtcSet, EchoLineComesBeforeToolOutputOnPipe)
{
    std::unique_ptr<PtyShell> sh = start(nullptr, nullptr, nullptr, true);
    std::string text = run(*sh, "rtcset 2024 05 06 07 08 09");
    EXPECT_TRUE(shows_clocks(text, "\nInput:2024-05-06 07:08:09\n", 1714979289, 1714979289)) << esc(text);
}

TEST(ClockTime, PipeGetsLineFeedBeforeToolOutput)
{
    std::unique_ptr<PtyShell> sh = start(nullptr, nullptr, nullptr, true);
    std::string text = run(*sh, "time");
    EXPECT_TRUE(shows_clocks(text, "\n", kStart, kStart)) << esc(text);
}

// ------------------------------------------------------------------ time

// Words after it change nothing.
TEST(ClockTime, ShowsRtcThenSystemTime)
{
    std::unique_ptr<PtyShell> sh = start();
    for (const char *cmd : {"time", "time 2024 05 06 07 08 09"}) {
        SCOPED_TRACE(cmd);
        size_t mark = sh->mark();
        std::string out = run(*sh, cmd);
        EXPECT_TRUE(shows_clocks(out, "\n", kStart, kStart)) << esc(out);
        EXPECT_EQ(clock_events(sh->trace_since(mark), nullptr),
                  (std::vector<std::string>{"system hwclock", "system date"}));
    }
    Clocks now = read_clocks(*sh);
    expect_near(now.sys, kStart, "system clock");
    expect_near(now.rtc, kStart, "RTC");
}

// After rtcset, time shows the clocks as they were set: the RTC in its own
// fields, the system clock in local time.
TEST(ClockTime, ShowsWhatRtcsetSet)
{
    std::unique_ptr<PtyShell> sh = start(nullptr, nullptr, "XST-1");
    run(*sh, "rtcset 2024 3 0 12 0 0");
    std::string out = run(*sh, "time");
    EXPECT_TRUE(shows_clocks(out, "\n", 1709208000, 1709208000 - 3600, 3600, "XST")) << esc(out);
}

} // namespace
