// Clock: set the system clock and the RTC, show both.
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "add_func.h"
#include "parse_cmd.h"

namespace {

// hwclock and date write straight to the console; what we printed before
// must be out first.
void run(const char *command)
{
    fflush(stdout);
    if (system(command) != 0) {
        // Their exit status tells nothing more than their own output.
    }
}

void show_clocks()
{
    run("hwclock");
    run("date");
}

} // namespace

// The RTC request takes struct rtc_time, whose nine ints are the first nine
// fields of struct tm in order and meaning.
static_assert(sizeof(int) * 9 == 36 && offsetof(struct tm, tm_isdst) == 8 * sizeof(int), "tm starts as rtc_time");

namespace {

// The broken-down time of the six typed numbers. Subtract in unsigned
// arithmetic: any typed year or month (up to 4294967295) then gives a defined
// field value instead of an overflow.
void fill_tm(struct tm &tm, const uint32_t (&buf)[6])
{
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = (int)(buf[0] - 1900u);
    tm.tm_mon = (int)(buf[1] - 1u);
    tm.tm_mday = (int)buf[2];
    tm.tm_hour = (int)buf[3];
    tm.tm_min = (int)buf[4];
    tm.tm_sec = (int)buf[5];
    // The typed time is the wall-clock time: whether summer time is in force
    // then is for mktime to decide (under UTC it never is).
    tm.tm_isdst = -1;
}

// Sets the system clock, then the RTC on `fd`, from the typed time. Returns
// null, or the line that names what failed. A date that time_t cannot hold
// (with a 32-bit time_t, any year after 2037) must not set the clock to 1969:
// it changes neither clock.
const char *set_clocks(int fd, const uint32_t (&buf)[6])
{
    struct tm tm;
    fill_tm(tm, buf);
    const time_t t = mktime(&tm);
    struct timeval tv;
    tv.tv_sec = t;
    tv.tv_usec = 0;
    if (t == (time_t)-1 || settimeofday(&tv, NULL) < 0)
        return "Set system datatime error!";
    // The RTC request stays apart from the board drivers' request path
    // (add_func): it carries the 36-byte struct rtc_time, not their five-word
    // block, on a node this command opens and closes itself.
    if (ioctl(fd, QN_RTC_SET_TIME, &tm) < 0)
        return "read rtc time failed";
    return NULL;
}

} // namespace

void rtc_set_time(int argc, char **argv)
{
    uint32_t buf[6];
    memset(buf, 0, sizeof(buf));
    if (check_args(argc, argv, buf, 6) != 0)
        return;
    int fd = open(QN_DEV_RTC, O_RDWR);
    if (fd < 0) {
        puts("\nopen rtc failed!");
        return;
    }
    printf("Input:%04d-%02d-%02d %02d:%02d:%02d\n", (int)buf[0], (int)buf[1], (int)buf[2], (int)buf[3], (int)buf[4],
           (int)buf[5]);
    const char *failed = set_clocks(fd, buf);
    close(fd);
    if (failed != NULL) {
        puts(failed);
        return;
    }
    usleep(100000);
    show_clocks();
}

void read_time(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    show_clocks();
}
