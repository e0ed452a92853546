// The LD_PRELOAD transport's own trace lines (descriptors, sleeps, the
// system clock, RTC_SET_TIME), byte for byte, and cut like the model's.
#include <gtest/gtest.h>

#include <errno.h>

#include <string>

#include "qn_model.h"
#include "trace_lines.h"

namespace {

using namespace qnsim;

TEST(TransportLines, EachKind)
{
    int tm[9] = {5, 4, 3, 2, 0, 130, 0, 0, 0};
    EXPECT_EQ(line_rtc_set(7, tm, 0), "7 ioctl RTC_SET_TIME tm=2030-01-02 03:04:05 wday=0 yday=0 isdst=0 ret=0\n");
    tm[4] = 12;
    EXPECT_EQ(line_rtc_set(7, tm, -EINVAL),
              "7 ioctl RTC_SET_TIME tm=2030-13-02 03:04:05 wday=0 yday=0 isdst=0 ret=-1\n");
    EXPECT_EQ(line_open(9, "/dev/panel", 8), "9 open /dev/panel fd=8\n");
    EXPECT_EQ(line_open_refused(9, "/dev/rtc", "missing"), "9 open /dev/rtc missing\n");
    EXPECT_EQ(line_close(9, 7, "/dev/tw_286x"), "9 close fd=7 /dev/tw_286x\n");
    long long sec = 1893553445;
    EXPECT_EQ(line_settimeofday(9, &sec, 5, 0), "9 settimeofday 1893553445.000005 ret=0\n");
    EXPECT_EQ(line_settimeofday(9, nullptr, 0, -EPERM), "9 settimeofday NULL ret=-1\n");
    EXPECT_EQ(line_system(9, "hwclock -w"), "9 system hwclock -w\n");
    EXPECT_EQ(line_usleep(9, 100000), "9 usleep 100000\n");
    EXPECT_EQ(line_usleep(-3, 0), "-3 usleep 0\n");
    EXPECT_EQ(line_dropped(12, 4), "12 trace-dropped 4\n");
}

TEST(TransportLines, LongLinesAreCutLikeTheModels)
{
    std::string cmd(2 * QNM_TRACE_MAX, 'x');
    std::string l = line_system(1, cmd.c_str());
    ASSERT_EQ(l.size(), size_t(QNM_TRACE_MAX - 1));
    EXPECT_EQ(l.substr(0, 9), "1 system ");
    EXPECT_EQ(l.back(), '\n');
    EXPECT_EQ(l[l.size() - 2], 'x');
}

} // namespace
