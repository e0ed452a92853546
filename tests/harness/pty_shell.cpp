#include "pty_shell.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace qntest {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline)
{
    auto d = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return d < 0 ? 0 : static_cast<int>(d);
}

const char kPrompt[] = "quenta $: " SEQ_SHOW_CURSOR;

struct termios cooked(bool onlcr)
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = ICRNL | IXON | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | (onlcr ? ONLCR : 0);
    t.c_cflag = CS8 | CREAD | HUPCL;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | ISIG | IEXTEN;
    t.c_cc[VINTR] = 0x03;
    t.c_cc[VQUIT] = 0x1c;
    t.c_cc[VERASE] = 0x7f;
    t.c_cc[VKILL] = 0x15;
    t.c_cc[VEOF] = 0x04;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VSUSP] = 0x1a;
    t.c_cc[VWERASE] = 0x17;
    t.c_cc[VREPRINT] = 0x12;
    t.c_cc[VLNEXT] = 0x16;
    t.c_cc[VDISCARD] = 0x0f;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return t;
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> out;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);)
        out.push_back(l);
    return out;
}

void parse_words(const std::string &s, const char *key, uint32_t (&w)[5])
{
    size_t p = s.find(key);
    if (p == std::string::npos)
        return;
    const char *c = s.c_str() + p + std::strlen(key);
    for (int i = 0; i < 5; ++i) {
        char *end = nullptr;
        w[i] = static_cast<uint32_t>(std::strtoul(c, &end, 16));
        if (end == c || *end != ',')
            break;
        c = end + 1;
    }
}

} // namespace

std::string esc(const std::string &s)
{
    std::string o;
    char b[8];
    for (unsigned char c : s) {
        switch (c) {
        case 0x1b:
            o += "\\e";
            break;
        case '\r':
            o += "\\r";
            break;
        case '\n':
            o += "\\n";
            break;
        case '\t':
            o += "\\t";
            break;
        case '\\':
            o += "\\\\";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                std::snprintf(b, sizeof b, "\\x%02X", c);
                o += b;
            } else {
                o += static_cast<char>(c);
            }
        }
    }
    return o;
}

std::string prompt_draw(bool newline)
{
    return std::string(SEQ_HIDE_CURSOR "\r") + (newline ? "\n" : "") + SEQ_LEFT_100 SEQ_ERASE_TO_EOL "\r" + kPrompt;
}

std::string redraw(const std::string &text, int cursor_col)
{
    return SEQ_HIDE_CURSOR "\r" SEQ_CSI "10" SEQ_RIGHT_END SEQ_ERASE_TO_EOL + text + "\r" SEQ_CSI +
           std::to_string(cursor_col) + SEQ_RIGHT_END SEQ_SHOW_CURSOR;
}

std::vector<Event> events(const std::vector<std::string> &trace)
{
    std::vector<Event> out;
    for (const std::string &l : trace) {
        std::istringstream in(l);
        Event e;
        std::string first;
        if (!(in >> first))
            continue;
        char *end = nullptr;
        long long t = std::strtoll(first.c_str(), &end, 10);
        if (*end == '\0') {
            e.t = t;
            if (!(in >> e.kind))
                continue;
        } else {
            e.kind = first;
        }
        std::getline(in >> std::ws, e.rest);
        out.push_back(e);
    }
    return out;
}

std::vector<Ioctl> ioctls(const std::vector<std::string> &trace)
{
    std::vector<Ioctl> out;
    for (const Event &e : events(trace)) {
        if (e.kind != "ioctl")
            continue;
        Ioctl io;
        io.t = e.t;
        size_t sp = e.rest.find(' ');
        io.name = e.rest.substr(0, sp);
        io.rest = sp == std::string::npos ? "" : e.rest.substr(sp + 1);
        parse_words(io.rest, "in=", io.in);
        parse_words(io.rest, "out=", io.out);
        size_t r = io.rest.find("ret=");
        if (r != std::string::npos)
            io.ret = std::atoi(io.rest.c_str() + r + 4);
        out.push_back(io);
    }
    return out;
}

std::vector<long long> usleeps(const std::vector<std::string> &trace)
{
    std::vector<long long> out;
    for (const Event &e : events(trace))
        if (e.kind == "usleep")
            out.push_back(std::atoll(e.rest.c_str()));
    return out;
}

std::string block(const std::string &name, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4)
{
    char b[96];
    std::snprintf(b, sizeof b, " in=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x", w0, w1, w2, w3, w4);
    return name + b;
}

std::vector<std::string> requests(const std::vector<std::string> &trace, bool with_ret)
{
    std::vector<std::string> out;
    for (const std::string &l : trace) {
        for (const Ioctl &io : ioctls({l}))
            out.push_back(block(io.name, io.in[0], io.in[1], io.in[2], io.in[3], io.in[4]) +
                          (with_ret ? " ret=" + std::to_string(io.ret) : ""));
        for (long long us : usleeps({l}))
            out.push_back("usleep " + std::to_string(us));
    }
    return out;
}

std::string join(const std::vector<std::string> &lines)
{
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

std::vector<std::string> split_lines(const std::string &s)
{
    std::vector<std::string> v;
    size_t b = 0;
    for (size_t e; (e = s.find('\n', b)) != std::string::npos; b = e + 1)
        v.push_back(s.substr(b, e - b));
    v.push_back(s.substr(b));
    return v;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

std::string without(std::string text, const std::string &what)
{
    for (size_t p; (p = text.find(what)) != std::string::npos;)
        text.erase(p, what.size());
    return text;
}

bool starts_with(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &s, const std::string &suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string format(const char *fmt, ...)
{
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    return b;
}

bool sanitizer_text(const std::string &s)
{
    return s.find("Sanitizer") != std::string::npos || s.find("runtime error") != std::string::npos;
}

bool eventually(const std::function<bool()> &pred, int timeout_ms, const std::function<void(int us)> &wait)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (int us = 50;; us = std::min(us * 2, 5000)) {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return false;
        if (wait)
            wait(us);
        else
            std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
}

std::string strip_prompt(const std::string &out, bool *had)
{
    const std::string p = prompt_draw(true);
    bool ok = out.size() >= p.size() && out.compare(out.size() - p.size(), p.size(), p) == 0;
    if (had)
        *had = ok;
    return ok ? out.substr(0, out.size() - p.size()) : out;
}

int Wave::final_level(int pin) const
{
    int l = init[pin];
    for (const Change &c : changes)
        if (c.pin == pin)
            l = c.level;
    return l;
}

std::string pin_name(int p)
{
    return "GPIO" + std::to_string(p / 8) + "_" + std::to_string(p % 8);
}

std::string Wave::text() const
{
    std::string s;
    for (const Change &c : changes)
        s += "#" + std::to_string(c.t) + " " + pin_name(c.pin) + "=" + std::to_string(c.level) + "\n";
    return s;
}

Wave parse_vcd(const std::string &text)
{
    Wave w;
    std::map<char, int> ids;
    int seen = 0;
    bool dump = false, body = false;
    long long t = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        unsigned bank, bit;
        char id;
        if (std::sscanf(l.c_str(), "$var wire 1 %c gpio%u_%u $end", &id, &bank, &bit) == 3 && bank < 9 && bit < 8) {
            ids[id] = static_cast<int>(bank * 8 + bit);
        } else if (l == "$dumpvars") {
            dump = true;
        } else if (l == "$end" && dump) {
            dump = false;
            body = true;
        } else if (!l.empty() && l[0] == '#') {
            t = std::atoll(l.c_str() + 1);
        } else if (l.size() == 2 && (l[0] == '0' || l[0] == '1') && ids.count(l[1])) {
            int p = ids[l[1]];
            if (dump) {
                w.init[p] = l[0] - '0';
                ++seen;
            } else if (body) {
                w.changes.push_back({t, p, l[0] - '0'});
            }
        }
    }
    w.ok = ids.size() == static_cast<size_t>(kPins) && seen == kPins && body;
    return w;
}

int thread_count(pid_t pid)
{
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec);
    if (ec)
        return -1;
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

long proc_field(pid_t pid, const char *file, const char *name)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/" + file);
    std::string k;
    long v;
    while (f >> k)
        if (k == name && f >> v)
            return v;
    return -1;
}

std::string console_diff(const struct termios &got, const struct termios &want)
{
    std::ostringstream d;
    if (got.c_iflag != want.c_iflag)
        d << " c_iflag " << got.c_iflag << "!=" << want.c_iflag;
    if (got.c_oflag != want.c_oflag)
        d << " c_oflag " << got.c_oflag << "!=" << want.c_oflag;
    if (got.c_cflag != want.c_cflag)
        d << " c_cflag " << got.c_cflag << "!=" << want.c_cflag;
    if (got.c_lflag != want.c_lflag)
        d << " c_lflag " << got.c_lflag << "!=" << want.c_lflag;
    for (int i = 0; i < NCCS; ++i)
        if (got.c_cc[i] != want.c_cc[i])
            d << " c_cc[" << i << "] " << int(got.c_cc[i]) << "!=" << int(want.c_cc[i]);
    return d.str();
}

PtyShell::Options PtyShell::with(const std::map<std::string, std::string> &env, bool split_stdout)
{
    Options o;
    o.env = env;
    o.split_stdout = split_stdout;
    return o;
}

PtyShell::PtyShell() : PtyShell(Options())
{
}

PtyShell::PtyShell(const Options &opts) : opts_(opts)
{
    ::signal(SIGPIPE, SIG_IGN);
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn_e2e_XXXXXX";
    if (!mkdtemp(&templ[0]))
        throw std::runtime_error("mkdtemp failed: " + templ);
    dir_ = templ;

    // Child environment: ours without stray simulator settings, then defaults,
    // then what the test asked for.
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        size_t eq = kv.find('=');
        if (eq == std::string::npos || kv.compare(0, 6, "QNSIM_") == 0)
            continue;
        env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env["TZ"] = "UTC";
    // QN_E2E_SHELL / QN_E2E_SIMLIB / QN_E2E_RUNNER run another build of the
    // shell and simulator, e.g. the ARM one under "qemu-arm -L SYSROOT".
    const char *shell_env = std::getenv("QN_E2E_SHELL");
    const char *simlib_env = std::getenv("QN_E2E_SIMLIB");
    const char *runner_env = std::getenv("QN_E2E_RUNNER");
    const std::string simlib = simlib_env && *simlib_env ? simlib_env : QNSIM_LIB;
    const bool use_runner = opts.program.empty() && runner_env && *runner_env;
    if (use_runner)
        env.erase("LD_PRELOAD"); // the runner passes it to the program alone
    else
        env["LD_PRELOAD"] = simlib;
    std::string asan = env.count("ASAN_OPTIONS") ? env["ASAN_OPTIONS"] + ":" : "";
    env["ASAN_OPTIONS"] = asan + "verify_asan_link_order=0";
    env["QNSIM_TRACE"] = dir_ + "/trace.txt";
    env["QNSIM_VCD"] = dir_ + "/wave.vcd";
    env["QNSIM_CTL"] = dir_ + "/ctl.fifo";
    if (opts_.fast)
        env["QNSIM_FAST"] = "1";
    for (const auto &kv : opts_.env)
        env[kv.first] = kv.second;
    trace_path_ = env["QNSIM_TRACE"];
    vcd_path_ = env["QNSIM_VCD"];
    ctl_path_ = env["QNSIM_CTL"];

    std::vector<std::string> envs;
    for (const auto &kv : env)
        envs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (std::string &s : envs)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::string prog = !opts_.program.empty() ? opts_.program : shell_env && *shell_env ? shell_env : QN_SHELL_BIN;
    std::vector<std::string> args;
    if (use_runner) {
        std::istringstream words(runner_env);
        for (std::string w; words >> w;)
            args.push_back(w);
        args.push_back("-E");
        args.push_back("LD_PRELOAD=" + simlib);
    }
    args.push_back(prog);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string exe = args[0];

    int pfd[2] = {-1, -1};
    if (opts_.split_stdout && pipe2(pfd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    struct termios t = cooked(opts_.onlcr);
    struct winsize ws;
    std::memset(&ws, 0, sizeof ws);
    ws.ws_row = static_cast<unsigned short>(opts_.rows);
    ws.ws_col = static_cast<unsigned short>(opts_.cols);
    pid_ = forkpty(&master_, nullptr, &t, &ws);
    if (pid_ < 0)
        throw std::runtime_error(std::string("forkpty: ") + std::strerror(errno));
    if (pid_ == 0) {
        if (pfd[1] >= 0)
            dup2(pfd[1], STDOUT_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(dir_.c_str()) != 0)
            _exit(126);
        execvpe(exe.c_str(), argv.data(), envp.data());
        std::fprintf(stderr, "exec %s: %s\n", exe.c_str(), std::strerror(errno));
        _exit(127);
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    if (pfd[1] >= 0)
        close(pfd[1]);
    out_fd_ = pfd[0];
    if (out_fd_ >= 0)
        fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
}

PtyShell::~PtyShell()
{
    if (pid_ > 0 && !reap(false)) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    if (master_ >= 0)
        close(master_);
    if (out_fd_ >= 0)
        close(out_fd_);
    std::error_code ec;
    if (!dir_.empty() && !std::getenv("QN_E2E_KEEP"))
        std::filesystem::remove_all(dir_, ec);
}

bool PtyShell::pump(int timeout_ms)
{
    struct pollfd p[2] = {{master_, POLLIN, 0}, {out_fd_, POLLIN, 0}};
    int n = out_fd_ >= 0 ? 2 : 1;
    if (eof_ && out_fd_ < 0)
        return false;
    if (eof_)
        p[0].fd = -1;
    if (poll(p, n, timeout_ms) <= 0)
        return !eof_;
    char b[65536];
    if (p[0].revents) {
        ssize_t r;
        while ((r = read(master_, b, sizeof b)) > 0) {
            buf_.append(b, r);
            seen_.append(b, r);
        }
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
            eof_ = true; // EIO: slave gone
    }
    if (n == 2 && p[1].revents) {
        ssize_t r;
        while ((r = read(out_fd_, b, sizeof b)) > 0)
            stdout_.append(b, r);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            close(out_fd_);
            out_fd_ = -1;
        }
    }
    return !eof_;
}

bool PtyShell::eventually(const std::function<bool()> &pred, int timeout_ms)
{
    return qntest::eventually(pred, timeout_ms, [this](int us) {
        // Below a millisecond poll() cannot wait: read what is there, then sleep.
        if (us < 1000) {
            pump(0);
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        } else if (!pump(us / 1000)) {
            std::this_thread::sleep_for(std::chrono::microseconds(us));
        }
    });
}

bool PtyShell::wait_for(const std::string &needle, int timeout_ms)
{
    // Output wakes the wait at once; at end of file nothing more can come.
    bool found = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    qntest::eventually([&] { return (found = buf_.find(needle) != std::string::npos) || eof_; }, timeout_ms,
                       [&](int) { pump(ms_left(deadline)); });
    return found;
}

bool PtyShell::wait_prompt(int timeout_ms)
{
    return wait_for(kPrompt, timeout_ms);
}

std::string PtyShell::take()
{
    pump(0);
    std::string s;
    s.swap(buf_);
    return s;
}

void PtyShell::settle(int ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (ms_left(deadline) > 0)
        if (!pump(ms_left(deadline)))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void PtyShell::send(const std::string &bytes)
{
    if (write(master_, bytes.data(), bytes.size()) < 0)
        std::perror("PtyShell::send");
}

std::string PtyShell::key(const std::string &bytes, bool expect_redraw)
{
    take();
    send(bytes);
    if (expect_redraw)
        wait_for(SEQ_SHOW_CURSOR);
    else
        settle(150);
    return take();
}

std::string PtyShell::type(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += key(std::string(1, c));
    return out;
}

std::string PtyShell::line(const std::string &text, int timeout_ms)
{
    type(text);
    take();
    send("\r");
    wait_for(kPrompt, timeout_ms);
    return take();
}

std::string PtyShell::stdout_text()
{
    pump(0);
    return stdout_;
}

bool PtyShell::reap(bool block)
{
    if (exited_)
        return true;
    int st = 0;
    pid_t r = waitpid(pid_, &st, block ? 0 : WNOHANG);
    if (r != pid_)
        return false;
    exited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
}

int PtyShell::wait_exit(int timeout_ms)
{
    if (!eventually([this] { return reap(false); }, timeout_ms))
        return -1;
    // Collect what the child wrote last (pty output reaches the master late).
    auto drain = Clock::now() + std::chrono::milliseconds(200);
    while (!eof_ && ms_left(drain) > 0)
        pump(ms_left(drain));
    return status_;
}

void PtyShell::kill(int sig)
{
    if (pid_ > 0 && !exited_)
        ::kill(pid_, sig);
}

struct termios PtyShell::console()
{
    struct termios t;
    std::memset(&t, 0, sizeof t);
    tcgetattr(master_, &t); // on Linux the master reports the slave's settings
    return t;
}

void PtyShell::ctl(const std::string &cmd)
{
    // The library creates the FIFO and reads it; wait until it is there.
    int fd = -1;
    if (!eventually([&] { return (fd = open(ctl_path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; })) {
        std::fprintf(stderr, "PtyShell::ctl: cannot open %s: %s\n", ctl_path_.c_str(), std::strerror(errno));
        return;
    }
    std::string l = cmd + "\n";
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size()))
        std::perror("PtyShell::ctl");
    close(fd);
}

bool PtyShell::ctl_sync(int timeout_ms)
{
    auto count = [this] {
        size_t n = 0;
        for (const Event &e : events(trace()))
            n += e.kind == "sync";
        return n;
    };
    size_t before = count();
    ctl("sync");
    return eventually([&] { return count() > before; }, timeout_ms);
}

std::vector<std::string> PtyShell::trace()
{
    return read_lines(trace_path_);
}

std::vector<std::string> PtyShell::trace_since(size_t mark)
{
    std::vector<std::string> t = trace();
    t.erase(t.begin(), t.begin() + static_cast<long>(std::min(mark, t.size())));
    return t;
}

PtyShell::Run PtyShell::run(const std::string &cmd, int timeout_ms)
{
    Run r;
    size_t t0 = mark(), s0 = stdout_text().size();
    r.drawn = line(cmd, timeout_ms);
    // Output of another thread may follow the prompt in the same read.
    const std::string p = prompt_draw(true);
    size_t at = r.drawn.rfind(p);
    r.prompt = r.drawn.find(kPrompt) != std::string::npos;
    r.out = at == std::string::npos ? r.drawn : r.drawn.substr(0, at) + r.drawn.substr(at + p.size());
    if (opts_.split_stdout)
        r.out = stdout_text().substr(s0);
    r.trace = trace_since(t0);
    return r;
}

std::vector<std::string> PtyShell::trace_grep(const std::string &s)
{
    std::vector<std::string> out;
    for (std::string &l : trace())
        if (l.find(s) != std::string::npos)
            out.push_back(l);
    return out;
}

std::string PtyShell::vcd()
{
    std::ifstream f(vcd_path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace qntest
