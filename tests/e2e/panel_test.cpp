// Panel key monitor: `revkey on` starts one background thread that polls the
// front-panel byte stream and prints each framed key code, `revkey off` makes
// it end. Panel bytes are fed through the simulator's control channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

namespace {

const char kRaceReport[] = "ThreadSanitizer";
const std::string kOn = "\nread key from panel\n";
const std::string kQuit = "quit from read panel\n";

using qntest::count_of;
using qntest::thread_count;
using qntest::without;

// A shell under the simulator; a race report anywhere in what it printed
// fails the test.
class Panel : public ::testing::Test {
  protected:
    void start(const PtyShell::Options &o = PtyShell::Options())
    {
        sh_.reset(new PtyShell(o));
        ASSERT_TRUE(sh_->wait_prompt()) << esc(sh_->peek());
        take();
        base_ = thread_count(sh_->pid());
        ASSERT_GT(base_, 0);
    }

    // A race report printed while the test ran fails it. The shell is then
    // killed: leaving it with `exit` is tested on its own below.
    void TearDown() override
    {
        if (!sh_)
            return;
        sh_->settle(50);
        EXPECT_EQ(sh_->transcript().find(kRaceReport), std::string::npos) << sh_->transcript();
        sh_.reset();
    }

    // Leaves the shell with `exit`; returns its exit status, output in *out.
    int exit_shell(std::string *out)
    {
        type("exit");
        take();
        sh_->send("\r");
        int st = sh_->wait_exit(5000);
        *out = take();
        return st;
    }

    std::string take()
    {
        return sh_->take();
    }

    // Types text one key at a time, waiting for each redraw; unlike
    // PtyShell::type it keeps whatever else arrives in between (key lines,
    // the monitor's last line, race reports).
    std::string type(const std::string &text)
    {
        std::string out = take();
        for (char c : text) {
            sh_->send(std::string(1, c));
            sh_->wait_for(SEQ_SHOW_CURSOR);
            out += take();
        }
        return out;
    }

    // Enter, then everything up to and including the next prompt.
    std::string enter()
    {
        take();
        sh_->send("\r");
        sh_->wait_prompt(10000);
        return take();
    }

    // One command line through the step runner: its exact output (after the
    // interpreter's line feed) up to the prompt. The monitor's own pauses
    // are in the trace, so requests are not compared.
    void step(const std::string &cmd, const std::string &out, int skip = 0)
    {
        qntest::run_step(*sh_, {cmd, out, {}, {}, {}, qntest::kAnyRequests | skip});
    }

    int threads()
    {
        return thread_count(sh_->pid());
    }

    // The thread count reaches `want` within the time given.
    bool threads_become(int want, int ms = 1500)
    {
        return sh_->eventually([&] { return threads() == want; }, ms);
    }

    // Bytes the monitor has read from the panel so far.
    size_t bytes_read()
    {
        size_t n = 0;
        for (const qntest::Event &e : qntest::events(sh_->trace()))
            if (e.kind == "panel-read")
                n += e.rest.size() / 2;
        return n;
    }

    bool reads_reach(size_t want, int ms = 2000)
    {
        return sh_->eventually([&] { return bytes_read() >= want; }, ms);
    }

    // Collect output for ms milliseconds.
    std::string quiet_for(int ms)
    {
        sh_->settle(ms);
        return take();
    }

    std::unique_ptr<PtyShell> sh_;
    int base_ = 0;
};

// ------------------------------------------------------------ start and stop

TEST_F(Panel, OnTwiceKeepsOneMonitor)
{
    start();
    step("revkey on", "read key from panel\n");
    step("revkey on", "read key from panel\n");
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(threads(), base_ + 1);
    // One monitor, one line per key.
    sh_->ctl("panel fd 21");
    ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(sh_->peek());
    EXPECT_EQ(quiet_for(300), "key=0x21, 33\n");
}

TEST_F(Panel, OffWhenStoppedPrintsNothing)
{
    start();
    step("revkey off", "");
    EXPECT_EQ(quiet_for(400), "");
    EXPECT_EQ(threads(), base_);
}

// After off the monitor says so and ends; a later on starts a fresh one,
// and leaving the shell once the monitor has ended prints no second goodbye.
TEST_F(Panel, OffEndsMonitorWhichSaysSo)
{
    start();
    step("revkey on", "read key from panel\n");
    type("revkey off");
    std::string out = enter();
    ASSERT_TRUE(sh_->wait_for(kQuit, 2000)) << esc(out + sh_->peek());
    out += quiet_for(300);
    // The monitor may print its last line before or after the prompt.
    EXPECT_EQ(count_of(out, kQuit), 1u) << esc(out);
    EXPECT_EQ(without(out, kQuit), "\n" + qntest::prompt_draw(true)) << esc(out);
    EXPECT_TRUE(threads_become(base_)) << threads();
    // Keys are no longer read.
    size_t before = bytes_read();
    sh_->ctl("panel fd 21");
    EXPECT_EQ(quiet_for(500), "");
    EXPECT_EQ(bytes_read(), before);
    // A fresh monitor reads what waited in the stream at once (its line may
    // come before or after the prompt), then new keys.
    type("revkey on");
    out = enter();
    if (out.find("key=0x21, 33\n") == std::string::npos) {
        ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(out + sh_->peek());
        out += take();
    }
    EXPECT_EQ(without(out, "key=0x21, 33\n"), kOn + qntest::prompt_draw(true)) << esc(out);
    EXPECT_EQ(threads(), base_ + 1);
    EXPECT_EQ(quiet_for(300), "");
    sh_->ctl("panel fd 42");
    ASSERT_TRUE(sh_->wait_for("key=0x42, 66\n")) << esc(sh_->peek());
    EXPECT_EQ(quiet_for(300), "key=0x42, 66\n");
    step("revkey off", "", qntest::kAnyOut);
    ASSERT_TRUE(sh_->wait_for(kQuit, 2000)) << esc(sh_->peek());
    ASSERT_TRUE(threads_become(base_)) << threads();
    take();
    int st = exit_shell(&out);
    sh_.reset();
    EXPECT_EQ(st, 0) << esc(out);
    EXPECT_EQ(out.find(kRaceReport), std::string::npos) << out;
    EXPECT_EQ(out.find(kQuit), std::string::npos) << esc(out);
}

// Samples the thread count of a process until destroyed.
class ThreadSampler {
  public:
    explicit ThreadSampler(pid_t pid)
        : th_([this, pid] {
              while (!stop_.load()) {
                  int n = thread_count(pid);
                  if (n > most_.load())
                      most_ = n;
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
              }
          })
    {
    }
    ~ThreadSampler()
    {
        stop_ = true;
        th_.join();
    }
    int most() const
    {
        return most_.load();
    }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<int> most_{0};
    std::thread th_;
};

// `revkey on` right after `revkey off`, while the old monitor is still in its
// 200 ms sleep: the old one ends first, and two never poll the panel together.
TEST_F(Panel, QuickRestartNeverRunsTwoMonitors)
{
    start();
    step("revkey on", "read key from panel\n");
    ThreadSampler sampler(sh_->pid());
    int restarts_while_stopping = 0;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        type("revkey off");
        std::string out = enter();
        bool ended = out.find(kQuit) != std::string::npos;
        out += type("revkey on");
        ended = ended || out.find(kQuit) != std::string::npos;
        restarts_while_stopping += !ended;
        out += enter();
        out += quiet_for(400);
        EXPECT_EQ(count_of(out, kQuit), 1u) << esc(out);
        EXPECT_EQ(count_of(out, kOn), 1u) << esc(out);
        // The new start waits for the old monitor to end.
        EXPECT_LT(out.find(kQuit), out.find(kOn)) << esc(out);
        EXPECT_EQ(threads(), base_ + 1);
        EXPECT_LE(sampler.most(), base_ + 1);
    }
    EXPECT_GT(restarts_while_stopping, 0) << "every old monitor had ended before the restart";
    EXPECT_LE(sampler.most(), base_ + 1);
    // One monitor left: a key prints once.
    sh_->ctl("panel fd 21");
    ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(sh_->peek());
    EXPECT_EQ(quiet_for(300), "key=0x21, 33\n");
}

// Leaving the shell stops a running monitor and waits for it before the panel
// node is closed: it says goodbye, and nothing races the close.
TEST_F(Panel, ExitWhileMonitorRuns)
{
    start();
    step("revkey on", "read key from panel\n");
    sh_->ctl("panel fd 21");
    ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(sh_->peek());
    std::string out;
    int st = exit_shell(&out);
    sh_.reset();
    EXPECT_EQ(st, 0) << esc(out);
    EXPECT_EQ(out.find(kRaceReport), std::string::npos) << out;
    EXPECT_NE(out.find(kQuit), std::string::npos) << esc(out);
}

// ------------------------------------------------------------ words

struct WordCase {
    const char *name;
    const char *cmd;
    const char *out; // after the interpreter's line feed
    int monitors;
};

const WordCase kWords[] = {
    {"UpperCaseOn", "REVKEY ON", "read key from panel\n", 1},
    {"MixedCaseOn", "revkey On", "read key from panel\n", 1},
    {"LongerWordBeginningWithOn", "revkey one", "read key from panel\n", 1},
    {"WrongWord", "revkey maybe", "wrong arg: maybe\n", 0},
    {"WrongWordLowered", "revkey MayBe", "wrong arg: maybe\n", 0},
    {"PrefixOfOnIsWrong", "revkey o", "wrong arg: o\n", 0},
    {"OffsetIsOff", "revkey offset", "", 0},
    {"NoWord", "revkey", "usage: revkey {on|off}\n", 0},
};

void PrintTo(const WordCase &c, std::ostream *os)
{
    *os << c.cmd;
}

class PanelWord : public Panel, public ::testing::WithParamInterface<WordCase> {};

TEST_P(PanelWord, PrintsAndStarts)
{
    const WordCase &c = GetParam();
    start();
    step(c.cmd, c.out);
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(threads(), base_ + c.monitors);
    // No state was left behind: a later on starts exactly one monitor.
    step("revkey on", "read key from panel\n");
    EXPECT_EQ(threads(), base_ + 1);
}

INSTANTIATE_TEST_SUITE_P(Panel, PanelWord, ::testing::ValuesIn(kWords),
                         [](const ::testing::TestParamInfo<WordCase> &i) { return std::string(i.param.name); });

// A wrong word while a monitor runs leaves it running.
TEST_F(Panel, WrongWordKeepsRunningMonitor)
{
    start();
    step("revkey on", "read key from panel\n");
    step("revkey maybe", "wrong arg: maybe\n");
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(threads(), base_ + 1);
    sh_->ctl("panel fd 21");
    ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(sh_->peek());
}

// Without the panel node there is nothing to monitor; the console's keys stay
// with the line editor.
TEST_F(Panel, NoPanelDeviceStartsNothing)
{
    PtyShell::Options o;
    o.env["QNSIM_MISSING"] = "panel";
    start(o);
    step("revkey on", "revkey: no panel device (/dev/panel)\n");
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(threads(), base_);
    step("revkey on", "revkey: no panel device (/dev/panel)\n");
    step("revkey off", "");
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(threads(), base_);
    // Typing still reaches the shell.
    step("revkey maybe", "wrong arg: maybe\n");
}

// ------------------------------------------------------------ frames

// Each step feeds bytes; the next step comes after the monitor has read them
// and `pause_ms` more.
struct Step {
    const char *bytes;
    int pause_ms;
};

struct FrameCase {
    const char *name;
    std::vector<Step> steps;
    const char *out;
};

const std::vector<FrameCase> &frame_cases()
{
    static const std::vector<FrameCase> cases = {
        {"HexDigitsLowerCase", {{"fd 1a", 0}}, "key=0x1a, 26\n"},
        {"ZeroKey", {{"fd 00", 0}}, "key=0x00, 0\n"},
        {"HighKeyIsUnsigned", {{"fd ff", 0}}, "key=0xff, 255\n"},
        {"EscapedFrameStart", {{"fd fc fd", 0}}, "key=0xfd, 253\n"},
        {"EscapedEscape", {{"fd fc fc", 0}}, "key=0xfc, 252\n"},
        {"EscapedPlainKey", {{"fd fc 21", 0}}, "key=0x21, 33\n"},
        {"FrameStartTwiceIsKeyFd", {{"fd fd 21", 0}}, "key=0xfd, 253\n"},
        {"LoneByteDiscarded", {{"21", 0}}, ""},
        {"NoiseBeforeFrame", {{"21 fc 00 fd 22", 0}}, "key=0x22, 34\n"},
        {"SeveralFrames", {{"fd 01 fd fc fc 7f fd 03", 0}}, "key=0x01, 1\nkey=0xfc, 252\nkey=0x03, 3\n"},
        {"FramesFedApart", {{"fd 01", 100}, {"fd 02", 0}}, "key=0x01, 1\nkey=0x02, 2\n"},
        // A frame start with nothing after it yet is given up; the byte that
        // comes later begins a new frame and is dropped.
        {"SplitAfterStart", {{"fd", 500}, {"21", 100}, {"fd 22", 0}}, "key=0x22, 34\n"},
        {"SplitAfterEscape", {{"fd fc", 300}, {"33", 100}, {"fd 22", 0}}, "key=0x22, 34\n"},
        {"SplitBeforeFrameStart", {{"fd", 300}, {"fd 23", 0}}, "key=0x23, 35\n"},
    };
    return cases;
}

void PrintTo(const FrameCase &c, std::ostream *os)
{
    *os << c.name;
}

class PanelFrame : public Panel, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(PanelFrame, PrintsKeys)
{
    const FrameCase &c = GetParam();
    start();
    step("revkey on", "read key from panel\n");
    size_t fed = 0;
    for (const Step &s : c.steps) {
        sh_->ctl(std::string("panel ") + s.bytes);
        fed += (std::string(s.bytes).size() + 1) / 3;
        ASSERT_TRUE(reads_reach(fed)) << "read " << bytes_read() << " of " << fed;
        sh_->settle(s.pause_ms);
    }
    const std::string want = c.out;
    if (!want.empty())
        EXPECT_TRUE(sh_->wait_for(want, 2000)) << esc(sh_->peek());
    // Every byte has been read: a key line would follow its read at once.
    EXPECT_EQ(quiet_for(150), want);
    // The monitor takes the stream one byte per read.
    for (const qntest::Event &e : qntest::events(sh_->trace()))
        if (e.kind == "panel-read")
            EXPECT_EQ(e.rest.size(), 2u) << e.rest;
    EXPECT_EQ(bytes_read(), fed);
}

INSTANTIATE_TEST_SUITE_P(Panel, PanelFrame, ::testing::ValuesIn(frame_cases()),
                         [](const ::testing::TestParamInfo<FrameCase> &i) { return std::string(i.param.name); });

// Bytes that arrive while no monitor runs wait in the stream and are read
// when one starts.
TEST_F(Panel, BytesFedBeforeOnAreReadLater)
{
    start();
    sh_->ctl("panel fd 31");
    ASSERT_TRUE(sh_->ctl_sync());
    EXPECT_EQ(quiet_for(300), "");
    EXPECT_EQ(bytes_read(), 0u);
    // The monitor may print the key before the command prints its own line.
    type("revkey on");
    std::string out = enter();
    if (out.find("key=0x31, 49\n") == std::string::npos)
        ASSERT_TRUE(sh_->wait_for("key=0x31, 49\n")) << esc(out + sh_->peek());
    out += quiet_for(300);
    EXPECT_EQ(count_of(out, "key=0x31, 49\n"), 1u) << esc(out);
    EXPECT_EQ(without(out, "key=0x31, 49\n"), kOn + qntest::prompt_draw(true)) << esc(out);
}

// A key printed while the technician types does not eat the typed keys.
TEST_F(Panel, KeysArriveWhileTyping)
{
    start();
    step("revkey on", "read key from panel\n");
    type("revkey");
    sh_->ctl("panel fd 21");
    ASSERT_TRUE(sh_->wait_for("key=0x21, 33\n")) << esc(sh_->peek());
    EXPECT_EQ(take(), "key=0x21, 33\n");
    type(" off");
    std::string out = enter();
    ASSERT_TRUE(sh_->wait_for(kQuit, 2000)) << esc(out + sh_->peek());
    EXPECT_TRUE(threads_become(base_)) << threads();
}

} // namespace
