// qnsim: board simulator for qn_shell.
//
// Loaded with LD_PRELOAD, it stands in for the DVR main board's kernel
// drivers (/dev/qn_KD300, /dev/tw_286x, /dev/panel, /dev/rtc) and for the
// calls that would touch the machine's clock (settimeofday, hwclock, date),
// so the unchanged shell binary runs on a PC.  Everything it does not fake
// is handed to the next definition in the link chain.
//
// This file holds the interposed entry points; the board they reach is the
// model of sim/model.  Settings come from QNSIM_* environment variables,
// read once at load time; a control FIFO lets a test feed panel bytes and
// poke the hardware; device events go to a trace file and GPIO levels to a
// VCD waveform.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

extern char **environ;
extern "C" int __open_2(const char *path, int flags);
extern "C" int __open64_2(const char *path, int flags);
extern "C" ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen);

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace qnsim {

thread_local int t_busy = 0;
std::atomic<Sim *> g_sim{nullptr};

Sim *active()
{
    return t_busy ? nullptr : g_sim.load(std::memory_order_acquire);
}

namespace {

// The shell a pass-through system() starts must not load the simulator again.
int system_without_preload(const char *cmd)
{
    std::vector<char *> env;
    for (char **e = environ; e && *e; ++e)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    char **saved = environ;
    environ = env.data();
    int r = REAL(system)(cmd);
    environ = saved;
    return r;
}

// Set by the launcher: the board link is announced once clients can connect, then the
// program waits QNSIM_PAUSE seconds (on a terminal, time to read the launcher's notes
// before the shell clears the screen) while the link and the control FIFO already serve.
void launcher_pause(const char *link)
{
    const char *p = getenv("QNSIM_PAUSE");
    if (!p)
        return;
    uint32_t seconds = 0;
    if (!qnm_parse_u32(p, strlen(p), 10, &seconds)) {
        warn("QNSIM_PAUSE", p);
        seconds = 0;
    }
    unsetenv("QNSIM_PAUSE");
    if (link) {
        std::string m = std::string("qnsim: board link ") + link + "\n";
        if (write(2, m.data(), m.size()) < 0) {
        }
    }
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

__attribute__((constructor)) void qnsim_init()
{
    t_busy = 1;
    clock_start();
    Sim *s = new Sim();
    load_settings(*s);
    if (const char *t = getenv("QNSIM_TRACE"))
        trace_open(t);
    if (const char *v = getenv("QNSIM_VCD"))
        vcd_open(*s, v);
    qnm_observer obs = observer();
    qnm_set_observer(&s->model, &obs);
    g_sim.store(s, std::memory_order_release);
    if (const char *c = getenv("QNSIM_CTL"))
        ctl_start(*s, c);
    const char *link = getenv("QNSIM_LINK");
    const bool linked = link && link_start(*s, link);
    t_busy = 0;
    launcher_pause(linked ? link : nullptr);
}

mode_t open_mode(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, unsigned)) : 0;
}

} // namespace
} // namespace qnsim

using namespace qnsim;

// ---------------------------------------------------------------------------
// Interposed entry points.

#define OPEN_BODY(call)                                                                                                \
    va_list ap;                                                                                                        \
    va_start(ap, flags);                                                                                               \
    mode_t mode = open_mode(flags, ap);                                                                                \
    va_end(ap);                                                                                                        \
    int fd;                                                                                                            \
    if (fake_open(path, flags, &fd))                                                                                   \
        return fd;                                                                                                     \
    return note_real_fd(call)

EXPORT int open(const char *path, int flags, ...)
{
    OPEN_BODY(REAL(open)(path, flags, mode));
}
EXPORT int open64(const char *path, int flags, ...)
{
    OPEN_BODY(REAL(open64)(path, flags, mode));
}
EXPORT int openat(int dir, const char *path, int flags, ...)
{
    OPEN_BODY(REAL(openat)(dir, path, flags, mode));
}
EXPORT int openat64(int dir, const char *path, int flags, ...)
{
    OPEN_BODY(REAL(openat64)(dir, path, flags, mode));
}
EXPORT int __open_2(const char *path, int flags)
{
    int fd;
    if (fake_open(path, flags, &fd))
        return fd;
    return note_real_fd(REAL(__open_2)(path, flags));
}
EXPORT int __open64_2(const char *path, int flags)
{
    int fd;
    if (fake_open(path, flags, &fd))
        return fd;
    return note_real_fd(REAL(__open64_2)(path, flags));
}

EXPORT ssize_t read(int fd, void *buf, size_t n)
{
    ssize_t r = REAL(read)(fd, buf, n);
    note_read(fd, buf, r);
    return r;
}
EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
    ssize_t r = REAL(__read_chk)(fd, buf, n, buflen);
    note_read(fd, buf, r);
    return r;
}

EXPORT int ioctl(int fd, unsigned long req, ...) noexcept
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (Sim *s = active()) {
        Guard g(*s);
        auto it = s->fds.find(fd);
        if (it != s->fds.end())
            return do_ioctl(*s, it->second, req, arg);
    } // not ours: the lock is released before passing it on
    return REAL(ioctl)(fd, req, arg);
}

EXPORT int access(const char *path, int mode) noexcept
{
    Sim *s = active();
    int n = s ? qnm_node_by_path(path) : -1;
    if (n < 0)
        return REAL(access)(path, mode);
    if (s->missing[n] || (mode & X_OK)) {
        errno = s->missing[n] ? ENOENT : EACCES;
        return -1;
    }
    return 0;
}

EXPORT int close(int fd)
{
    if (Sim *s = active()) {
        Guard g(*s);
        auto it = s->fds.find(fd);
        if (it != s->fds.end()) {
            sink_line(line_close(now_us(), fd, qnm_node_path(it->second)));
            forget_fd(*s, fd);
        }
    }
    return REAL(close)(fd);
}

// Never reaches the machine's clock.
EXPORT int settimeofday(const struct timeval *tv, const struct timezone *) noexcept
{
    Sim *s = g_sim.load(std::memory_order_acquire);
    if (!s) {
        errno = EPERM;
        return -1;
    }
    Guard g(*s);
    int err = 0;
    if (qnm_fault_due(&s->model, kSlotSettimeofday))
        err = EPERM;
    else if (tv && (tv->tv_usec < 0 || tv->tv_usec >= 1000000))
        err = EINVAL;
    else if (tv)
        s->clk.sys_base_us = int64_t(tv->tv_sec) * 1000000 + tv->tv_usec, s->clk.sys_mark_us = now_us();
    long long sec = tv ? (long long)tv->tv_sec : 0;
    sink_line(line_settimeofday(now_us(), tv ? &sec : nullptr, tv ? long(tv->tv_usec) : 0, -err));
    errno = err;
    return err ? -1 : 0;
}

EXPORT int system(const char *cmd)
{
    std::vector<std::string> w = words(cmd ? cmd : "");
    std::string tool = w.empty() ? "" : w[0].substr(w[0].rfind('/') + 1);
    if (tool != "hwclock" && tool != "date")
        return t_busy || !cmd ? REAL(system)(cmd) : system_without_preload(cmd);
    Sim *s = g_sim.load(std::memory_order_acquire);
    if (!s)
        return 127 << 8;
    Guard g(*s);
    sink_line(line_system(now_us(), cmd));
    // Arguments end at the first shell operator; a redirection of stdout
    // discards the output.
    std::vector<std::string> args;
    bool quiet = false;
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i].find_first_of(";|&<>") != std::string::npos) {
            quiet = w[i].find('>') != std::string::npos && w[i].rfind("2>", 0) != 0;
            break;
        }
        args.push_back(w[i]);
    }
    return run_clock_tool(*s, tool, args, quiet);
}

EXPORT int usleep(useconds_t usec)
{
    Sim *s = active();
    if (!s)
        return REAL(usleep)(usec);
    sink_line(line_usleep(now_us(), usec));
    if (s->fast && pid_t(syscall(SYS_gettid)) == s->main_tid) {
        advance_virtual(usec);
        return 0;
    }
    return REAL(usleep)(usec);
}
