// Clocks: the trace's microsecond clock, the simulated system time and RTC
// (nothing here ever reaches the machine's own), the RTC driver's
// RTC_SET_TIME with its field checks, and the board's hwclock and date.
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

int64_t g_mono0_ns = 0;
std::atomic<int64_t> g_virt_us{0};

int64_t mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

void clock_start()
{
    g_mono0_ns = mono_ns();
}

// Microseconds since load: the clock of the trace, the VCD and the simulated
// clocks.  Fast mode adds the sleeps the main thread skipped.
int64_t now_us()
{
    return (mono_ns() - g_mono0_ns) / 1000 + g_virt_us.load();
}

void advance_virtual(int64_t us)
{
    g_virt_us += us;
}

int64_t sys_now_us(const Sim &s)
{
    return s.clk.sys_base_us + (now_us() - s.clk.sys_mark_us);
}
int64_t rtc_now_us(const Sim &s)
{
    return s.clk.rtc_base_us + (now_us() - s.clk.rtc_mark_us);
}

long long floor_sec(int64_t us)
{
    return us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
}

std::string utc_text(int64_t us)
{
    time_t t = time_t(floor_sec(us));
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void emit_clock(const Sim &s)
{
    std::string rtc = utc_text(rtc_now_us(s));
    qnm_event ev{};
    ev.kind = QNM_EV_CLOCK;
    ev.u.clock.sys_s = floor_sec(sys_now_us(s));
    ev.u.clock.rtc_text = rtc.c_str();
    emit(ev);
}

// RTC_SET_TIME on /dev/rtc: struct rtc_time, nine ints.
int rtc_set(Sim &s, const void *arg, bool readable)
{
    int f[9] = {};
    if (readable)
        memcpy(f, arg, sizeof f);
    int err = 0;
    if (!readable)
        err = EFAULT;
    else if (qnm_fault_due(&s.model, QNM_CALL_RTC_SET))
        err = EIO;
    else {
        // Same checks as the kernel's rtc_valid_tm().
        static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int year = f[5] + 1900;
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        if (f[5] < 70 || f[4] < 0 || f[4] > 11 || f[3] < 1 || f[3] > kDays[f[4]] + (f[4] == 1 && leap) || f[2] < 0 ||
            f[2] > 23 || f[1] < 0 || f[1] > 59 || f[0] < 0 || f[0] > 59)
            err = EINVAL;
        else {
            struct tm tm = {};
            tm.tm_sec = f[0], tm.tm_min = f[1], tm.tm_hour = f[2], tm.tm_mday = f[3], tm.tm_mon = f[4];
            tm.tm_year = f[5];
            s.clk.rtc_base_us = int64_t(timegm(&tm)) * 1000000;
            s.clk.rtc_mark_us = now_us();
        }
    }
    sink_line(line_rtc_set(now_us(), f, -err));
    errno = err;
    return err ? -1 : 0;
}

// hwclock and date, run in-process against the simulated clocks.
int run_clock_tool(Sim &s, const std::string &tool, const std::vector<std::string> &args, bool quiet)
{
    std::string out;
    bool ok = true;
    if (tool == "hwclock") {
        std::string mode = args.empty() ? "-r" : args[0];
        if (args.size() > 1)
            ok = false;
        else if (mode == "-r" || mode == "--show")
            out = utc_text(rtc_now_us(s)) + ".000000+00:00\n";
        else if (mode == "-w" || mode == "--systohc")
            s.clk.rtc_base_us = sys_now_us(s), s.clk.rtc_mark_us = now_us();
        else if (mode == "-s" || mode == "--hctosys")
            s.clk.sys_base_us = rtc_now_us(s), s.clk.sys_mark_us = now_us();
        else
            ok = false;
    } else {
        std::string fmt = "%a %b %e %H:%M:%S %Z %Y";
        if (args.size() > 1 || (args.size() == 1 && args[0][0] != '+'))
            ok = false;
        else if (args.size() == 1)
            fmt = args[0].substr(1);
        time_t t = time_t(floor_sec(sys_now_us(s)));
        struct tm tm;
        tzset();
        localtime_r(&t, &tm);
        char buf[256] = "";
        strftime(buf, sizeof buf, fmt.c_str(), &tm);
        out = std::string(buf) + "\n";
    }
    if (!ok) {
        std::string m = tool + ": option not supported by the simulator\n";
        if (write(2, m.data(), m.size()) < 0) {
        }
        return 1 << 8;
    }
    if (!quiet && !out.empty() && write(1, out.data(), out.size()) < 0) {
    }
    return 0;
}

} // namespace qnsim
