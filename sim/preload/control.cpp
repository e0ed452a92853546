// The control FIFO: a thread of its own reads lines and hands each to the
// model's control language under the model lock.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

void ctl_line(Sim &s, const std::string &line)
{
    switch (qnm_control(&s.model, line.data(), line.size(), nullptr, 0)) {
    case QNM_CTL_CLOCK:
        emit_clock(s);
        break;
    default: // a reset re-applied the settings itself
        break;
    }
    panel_deliver(s);
}

void *ctl_thread(void *arg)
{
    Sim &s = *static_cast<Sim *>(arg);
    t_busy = 1; // nothing this thread calls is the product's
    std::string buf;
    char tmp[512];
    for (;;) {
        ssize_t n = REAL(read)(s.ctl_fd, tmp, sizeof tmp);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        buf.append(tmp, size_t(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::lock_guard<std::mutex> lock(s.mu);
            ctl_line(s, line);
        }
    }
}

} // namespace

void ctl_start(Sim &s, const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 && mkfifo(path, 0600) != 0)
        return warn("QNSIM_CTL", path);
    s.ctl_fd = REAL(open)(path, O_RDWR | O_CLOEXEC); // O_RDWR: never sees EOF
    if (s.ctl_fd < 0)
        return warn("QNSIM_CTL", path);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old); // signals stay with the product's threads
    pthread_t th;
    if (pthread_create(&th, nullptr, ctl_thread, &s) == 0)
        pthread_detach(th);
    else
        warn("QNSIM_CTL", path);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

} // namespace qnsim
