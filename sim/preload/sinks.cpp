// The trace file, the VCD waveform and the board link's subscribers: every
// event of the board, formatted by the model's own formatter, and the
// transport's own lines.  Each trace line goes to the file (one write()) and
// to the link in one step, so both see the same lines in the same order.  A
// trace line the file refuses (a full disk) is counted; once the file takes
// lines again, a "T trace-dropped N" line says how many were lost.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

int g_trace_fd = -1;
int g_vcd_fd = -1;
qnm_vcd g_vcd;         // touched under the model lock only (pin changes happen there)
std::mutex g_trace_mu; // transport lines come from threads without the model lock
unsigned long g_trace_dropped = 0;

void write_all(int fd, const char *buf, size_t n)
{
    if (n && write(fd, buf, n) < 0) {
    }
}

bool write_whole(int fd, const char *buf, size_t n)
{
    return write(fd, buf, n) == ssize_t(n);
}

// One trace line stamped t_us to the link, and to the file after the note
// of earlier losses if any.
void trace_write(int64_t t_us, const char *buf, size_t n)
{
    if (!n)
        return;
    std::lock_guard<std::mutex> lock(g_trace_mu);
    link_line(t_us, buf, n);
    if (g_trace_fd < 0)
        return;
    if (g_trace_dropped) {
        std::string note = line_dropped(t_us, g_trace_dropped);
        if (!write_whole(g_trace_fd, note.data(), note.size())) {
            ++g_trace_dropped;
            return;
        }
        g_trace_dropped = 0;
    }
    if (!write_whole(g_trace_fd, buf, n))
        ++g_trace_dropped;
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
    char buf[QNM_TRACE_MAX];
    if (ev.kind == QNM_EV_PINS) {
        link_line(t_us, buf, qnm_format_pins(buf, sizeof buf, t_us, &ev));
        if (g_vcd_fd >= 0)
            write_all(g_vcd_fd, buf, qnm_format_vcd_change(buf, sizeof buf, &g_vcd, t_us, &ev));
    } else {
        trace_write(t_us, buf, qnm_format_trace(buf, sizeof buf, t_us, &ev));
    }
    errno = saved;
}

void sink_line(const std::string &line)
{
    int saved = errno;
    // the line starts with its time stamp, which the note of losses shares
    trace_write(strtoll(line.c_str(), nullptr, 10), line.data(), line.size());
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
