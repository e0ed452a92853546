// The board link: a Unix stream socket (QNSIM_LINK) served by a thread of its
// own.  On each connection a control line is answered "ok" or
// "error: REASON", "@state" with the model's snapshot lines and "end", and
// "@events" turns the connection into an event stream: "ok", then every line
// the trace file gets after it (the board's events and the transport's own
// lines: open, close, usleep, system, settimeofday), plus "T pins BANK LL"
// for each pin change.
//
// The sinks, which run on whatever thread made the line (the shell's own),
// only append it to each subscriber's bounded queue; the link thread writes.  A subscriber that
// reads too slowly loses lines: they are counted, and once its queue has
// been taken again one line "T dropped N" says how many (T: the time of the
// last line lost).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <deque>
#include <memory>

#include "preload.h"

namespace qnsim {
namespace {

constexpr size_t kQueueDefault = 8192; // lines a subscriber may fall behind
constexpr size_t kAnswerMax = 1 << 16; // unread answers before input pauses

struct Client {
    int fd = -1;
    bool events = false; // subscribed: takes the queue, input is ignored
    bool closing = false;
    std::string in, out;
    size_t out_off = 0;
    // Guarded by g_qmu:
    std::deque<std::string> queue;
    uint64_t dropped = 0;
    int64_t dropped_t = 0;
};

std::mutex g_qmu; // the subscribers' queues and the list below
// Plain pointers and arrays only: the library's constructor may run before
// this file's dynamic initialisers would.
std::vector<std::shared_ptr<Client>> *g_subs;
std::atomic<bool> g_on{false};
size_t g_cap = kQueueDefault;
int g_wake = -1; // eventfd: a queue got a line
int g_listen = -1;
char g_path[sizeof(sockaddr_un::sun_path)];
ino_t g_ino = 0;
pid_t g_owner = 0;

void remove_socket()
{
    struct stat st;
    if (getpid() == g_owner && g_path[0] && lstat(g_path, &st) == 0 && st.st_ino == g_ino)
        unlink(g_path);
}

void answer(Sim &s, Client &c, const std::string &line)
{
    if (line == "@events") {
        c.events = true; // the caller adds it to the subscribers
        c.out += "ok\n"; // every event after this line reaches it
        return;
    }
    if (line == "@state") {
        char buf[QNM_STATE_MAX];
        size_t n;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            n = qnm_format_state(buf, sizeof buf, now_us(), &s.model);
        }
        c.out.append(buf, n);
        c.out += "end\n";
        return;
    }
    if (!line.empty() && line[0] == '@') {
        c.out += "error: unknown request " + line + "\n";
        return;
    }
    char err[256] = "";
    if (apply_control(s, line, err, sizeof err) < 0)
        c.out += std::string("error: ") + (err[0] ? err : "refused") + "\n";
    else
        c.out += "ok\n";
}

// Moves a subscriber's queue into its output, with the count of lost lines
// after the lines that came before them.
void take_queue(Client &c)
{
    std::lock_guard<std::mutex> lock(g_qmu);
    for (std::string &l : c.queue)
        c.out += l;
    c.queue.clear();
    if (c.dropped) {
        char note[64];
        c.out.append(note, qnm_format_dropped(note, sizeof note, c.dropped_t, QNM_DROPPED_LINK, c.dropped));
        c.dropped = 0;
    }
}

void drop_client(std::vector<std::shared_ptr<Client>> &clients, size_t i)
{
    std::shared_ptr<Client> c = clients[i];
    {
        std::lock_guard<std::mutex> lock(g_qmu);
        for (size_t k = 0; k < g_subs->size(); ++k)
            if ((*g_subs)[k] == c) {
                g_subs->erase(g_subs->begin() + long(k));
                break;
            }
    }
    REAL(close)(c->fd);
    clients.erase(clients.begin() + long(i));
}

void read_client(Sim &s, Client &c, const std::shared_ptr<Client> &self)
{
    char tmp[4096];
    ssize_t n = REAL(read)(c.fd, tmp, sizeof tmp);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        c.closing = true;
        return;
    }
    if (n < 0 || c.events)
        return;
    c.in.append(tmp, size_t(n));
    size_t nl;
    while (!c.events && (nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        answer(s, c, line);
        if (c.events) {
            std::lock_guard<std::mutex> lock(g_qmu);
            g_subs->push_back(self);
        }
    }
    if (c.in.size() > QNM_TRACE_MAX) { // no line that long is valid
        c.out += "error: line too long\n";
        c.in.clear();
    }
}

void write_client(Client &c)
{
    while (c.out_off < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                c.closing = true;
            break;
        }
        c.out_off += size_t(n);
    }
    if (c.out_off == c.out.size()) {
        c.out.clear();
        c.out_off = 0;
    }
}

void *link_thread(void *arg)
{
    Sim &s = *static_cast<Sim *>(arg);
    t_busy = 1; // nothing this thread calls is the product's
    std::vector<std::shared_ptr<Client>> clients;
    std::vector<pollfd> pfd;
    for (;;) {
        for (auto &c : clients)
            if (c->events && c->out.empty())
                take_queue(*c);
        pfd.clear();
        pfd.push_back({g_listen, POLLIN, 0});
        pfd.push_back({g_wake, POLLIN, 0});
        for (auto &c : clients) {
            short ev = 0;
            if (c->events || c->out.size() < kAnswerMax)
                ev |= POLLIN;
            if (!c->out.empty())
                ev |= POLLOUT;
            pfd.push_back({c->fd, ev, 0});
        }
        if (poll(pfd.data(), pfd.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return nullptr;
        }
        if (pfd[1].revents & POLLIN) {
            uint64_t v;
            if (REAL(read)(g_wake, &v, sizeof v) < 0) {
            }
        }
        size_t n = clients.size();
        for (size_t i = 0; i < n; ++i) {
            Client &c = *clients[i];
            short re = pfd[i + 2].revents;
            if (re & POLLIN)
                read_client(s, c, clients[i]);
            else if (re & (POLLHUP | POLLERR))
                c.closing = true;
            if (!c.closing && !c.out.empty())
                write_client(c);
        }
        for (size_t i = clients.size(); i-- > 0;)
            if (clients[i]->closing)
                drop_client(clients, i);
        if (pfd[0].revents & POLLIN) {
            int fd = accept4(g_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                auto c = std::make_shared<Client>();
                c->fd = fd;
                clients.push_back(c);
            }
        }
    }
}

} // namespace

void link_line(int64_t t_us, const char *buf, size_t n)
{
    if (!n || !g_on.load(std::memory_order_acquire))
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(g_qmu);
        for (auto &c : *g_subs) {
            if (!c)
                continue;
            if (c->queue.size() < g_cap && !c->dropped) {
                wake |= c->queue.empty();
                c->queue.emplace_back(buf, n);
            } else {
                ++c->dropped;
                c->dropped_t = t_us;
            }
        }
    }
    if (wake) {
        uint64_t one = 1;
        if (write(g_wake, &one, sizeof one) < 0) {
        }
    }
}

void link_start(Sim &s, const char *path)
{
    if (const char *q = getenv("QNSIM_LINK_QUEUE")) {
        uint32_t v;
        if (qnm_parse_u32(q, strlen(q), 10, &v) && v > 0)
            g_cap = v;
        else
            warn("QNSIM_LINK_QUEUE", q);
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof sa.sun_path)
        return warn("QNSIM_LINK (path too long)", path);
    strcpy(sa.sun_path, path);
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode))
        unlink(path); // left by a process that was killed
    g_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    g_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_listen < 0 || g_wake < 0 || bind(g_listen, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(g_listen, 16) != 0 || lstat(path, &st) != 0)
        return warn("QNSIM_LINK", path);
    chmod(path, 0600);
    strcpy(g_path, path);
    g_subs = new std::vector<std::shared_ptr<Client>>();
    g_ino = st.st_ino;
    g_owner = getpid();
    atexit(remove_socket);
    g_on.store(true, std::memory_order_release);
    start_thread(link_thread, s, "QNSIM_LINK", path);
}

} // namespace qnsim
