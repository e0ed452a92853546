// The trace file and the VCD waveform: every event of the board, formatted
// by the model's own formatter, written with one write() each.
#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

int g_trace_fd = -1;
int g_vcd_fd = -1;
qnm_vcd g_vcd; // touched under the model lock only (pin changes happen there)

void write_all(int fd, const char *buf, size_t n)
{
    if (n && write(fd, buf, n) < 0) {
    }
}

void observe(void *, int64_t t_us, const qnm_event *ev)
{
    sink_event(t_us, *ev);
}
int64_t observe_now(void *)
{
    return now_us();
}

} // namespace

void sink_event(int64_t t_us, const qnm_event &ev)
{
    int saved = errno;
    link_event(t_us, ev);
    char buf[QNM_TRACE_MAX];
    if (ev.kind == QNM_EV_PINS) {
        if (g_vcd_fd >= 0)
            write_all(g_vcd_fd, buf, qnm_format_vcd_change(buf, sizeof buf, &g_vcd, t_us, &ev));
    } else if (g_trace_fd >= 0) {
        write_all(g_trace_fd, buf, qnm_format_trace(buf, sizeof buf, t_us, &ev));
    }
    errno = saved;
}

void emit(const qnm_event &ev)
{
    sink_event(now_us(), ev);
}

qnm_observer observer()
{
    qnm_observer o{};
    o.ctx = nullptr;
    o.now_us = observe_now;
    o.event = observe;
    return o;
}

void trace_open(const char *path)
{
    g_trace_fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_trace_fd < 0)
        warn("QNSIM_TRACE", path);
}

void vcd_open(Sim &s, const char *path)
{
    g_vcd_fd = REAL(open)(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_vcd_fd < 0)
        return warn("QNSIM_VCD", path);
    time_t t = time(nullptr);
    char date[64];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", gmtime(&t));
    char buf[QNM_VCD_HEADER_MAX];
    write_all(g_vcd_fd, buf, qnm_format_vcd_header(buf, sizeof buf, &g_vcd, date, &s.model));
}

} // namespace qnsim
