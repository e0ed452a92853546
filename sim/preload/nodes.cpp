// The board's device nodes as descriptors of this process: opening them,
// forgetting them, the panel stream's socket pairs, and the request block
// carried between the caller's memory and the model.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

// The caller's block is read only when its pointer can be valid at all.
bool block_readable(const void *arg)
{
    return uintptr_t(arg) >= 4096;
}

void panel_push(int peer, const uint8_t *bytes, size_t n)
{
    if (n && send(peer, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        qnm_event ev{};
        ev.kind = QNM_EV_PANEL_DROP;
        ev.u.panel.len = n;
        emit(ev);
    }
}

} // namespace

// Bytes the model's panel stream holds go to every open panel descriptor;
// while none is open they wait in the model.
void panel_deliver(Sim &s)
{
    if (s.panel_peer.empty())
        return;
    uint8_t buf[512];
    int n;
    while ((n = qnm_panel_read(&s.model, buf, sizeof buf)) > 0)
        for (auto &p : s.panel_peer)
            panel_push(p.second, buf, size_t(n));
}

void forget_fd(Sim &s, int fd)
{
    auto it = s.fds.find(fd);
    if (it == s.fds.end())
        return;
    auto peer = s.panel_peer.find(fd);
    if (peer != s.panel_peer.end()) {
        REAL(close)(peer->second);
        s.panel_peer.erase(peer);
    }
    s.fds.erase(it);
}

// Returns true if path is one of the board's nodes; *ret is then the result.
bool fake_open(const char *path, int flags, int *ret)
{
    Sim *sp = active();
    int n = sp ? qnm_node_by_path(path) : -1;
    if (n < 0)
        return false;
    Guard g(*sp);
    Sim &s = *sp;
    *ret = -1;
    if (s.missing[n] || s.deny[n]) {
        sink_line(line_open_refused(now_us(), path, s.missing[n] ? "missing" : "denied"));
        errno = s.missing[n] ? ENOENT : EACCES;
        return true;
    }
    int fd;
    if (n == QNM_NODE_PANEL) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0)
            return true;
        fd = sv[0];
        if (!(flags & O_CLOEXEC))
            fcntl(fd, F_SETFD, 0);
        if (flags & O_NONBLOCK)
            fcntl(fd, F_SETFL, O_NONBLOCK);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        forget_fd(s, fd);
        s.panel_peer[fd] = sv[1];
        panel_deliver(s);
    } else {
        fd = REAL(open)("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        if (fd < 0)
            return true;
        forget_fd(s, fd);
    }
    s.fds[fd] = qnm_node(n);
    sink_line(line_open(now_us(), path, fd));
    *ret = fd;
    return true;
}

// A real descriptor reusing a number we still hold means ours was closed
// behind our back; drop the stale entry.
int note_real_fd(int fd)
{
    Sim *sp = active();
    if (fd >= 0 && sp) {
        int saved = errno;
        Guard g(*sp);
        forget_fd(*sp, fd);
        errno = saved;
    }
    return fd;
}

void note_read(int fd, const void *buf, ssize_t r)
{
    Sim *sp = active();
    if (r <= 0 || !sp)
        return;
    int saved = errno;
    Guard g(*sp);
    auto it = sp->fds.find(fd);
    if (it != sp->fds.end() && it->second == QNM_NODE_PANEL) {
        qnm_event ev{};
        ev.kind = QNM_EV_PANEL_READ;
        ev.u.panel.bytes = static_cast<const uint8_t *>(buf);
        ev.u.panel.len = size_t(r);
        emit(ev);
    }
    errno = saved;
}

// A request on one of our descriptors: the block comes in from the caller's
// memory once, the model serves it, and only the words it changed go back.
int do_ioctl(Sim &s, qnm_node node, unsigned long req, void *arg)
{
    bool readable = block_readable(arg);
    if (qnm_call_of(node, req) == QNM_CALL_RTC_SET)
        return rtc_set(s, arg, readable);
    uint32_t in[5] = {}, w[5];
    if (readable)
        memcpy(in, arg, sizeof in);
    memcpy(w, in, sizeof w);
    int ret = qnm_ioctl(&s.model, node, req, readable ? w : nullptr);
    for (int i = 0; i < 5; ++i)
        if (w[i] != in[i])
            memcpy(static_cast<char *>(arg) + 4 * i, &w[i], 4);
    errno = -ret;
    return ret ? -1 : 0;
}

} // namespace qnsim
