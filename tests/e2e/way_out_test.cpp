// Ways out for the technician: a key stops a long listing (imrd, nmrd, xm),
// and whatever signal ends the shell, the console gets its settings back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "console_seq.h"
#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

namespace {

const char kStopLine[] = "listing stopped by a key\n";

// A shell script the harness starts in place of the shell (the simulator is
// preloaded into it and into the shell it execs).
class Script {
  public:
    explicit Script(const std::string &body)
    {
        const char *tmp = getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn_way_out_XXXXXX";
        int fd = mkstemp(&path_[0]);
        std::string text = "#!/bin/sh\n" + body + "\n";
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            path_.clear();
        if (fd >= 0) {
            fchmod(fd, 0700);
            close(fd);
        }
    }
    ~Script()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    PtyShell::Options options(bool fast = true) const
    {
        PtyShell::Options o;
        o.program = path_;
        o.fast = fast;
        o.env["QN_SHELL_UNDER_TEST"] = QN_SHELL_BIN;
        return o;
    }

  private:
    std::string path_;
};

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

size_t reads_in(PtyShell &sh)
{
    return sh.trace_grep("ioctl I2C_REG_READ").size();
}

// ------------------------------------------------------------ a key stops

struct LongCase {
    const char *name;
    const char *cmd;
    bool fast;         // xm paces itself with real pauses
    const char *first; // output that shows the listing is under way
};

const LongCase kLong[] = {
    {"Imrd", "imrd 0x50 0 0xffffffff", true, "read : adr=0x00, val = "},
    {"Nmrd", "nmrd 0 0 0 0xffffffff", true, "read : adr=0x00, val = "},
    {"Xm", "xm 0x60", false, "[bank0]\n"},
};

void PrintTo(const LongCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class WayOutKey : public ::testing::TestWithParam<LongCase> {};

TEST_P(WayOutKey, KeyStopsListingAndIsDropped)
{
    const LongCase &c = GetParam();
    PtyShell::Options o;
    o.fast = c.fast;
    PtyShell sh(o);
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.type(c.cmd);
    sh.take();
    sh.send("\r");
    ASSERT_TRUE(sh.wait_for(c.first, 10000)) << esc(sh.peek().substr(0, 400));
    sh.send("x");
    ASSERT_TRUE(sh.wait_for(kStopLine, 20000)) << "no stop line";
    ASSERT_TRUE(sh.wait_prompt(20000)) << "no prompt after the stop line";
    std::string text = sh.take();

    // One stop line, right after the last result line and right before the
    // prompt on a new row.
    EXPECT_EQ(count_of(text, kStopLine), 1u);
    const std::string tail = std::string(kStopLine) + qntest::prompt_draw(true);
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << esc(text.substr(text.size() - 300));
    const std::string before = text.substr(0, text.size() - tail.size());
    const size_t last_row = before.rfind('\n', before.size() - 2);
    ASSERT_NE(last_row, std::string::npos);
    const std::string row = before.substr(last_row + 1);
    EXPECT_TRUE(row.rfind("read : adr=0x", 0) == 0 || row.rfind("[bank", 0) == 0) << esc(row);

    // The reads have stopped: none comes while the shell waits at the prompt.
    ASSERT_TRUE(sh.ctl_sync());
    const size_t reads = reads_in(sh);
    sh.settle(200);
    ASSERT_TRUE(sh.ctl_sync());
    EXPECT_EQ(reads_in(sh), reads);

    // The key was read and dropped: the next one starts an empty line.
    EXPECT_EQ(sh.key("h"), qntest::redraw("h", 11));
}

INSTANTIATE_TEST_SUITE_P(WayOut, WayOutKey, ::testing::ValuesIn(kLong),
                         [](const ::testing::TestParamInfo<LongCase> &i) { return std::string(i.param.name); });

// ------------------------------------------------------------ no key, no change

struct ShortCase {
    const char *name;
    const char *setup; // a line run first, or null
    const char *cmd;
    const char *out;
    std::vector<std::string> requests;
};

const std::vector<ShortCase> &short_cases()
{
    static const std::vector<ShortCase> cases = {
        {"Imrd",
         "iwr 0x50 0x21 0xabcdef",
         "imrd 0x50 0x20 2",
         "\nread : adr=0x20, val = 0x00\nread : adr=0x21, val = 0xABCDEF\n",
         {"I2C_REG_READ in=0x00000064,0x00000050,0x00000020,0x00000002,0x00000000",
          "I2C_REG_READ in=0x00000064,0x00000050,0x00000021,0x00000002,0x00000000"}},
        {"Nmrd",
         nullptr,
         "nmrd 1 2 0x10 2",
         "\nread : adr=0x10, val = 0x32\nread : adr=0x11, val = 0x33\n",
         {"I2C_REG_READ in=0x00000000,0x00000001,0x00000002,0x00000010,0x00000002",
          "I2C_REG_READ in=0x00000000,0x00000001,0x00000002,0x00000011,0x00000002"}},
    };
    return cases;
}

void PrintTo(const ShortCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class WayOutNoKey : public ::testing::TestWithParam<ShortCase> {};

TEST_P(WayOutNoKey, ShortListingPrintsWhatItAlwaysDid)
{
    const ShortCase &c = GetParam();
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    if (c.setup)
        ASSERT_TRUE(sh.run(c.setup).prompt);
    PtyShell::Run r = sh.run(c.cmd);
    EXPECT_TRUE(r.prompt);
    EXPECT_EQ(r.out, c.out) << esc(r.out);
    EXPECT_EQ(qntest::requests(r.trace), c.requests);
}

INSTANTIATE_TEST_SUITE_P(WayOut, WayOutNoKey, ::testing::ValuesIn(short_cases()),
                         [](const ::testing::TestParamInfo<ShortCase> &i) { return std::string(i.param.name); });

// ------------------------------------------------------------ no terminal

// Keys from a FIFO (no terminal): a byte waiting there while a listing runs
// does not stop it, and it is left for the line editor.
TEST(WayOutPipe, ConsoleThatIsNoTerminalNeverStopsAListing)
{
    const char *tmp = getenv("TMPDIR");
    std::string fifo = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn_way_out_fifo_" + std::to_string(getpid());
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Script s("exec \"$QN_SHELL_UNDER_TEST\" 0<\"" + fifo + "\"");
    PtyShell sh(s.options());
    int fd = -1;
    for (int i = 0; i < 500 && fd < 0; ++i) {
        fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(fd, 0) << "the shell did not open the FIFO";
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    // One byte at a time, each after the redraw of the one before: one read each.
    auto key = [&](const std::string &b, const char *until) {
        sh.take();
        ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        ASSERT_TRUE(sh.wait_for(until, 10000)) << esc(b) << " then " << until << ": " << esc(sh.peek().substr(0, 300));
    };
    for (char ch : std::string("imrd 0x50 0 2000"))
        key(std::string(1, ch), SEQ_SHOW_CURSOR);
    key("\n", "read : adr=0x00, val = ");
    ASSERT_EQ(write(fd, "x", 1), 1);
    // The x waited for the editor, which shows it after the prompt.
    const std::string x_shown = qntest::prompt_draw(true) + qntest::redraw("x", 11);
    ASSERT_TRUE(sh.wait_for(x_shown, 20000)) << esc(sh.peek().substr(0, 400));
    std::string text = sh.take();
    EXPECT_EQ(count_of(text, kStopLine), 0u);
    EXPECT_EQ(count_of(text, "read : adr="), 2000u);
    EXPECT_NE(text.find("read : adr=0x7CF, val = "), std::string::npos);
    key("\n", "unsupport cmd! cmd = x\n");
    close(fd);
    EXPECT_EQ(sh.wait_exit(), 0);
    unlink(fifo.c_str());
}

// ------------------------------------------------------------ signals

// Settings of its own for the console before the shell starts, so that a
// restore cannot pass by accident: VMIN 4 and VTIME 2 differ from raw mode.
const char kPrepare[] = "stty min 4 time 2 || exit 99; ulimit -c 0; ";

struct termios console_before()
{
    Script s(std::string(kPrepare) + "exec cat");
    PtyShell cat(s.options());
    cat.settle(300);
    return cat.console();
}

struct SignalCase {
    const char *name;
    int sig;
};

const std::vector<SignalCase> &signal_cases()
{
    static const std::vector<SignalCase> cases = {
        {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP},       {"SIGUSR1", SIGUSR1},   {"SIGUSR2", SIGUSR2},
        {"SIGALRM", SIGALRM}, {"SIGPIPE", SIGPIPE},     {"SIGABRT", SIGABRT},   {"SIGBUS", SIGBUS},
        {"SIGFPE", SIGFPE},   {"SIGXCPU", SIGXCPU},     {"SIGXFSZ", SIGXFSZ},   {"SIGVTALRM", SIGVTALRM},
        {"SIGPROF", SIGPROF}, {"SIGSYS", SIGSYS},       {"SIGPWR", SIGPWR},     {"SIGTRAP", SIGTRAP},
        {"SIGIO", SIGIO},     {"SIGSTKFLT", SIGSTKFLT}, {"SIGRTMIN", SIGRTMIN}, {"SIGRTMAX", SIGRTMAX},
    };
    return cases;
}

void PrintTo(const SignalCase &c, std::ostream *os)
{
    *os << c.name;
}

class WayOutSignal : public ::testing::TestWithParam<SignalCase> {
  protected:
    static void SetUpTestSuite()
    {
        before_ = new struct termios(console_before());
    }
    static void TearDownTestSuite()
    {
        delete before_;
        before_ = nullptr;
    }
    static struct termios *before_;
};
struct termios *WayOutSignal::before_ = nullptr;

TEST_P(WayOutSignal, ConsoleComesBackAndTheSignalEndsTheShell)
{
    const SignalCase &c = GetParam();
    ASSERT_EQ(before_->c_cc[VMIN], 4) << "stty did not prepare the console";
    Script s(std::string(kPrepare) + "exec \"$QN_SHELL_UNDER_TEST\"");
    PtyShell sh(s.options());
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    ASSERT_EQ(sh.console().c_lflag & (ICANON | ECHO), 0u) << "the console is raw while the shell runs";
    sh.kill(c.sig);
    EXPECT_EQ(sh.wait_exit(), 128 + c.sig);
    EXPECT_EQ(qntest::console_diff(sh.console(), *before_), "");
}

INSTANTIATE_TEST_SUITE_P(WayOut, WayOutSignal, ::testing::ValuesIn(signal_cases()),
                         [](const ::testing::TestParamInfo<SignalCase> &i) { return std::string(i.param.name); });

// The five signals the shell ignores stay ignored, sent from outside too.
TEST(WayOutIgnored, FiveSignalsStayIgnored)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    for (int sig : {SIGQUIT, SIGINT, SIGTSTP, SIGSEGV, SIGILL}) {
        SCOPED_TRACE(sig);
        sh.kill(sig);
        PtyShell::Run r = sh.run("hr 0x2011002c");
        EXPECT_TRUE(r.prompt);
        EXPECT_EQ(r.out, "\nread : 0x00000022\n") << esc(r.out);
    }
    EXPECT_EQ(sh.wait_exit(50), -1) << "the shell ended";
}

} // namespace
