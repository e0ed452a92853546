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
            apply_control(s, line, nullptr, 0);
        }
    }
}

} // namespace

int apply_control(Sim &s, const std::string &line, char *err, size_t errsize)
{
    std::lock_guard<std::mutex> lock(s.mu);
    const int r = qnm_control(&s.model, line.data(), line.size(), err, errsize);
    if (r == QNM_CTL_CLOCK)
        emit_clock(s);
    panel_deliver(s);
    return r;
}

void start_thread(void *(*fn)(void *), Sim &s, const char *setting, const char *path)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t th;
    if (pthread_create(&th, nullptr, fn, &s) == 0)
        pthread_detach(th);
    else
        warn(setting, path);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ctl_start(Sim &s, const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 && mkfifo(path, 0600) != 0)
        return warn("QNSIM_CTL", path);
    s.ctl_fd = REAL(open)(path, O_RDWR | O_CLOEXEC); // O_RDWR: never sees EOF
    if (s.ctl_fd < 0)
        return warn("QNSIM_CTL", path);
    start_thread(ctl_thread, s, "QNSIM_CTL", path);
}

} // namespace qnsim
