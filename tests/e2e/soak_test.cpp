// Console soak: tens of thousands of random keys through the terminal into
// the line editor (printable and control bytes, escape sequences, bytes of
// 0x80 and above, bursts of several bytes in one write), with commands mixed
// in every few hundred keys.  The shell must stay up, answer every command as
// it did at the start, keep its memory flat, and give the console back as the
// harness handed it over.
//
// A read whose bytes add up to 10 is Enter, and would run whatever the keys
// left on the line; no key and no burst of this test adds up to 10, nor does
// any run of bytes inside a burst, and no key is sent before the shell has
// read every byte of the one before (counted through /proc/PID/io), so that
// two keys never meet in one read.
//
// QN_SOAK_KEYS sets the number of keys (default 20000); the seed is fixed.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::prompt_draw;
using qntest::PtyShell;
using qntest::redraw;

namespace {

using Clock = std::chrono::steady_clock;

const unsigned kSeed = 0x51A4C0DEu;
const std::string kShow = SEQ_SHOW_CURSOR; // the end of every redraw
using qntest::kDown;
using qntest::kHome;

// Bytes the terminal keeps for itself: Ctrl-C, Ctrl-\ and Ctrl-Z raise
// signals (which the shell ignores); Ctrl-Q and Ctrl-S are flow control of
// the terminal, not keys, and are never sent.
bool is_signal_byte(unsigned char c)
{
    return c == 0x03 || c == 0x1c || c == 0x1a;
}
bool is_flow_byte(unsigned char c)
{
    return c == 0x11 || c == 0x13;
}

// The byte the shell reads for a byte typed (carriage return arrives as a
// line feed).
int as_read(unsigned char c)
{
    return c == '\r' ? '\n' : c;
}

struct Key {
    std::string bytes;
    int code = 0;         // sum of the bytes as read
    size_t delivered = 0; // bytes that reach the shell's read
    bool redraws = true;  // the editor answers with a redraw
    bool maybe = false;   // Tab: a redraw only when a command word matches
};

Key make_key(const std::string &bytes)
{
    Key k;
    k.bytes = bytes;
    for (unsigned char c : bytes) {
        if (is_signal_byte(c))
            continue;
        k.code += as_read(c);
        ++k.delivered;
    }
    if (k.delivered == 0)
        k.redraws = false;
    if (k.code == 297 || k.code == 298)
        k.redraws = false; // Page Up / Page Down
    if (k.code == 9)
        k.redraws = false, k.maybe = true;
    return k;
}

// No run of consecutive bytes adds up to 10, however a read might cut it.
bool burst_ok(const std::string &b)
{
    for (size_t i = 0; i < b.size(); ++i) {
        int sum = 0;
        for (size_t j = i; j < b.size(); ++j) {
            sum += as_read(static_cast<unsigned char>(b[j]));
            if (sum == 10)
                return false;
        }
    }
    return true;
}

Key random_key(std::mt19937 &rng)
{
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int kind = pick(0, 99);
    if (kind < 40)
        return make_key(std::string(1, static_cast<char>(pick(0x20, 0x7e))));
    if (kind < 55) { // control bytes, never Enter (LF, or CR mapped to LF)
        for (;;) {
            int c = pick(0, 0x20);
            if (c == 0x20)
                c = 0x7f;
            if (c == '\n' || c == '\r' || is_flow_byte(static_cast<unsigned char>(c)))
                continue;
            return make_key(std::string(1, static_cast<char>(c)));
        }
    }
    if (kind < 77) {
        static const char *const seqs[] = {"\x1b[A",  "\x1b[B",  "\x1b[C",  "\x1b[D", "\x1bOH", "\x1bOF",
                                           "\x1b[5~", "\x1b[6~", "\x1b[3~", "\x1b",   "\x1b[H", "\x1bOA"};
        return make_key(seqs[pick(0, sizeof seqs / sizeof *seqs - 1)]);
    }
    if (kind < 87)
        return make_key(std::string(1, static_cast<char>(pick(0x80, 0xff))));
    for (;;) { // a burst of 2 to 10 bytes in one write
        std::string b;
        int n = pick(2, 10);
        for (int i = 0; i < n; ++i) {
            unsigned char c;
            do
                c = static_cast<unsigned char>(pick(0, 255));
            while (is_signal_byte(c) || is_flow_byte(c));
            b += static_cast<char>(c);
        }
        // Both ends are large enough that a cut never leaves a piece worth 10.
        if (as_read(static_cast<unsigned char>(b.front())) < 11 || as_read(static_cast<unsigned char>(b.back())) < 11)
            continue;
        if (burst_ok(b))
            return make_key(b);
    }
}

using qntest::proc_field;

long rchar(pid_t pid)
{
    return proc_field(pid, "io", "rchar:");
}
long vm_rss_kib(pid_t pid)
{
    return proc_field(pid, "status", "VmRSS:");
}

char proc_state(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    size_t p = line.rfind(')');
    return p == std::string::npos || p + 2 >= line.size() ? '?' : line[p + 2];
}

using qntest::ends_with;
using qntest::sanitizer_text;

// Drives the shell one key at a time, each key read before the next is sent.
class Driver {
  public:
    explicit Driver(PtyShell &sh) : sh_(sh)
    {
    }

    // Sends one key; returns what the terminal showed for it.
    std::string press(const Key &k)
    {
        const long before = rchar(sh_.pid());
        check_text(sh_.take());
        sh_.send(k.bytes);
        if (k.redraws) {
            if (!sh_.wait_for(kShow, 50) && !sh_.wait_for(kShow, 2000)) {
                ++missed_;
                if (first_problem_.empty())
                    first_problem_ = "no redraw after " + esc(k.bytes);
            }
        } else if (k.maybe) {
            sh_.wait_for(kShow, 50);
        }
        // Every delivered byte read: nothing is left to join the next key.
        if (k.delivered > 0 && before >= 0) {
            const long target = before + static_cast<long>(k.delivered);
            if (!sh_.eventually([&] { return rchar(sh_.pid()) >= target; }, 3000)) {
                ++unread_;
                if (first_problem_.empty())
                    first_problem_ = "key " + esc(k.bytes) + " was never read";
            }
        }
        std::string o = sh_.take();
        check_text(o);
        return o;
    }

    std::string press(const std::string &bytes)
    {
        return press(make_key(bytes));
    }

    // Empties the line: Down walks the history to its empty end; Home and DEL
    // as a last resort.
    bool clear_line()
    {
        const std::string empty = redraw("", 10);
        for (int i = 0; i < 110; ++i)
            if (ends_with(press(kDown), empty))
                return true;
        press(kHome);
        std::string o;
        for (int i = 0; i < 100; ++i)
            o = press("\x7f");
        return ends_with(o, empty);
    }

    void check_text(const std::string &s)
    {
        if (sanitizer_text(s) && sanitizer_.empty())
            sanitizer_ = s;
    }

    int missed() const
    {
        return missed_;
    }
    int unread() const
    {
        return unread_;
    }
    const std::string &first_problem() const
    {
        return first_problem_;
    }
    const std::string &sanitizer() const
    {
        return sanitizer_;
    }

  private:
    PtyShell &sh_;
    std::string first_problem_, sanitizer_;
    int missed_ = 0, unread_ = 0;
};

// Lines typed between the random keys; never exit or q.
const char *const kCommands[] = {
    "mbinfo",    "hr 0x2011002c", "status", "ctlled 3",   "ddrsize", "ird 0x60 0x10",
    "buzzer on", "help",          "clear",  "frobnicate", "      ",
};

// The console settings as the harness hands them to a program.
struct termios harness_console()
{
    PtyShell::Options o;
    o.program = "cat";
    PtyShell cat(o);
    cat.settle(100);
    struct termios t = cat.console();
    cat.kill(SIGKILL);
    return t;
}

} // namespace

TEST(Soak, RandomKeysAndCommands)
{
    long keys = 20000;
    if (const char *v = std::getenv("QN_SOAK_KEYS"))
        keys = std::strtol(v, nullptr, 10);
    ASSERT_GT(keys, 1000) << "QN_SOAK_KEYS must exceed the 1000 warm-up keys";
    std::printf("soak: %ld keys, seed 0x%08X\n", keys, kSeed);
    std::fflush(stdout);
    const auto t0 = Clock::now();

    const struct termios before = harness_console();
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.take();
    const pid_t pid = sh.pid();
    ASSERT_GE(rchar(pid), 0) << "/proc/" << pid << "/io not readable";
    Driver d(sh);

    // Each command's answer on the fresh shell, typed on an empty line through
    // the step runner; later runs must match it.
    std::vector<std::string> reference;
    for (const char *c : kCommands) {
        PtyShell::Run r = qntest::run_step(sh, {c, "", {}, {}, {}, qntest::kOnlyLine, 5000});
        ASSERT_TRUE(r.prompt) << c << ": " << esc(r.out);
        reference.push_back(r.out);
    }
    ASSERT_EQ(reference[0], "\n\x1b[0;32;32mhardware=KD3454, custom=0, mb_version=1\x1b[m  \n") << esc(reference[0]);
    ASSERT_EQ(reference[1], "\nread : 0x00000022\n") << esc(reference[1]);
    ASSERT_EQ(reference[9], "\nunsupport cmd! cmd = frobnicate\n") << esc(reference[9]);
    ASSERT_EQ(reference[10], "") << esc(reference[10]);

    std::mt19937 rng(kSeed);
    long rss_warm = -1;
    int commands_run = 0, wrong_answers = 0, lost_prompts = 0, not_cleared = 0;
    std::string first_wrong;
    long next_command = std::uniform_int_distribution<long>(200, 400)(rng);
    for (long i = 1; i <= keys; ++i) {
        d.press(random_key(rng));
        if (i == 1000)
            rss_warm = vm_rss_kib(pid);
        if (i % 500 == 0) {
            ASSERT_EQ(kill(pid, 0), 0) << "shell gone after key " << i;
            ASSERT_NE(proc_state(pid), 'Z') << "shell ended after key " << i << ": " << esc(sh.take());
        }
        ASSERT_LT(d.unread(), 5) << d.first_problem();
        if (i == next_command) {
            next_command += std::uniform_int_distribution<long>(200, 400)(rng);
            size_t which = std::uniform_int_distribution<size_t>(0, sizeof kCommands / sizeof *kCommands - 1)(rng);
            if (!d.clear_line()) {
                ++not_cleared;
                continue;
            }
            PtyShell::Run r = qntest::run_step(sh, {kCommands[which], "", {}, {}, {}, qntest::kOnlyLine, 5000});
            const std::string &out = r.out;
            ++commands_run;
            if (!r.prompt) {
                ++lost_prompts;
                ASSERT_NE(proc_state(pid), 'Z') << "shell ended on " << kCommands[which] << ": " << esc(out);
            } else if (out != reference[which]) {
                if (first_wrong.empty())
                    first_wrong = std::string(kCommands[which]) + " after key " + std::to_string(i) + "\n  got  " +
                                  esc(out) + "\n  want " + esc(reference[which]);
                ++wrong_answers;
            }
        }
    }
    const long rss_end = vm_rss_kib(pid);

    EXPECT_EQ(d.missed(), 0) << d.first_problem();
    EXPECT_EQ(d.unread(), 0) << d.first_problem();
    EXPECT_EQ(not_cleared, 0);
    EXPECT_EQ(lost_prompts, 0);
    EXPECT_EQ(wrong_answers, 0) << first_wrong;
    EXPECT_GT(commands_run, static_cast<int>(keys / 400) - 1);
    EXPECT_EQ(d.sanitizer(), "") << esc(d.sanitizer());
    EXPECT_FALSE(sanitizer_text(sh.transcript())) << esc(sh.transcript().substr(0, 4000));
    ASSERT_GT(rss_warm, 0);
    EXPECT_LE(std::labs(rss_end - rss_warm), 64)
        << "VmRSS " << rss_warm << " KiB after warm-up, " << rss_end << " KiB at the end";

    ASSERT_TRUE(d.clear_line());
    for (char c : std::string("exit"))
        d.press(std::string(1, c));
    sh.take();
    sh.send("\r");
    EXPECT_EQ(sh.wait_exit(), 0);
    std::string tail = sh.take();
    EXPECT_EQ(tail, "\n\r") << esc(tail);
    EXPECT_FALSE(sanitizer_text(tail)) << esc(tail);
    EXPECT_EQ(qntest::console_diff(sh.console(), before), "");

    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("soak: %d commands, VmRSS %ld -> %ld KiB, %.1f s\n", commands_run, rss_warm, rss_end, secs);
    RecordProperty("keys", static_cast<int>(keys));
    RecordProperty("rss_kib_after_warmup", static_cast<int>(rss_warm));
    RecordProperty("rss_kib_end", static_cast<int>(rss_end));
}
