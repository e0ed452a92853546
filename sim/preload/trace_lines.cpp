// The transport's own trace lines (see trace_lines.h).
#include "trace_lines.h"

#include <stdarg.h>

#include "qn_model.h"

namespace qnsim {
namespace {

std::string line(int64_t t_us, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string line(int64_t t_us, const char *fmt, ...)
{
    char buf[QNM_TRACE_MAX];
    qnm_text t;
    qnm_text_init(&t, buf, sizeof buf);
    qnm_text_add(&t, "%lld ", (long long)t_us);
    va_list ap;
    va_start(ap, fmt);
    qnm_text_vadd(&t, fmt, ap);
    va_end(ap);
    return std::string(buf, qnm_text_line(&t)); // cut as the model cuts its lines
}

int ret_word(int ret)
{
    return ret < 0 ? -1 : 0;
}

} // namespace

std::string line_open(int64_t t_us, const char *path, int fd)
{
    return line(t_us, "open %s fd=%d", path, fd);
}

std::string line_open_refused(int64_t t_us, const char *path, const char *why)
{
    return line(t_us, "open %s %s", path, why);
}

std::string line_close(int64_t t_us, int fd, const char *path)
{
    return line(t_us, "close fd=%d %s", fd, path);
}

std::string line_rtc_set(int64_t t_us, const int f[9], int ret)
{
    return line(t_us,
                "ioctl %s tm=%04lld-%02lld-%02d %02d:%02d:%02d"
                " wday=%d yday=%d isdst=%d ret=%d",
                qnm_call_name(QNM_CALL_RTC_SET), (long long)f[5] + 1900, (long long)f[4] + 1, f[3], f[2], f[1], f[0],
                f[6], f[7], f[8], ret_word(ret));
}

std::string line_settimeofday(int64_t t_us, const long long *sec, long usec, int ret)
{
    if (!sec)
        return line(t_us, "settimeofday NULL ret=%d", ret_word(ret));
    return line(t_us, "settimeofday %lld.%06ld ret=%d", *sec, usec, ret_word(ret));
}

std::string line_system(int64_t t_us, const char *cmd)
{
    return line(t_us, "system %s", cmd);
}

std::string line_usleep(int64_t t_us, unsigned long usec)
{
    return line(t_us, "usleep %lu", usec);
}

std::string line_dropped(int64_t t_us, unsigned long count)
{
    char buf[64];
    return std::string(buf, qnm_format_dropped(buf, sizeof buf, t_us, QNM_DROPPED_TRACE, count));
}

} // namespace qnsim
