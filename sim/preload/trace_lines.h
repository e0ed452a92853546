// The LD_PRELOAD transport's own trace lines: what happens around the board
// in the product's process (descriptors of the nodes, sleeps, the system
// clock, the RTC driver's RTC_SET_TIME).  The board's own lines come from
// the model's formatter; both share the time stamp and the line length.
#pragma once

#include <stdint.h>

#include <string>

namespace qnsim {

// Each gives "T kind ...\n", cut like the model's lines at QNM_TRACE_MAX.
std::string line_open(int64_t t_us, const char *path, int fd); // open PATH fd=N
std::string line_open_refused(int64_t t_us, const char *path,
                              const char *why); // open PATH missing|denied
std::string line_close(int64_t t_us, int fd, const char *path);
// RTC_SET_TIME with its struct rtc_time (tm_sec .. tm_isdst), ret 0 or -errno
std::string line_rtc_set(int64_t t_us, const int tm[9], int ret);
// settimeofday with its time, or NULL (tv == nullptr)
std::string line_settimeofday(int64_t t_us, const long long *sec, long usec, int ret);
std::string line_system(int64_t t_us, const char *cmd);
std::string line_usleep(int64_t t_us, unsigned long usec);
// Lines a sink could not write, when it can write again.
std::string line_dropped(int64_t t_us, unsigned long count);

} // namespace qnsim
