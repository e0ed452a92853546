// The shell's spine end to end: console mode on the way in and out, device
// opening and closing, the start-up drawing, the editing keys, the built-in
// words and the board identity, byte for byte on the terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "pty_shell.h"

using namespace qntest; // harness, keys, colours, screen control

namespace {

// A throw-away /bin/sh script that the harness runs instead of the shell; it
// finds the shell's binary in QN_SHELL_UNDER_TEST.
class Script {
  public:
    explicit Script(const std::string &body)
    {
        const char *tmp = getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn_spine_XXXXXX";
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
    PtyShell::Options options() const
    {
        PtyShell::Options o;
        o.program = path_;
        o.env["QN_SHELL_UNDER_TEST"] = QN_SHELL_BIN;
        return o;
    }

  private:
    std::string path_;
};

// The console is given settings of its own before the shell starts, so that
// a restore cannot pass by accident: VMIN 4 and VTIME 2 differ from raw mode.
const char kPrepare[] = "stty min 4 time 2 || exit 99; ";

struct termios console_before()
{
    Script s(std::string(kPrepare) + "exec cat");
    PtyShell cat(s.options());
    cat.settle(300);
    return cat.console();
}

// Device events (open, close, ioctl) of the trace as "kind rest" lines.
std::vector<std::string> device_events(PtyShell &sh)
{
    std::vector<std::string> out;
    for (const Event &e : qntest::events(sh.trace()))
        if (e.kind == "open" || e.kind == "close" || e.kind == "ioctl")
            out.push_back(e.kind + " " + e.rest);
    return out;
}

std::string fd_of(const std::string &open_line)
{
    size_t p = open_line.find("fd=");
    return p == std::string::npos ? "?" : open_line.substr(p + 3);
}

const std::string kMbinfoZero = "ioctl QN_GET_MBINFO in=0x00000000,0x00000000,0x00000000,0x00000000,0x00000000 ";

// The device events of a whole run: the nodes opened in order, the identity
// request, and the same nodes closed in order by the descriptors opened.
void expect_lifecycle(const std::vector<std::string> &ev, const std::vector<std::string> &nodes)
{
    ASSERT_EQ(ev.size(), 2 * nodes.size() + 1) << join(ev);
    for (size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(ev[i].rfind("open /dev/" + nodes[i] + " fd=", 0), 0u) << ev[i];
        EXPECT_EQ(ev[nodes.size() + 1 + i], "close fd=" + fd_of(ev[i]) + " /dev/" + nodes[i]);
    }
    EXPECT_EQ(ev[nodes.size()].rfind(kMbinfoZero, 0), 0u) << ev[nodes.size()];
    EXPECT_NE(ev[nodes.size()].find(" ret=0"), std::string::npos) << ev[nodes.size()];
}

struct Row {
    const char *name;
    const char *help;
};
const Row kTable[] = {
    {"mbinfo", "get HwInfomation\t:mbinfo"},
    {"hr", "hs3520D read\t\t:hr addr"},
    {"hw", "hs3520D write\t\t:hw addr data"},
    {"nrd", "nvp6114 read\t\t:nrd  id bank regaddr"},
    {"nwr", "nvp6114 write\t\t:nwr  id bank regaddr regval"},
    {"nmrd", "nvp6114 mult read\t:nmrd id bank regaddr count"},
    {"ird", "i2c read\t\t:ird  id regaddr"},
    {"iwr", "i2c write\t\t:iwr  id regaddr regval"},
    {"imrd", "i2c read\t\t:imrd id regaddr count"},
    {"buzzer", "buzzer control\t:buzzer {on|off}"},
    {"campw", "camera power control\t:campw {on|off}"},
    {"hubreset", "hub reset control\t:hubreset"},
    {"sd1reset", "sd1 reset control\t:sd1reset"},
    {"adreset", "ad chip reset control\t:adreset"},
    {"status", "get io-device status\t:status"},
    {"ctlled", "Lighting control\t:ctlled bitmap[bit0:REC, bit1:Alarm 1:on, 0:off]"},
    {"alarm", "alarm trigger control\t:alarm  {on|off}"},
    {"revkey", "read ir key\t\t:revkey {on|off}"},
    {"rtcset", "rtc set timet\t\t:rtcset yyyy mm dd hh mm ss"},
    {"time", "read rtc/system time\t:time"},
    {"xm", "xm nvp6114 config\t:xm chip"},
    {"ddrsize", "get ddr size\t\t:ddrsize"},
};

std::string help_listing()
{
    std::string s = "\n\r";
    for (const Row &r : kTable)
        s += std::string(r.name) + "\r\t\t: " + r.help + "\t\t\n";
    return s + "\nexit or q\t: quit qn_shell" + "\nhelp or ?\t: help\n";
}

} // namespace

// ---------------------------------------------------------------- console

TEST(SpineConsole, RawModeChangesOnlyCanonAndEcho)
{
    const struct termios before = console_before();
    ASSERT_EQ(before.c_cc[VMIN], 4) << "stty did not prepare the console";
    Script s(std::string(kPrepare) + "exec \"$QN_SHELL_UNDER_TEST\"");
    PtyShell sh(s.options());
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    struct termios t = sh.console();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(t.c_lflag & ISIG, 0u);
    EXPECT_EQ(t.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(t.c_iflag, before.c_iflag); // CR still maps to LF
    EXPECT_EQ(t.c_oflag, before.c_oflag);
    EXPECT_EQ(t.c_cflag, before.c_cflag);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VINTR], before.c_cc[VINTR]);
    EXPECT_EQ(t.c_cc[VQUIT], before.c_cc[VQUIT]);
    EXPECT_EQ(t.c_cc[VSUSP], before.c_cc[VSUSP]);
}

TEST(SpineConsole, EveryWayOutRestoresTheConsole)
{
    const struct termios before = console_before();
    ASSERT_EQ(before.c_cc[VTIME], 2) << "stty did not prepare the console";
    struct Way {
        const char *name;
        const char *line; // typed, or null for a signal
        int sig;
        int status;
    };
    const Way ways[] = {
        {"exit", "exit", 0, 0},
        {"q", "q", 0, 0},
        {"SIGTERM", nullptr, SIGTERM, 128 + SIGTERM},
        {"SIGHUP", nullptr, SIGHUP, 128 + SIGHUP},
    };
    for (const Way &w : ways) {
        SCOPED_TRACE(w.name);
        Script s(std::string(kPrepare) + "exec \"$QN_SHELL_UNDER_TEST\"");
        PtyShell sh(s.options());
        ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
        sh.take();
        if (w.line) {
            sh.type(w.line);
            sh.take();
            sh.send("\r");
        } else {
            sh.kill(w.sig);
        }
        EXPECT_EQ(sh.wait_exit(), w.status);
        if (w.line)
            EXPECT_EQ(sh.take(), "\n\r");
        EXPECT_EQ(qntest::console_diff(sh.console(), before), "");
    }
}

TEST(SpineConsole, FailedStartRestoresTheConsole)
{
    const struct termios before = console_before();
    Script s(std::string(kPrepare) + "exec \"$QN_SHELL_UNDER_TEST\"");
    PtyShell::Options o = s.options();
    o.env["QNSIM_MISSING"] = "tw_286x";
    PtyShell sh(o);
    EXPECT_EQ(sh.wait_exit(), 255) << esc(sh.peek());
    EXPECT_EQ(qntest::console_diff(sh.console(), before), "");
}

TEST(SpineConsole, InterruptQuitAndSuspendKeysDoNotStopTheShell)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.take();
    const char *keys[] = {"\x03", "\x1c", "\x1a"};
    for (const char *k : keys) {
        SCOPED_TRACE(esc(k));
        sh.send(k);
        sh.settle(150);
        EXPECT_EQ(sh.take(), ""); // the terminal turned the key into a signal
    }
    std::string out = sh.key("h");
    EXPECT_EQ(out, redraw("h", 11)) << esc(out);
    EXPECT_EQ(sh.wait_exit(100), -1) << "the shell ended";
    out = sh.key("\x08");
    EXPECT_EQ(out, redraw("", 10)) << esc(out);
    sh.type("q");
    sh.take();
    sh.send("\r");
    EXPECT_EQ(sh.wait_exit(), 0);
}

// End of input and a read error on the console leave the shell as exit does.
TEST(SpineConsole, EndOfInputAndReadErrorLeaveLikeExit)
{
    struct Case {
        const char *name;
        const char *redirect;
    };
    const Case cases[] = {{"end of input", "</dev/null"}, {"read error", "0>/dev/null"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Script s(std::string("exec \"$QN_SHELL_UNDER_TEST\" ") + c.redirect);
        PtyShell sh(s.options());
        EXPECT_EQ(sh.wait_exit(), 0) << esc(sh.peek());
        std::string out = sh.take();
        EXPECT_EQ(out, kClear + prompt_draw(false) + "\n\r") << esc(out);
        expect_lifecycle(device_events(sh), {"qn_KD300", "tw_286x", "panel"});
    }
}

// ---------------------------------------------------------------- devices

TEST(SpineDevices, OpenFailureStopsBeforeThePrompt)
{
    struct Case {
        const char *var;
        const char *node;
        std::string text;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"QNSIM_MISSING",
         "qn_KD300",
         "\nqn_kd3151: qn_KD300 open error\n: No such file or directory\n",
         {"open /dev/qn_KD300 missing"}},
        {"QNSIM_MISSING",
         "tw_286x",
         "\nqn_kd3151: tw_286x open error\n: No such file or directory\n",
         {"open /dev/qn_KD300 fd=", "open /dev/tw_286x missing"}},
        {"QNSIM_DENY",
         "panel",
         "\nqn_kd3151: panel open error\n: Permission denied\n",
         {"open /dev/qn_KD300 fd=", "open /dev/tw_286x fd=", "open /dev/panel denied"}},
        {"QNSIM_DENY",
         "qn_KD300",
         "\nqn_kd3151: qn_KD300 open error\n: Permission denied\n",
         {"open /dev/qn_KD300 denied"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.var) + "=" + c.node);
        PtyShell::Options o;
        o.env[c.var] = c.node;
        PtyShell sh(o);
        EXPECT_EQ(sh.wait_exit(), 255);
        std::string out = sh.take();
        EXPECT_EQ(out, c.text) << esc(out);
        // No identity request, no close: the shell never ran.
        std::vector<std::string> ev = device_events(sh);
        ASSERT_EQ(ev.size(), c.events.size()) << join(ev);
        for (size_t i = 0; i < ev.size(); ++i)
            EXPECT_EQ(ev[i].compare(0, c.events[i].size(), c.events[i]), 0) << ev[i];
    }
}

// Without the panel node the shell runs; an absent node is not even tried.
TEST(SpineDevices, StartOpensThreeNodesThenReadsIdentity)
{
    for (bool panel : {true, false}) {
        SCOPED_TRACE(panel ? "with panel" : "without panel");
        PtyShell::Options o;
        if (!panel)
            o.env["QNSIM_MISSING"] = "panel";
        PtyShell sh(o);
        ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
        std::string out = sh.take();
        EXPECT_EQ(out, kClear + prompt_draw(false)) << esc(out);
        sh.type("exit");
        sh.send("\r");
        ASSERT_EQ(sh.wait_exit(), 0);
        if (panel)
            expect_lifecycle(device_events(sh), {"qn_KD300", "tw_286x", "panel"});
        else
            expect_lifecycle(device_events(sh), {"qn_KD300", "tw_286x"});
    }
}

// ---------------------------------------------------------------- drawing

TEST(SpineDraw, StartClearsTheScreenThenDrawsThePrompt)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.settle(100);
    std::string out = sh.take();
    EXPECT_EQ(out, kClear + prompt_draw(false)) << esc(out);
}

TEST(SpineDraw, EditingKeysRedrawTheLine)
{
    struct Step {
        std::string bytes;
        const char *text; // null: no output at all
        int col;
    };
    std::vector<Step> steps = {
        {"c", "abc", 13},                                            // after "ab" typed
        {kLeft, "abc", 12},  {kLeft, "abc", 11},  {"x", "axbc", 12}, // inserted before the character under the cursor
        {"\x08", "abc", 11},                                         // Backspace removes left of the cursor
        {"\x7f", "ac", 11},                                          // DEL removes under the cursor, cursor stays
        {kHome, "ac", 10},   {"\x08", "ac", 10},                     // Backspace at the start
        {kLeft, "ac", 10},                                           // Left at the start
        {"z", "zac", 11},                                            // Home then typing inserts at the start
        {kEnd, "zac", 13},   {kRight, "zac", 13},                    // Right at the end
        {"\x7f", "zac", 13},                                         // DEL at the end
        {kLeft, "zac", 12},  {kRight, "zac", 13}, {"ab", "zac", 13}, // two bytes in one read sum to 195
        {kPgUp, nullptr, 0}, {kPgDn, nullptr, 0},
    };
    // No binding: redrawn unchanged.
    for (const char *k : {"\x1b[3~", "\x1b[H", "\x1b[F", "\x1b[1~", "\x1b[4~", "\x1bOA", "\x1bOD", "\x1b"})
        steps.push_back({k, "zac", 13});
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.type("ab");
    sh.take();
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step &s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + " key " + esc(s.bytes));
        std::string out = sh.key(s.bytes, s.text != nullptr);
        std::string want = s.text ? redraw(s.text, s.col) : "";
        EXPECT_EQ(out, want) << esc(out) << "\nwanted " << esc(want);
    }
}

TEST(SpineDraw, FullLineIgnoresPrintableKeys)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string text;
    for (int i = 0; i < 99; ++i)
        text += static_cast<char>('a' + i % 26);
    std::string out = sh.type(text);
    ASSERT_EQ(out.substr(out.size() - redraw(text, 109).size()), redraw(text, 109)) << esc(out);
    out = sh.key("Z");
    EXPECT_EQ(out, redraw(text, 109)) << esc(out);
    sh.key(kHome);
    out = sh.key("Z");
    EXPECT_EQ(out, redraw(text, 10)) << esc(out);
    sh.key(kEnd);
    out = sh.key("\x08");
    EXPECT_EQ(out, redraw(text.substr(0, 98), 108)) << esc(out);
    out = sh.key("Z");
    EXPECT_EQ(out, redraw(text.substr(0, 98) + "Z", 109)) << esc(out);
    out = sh.key("Y");
    EXPECT_EQ(out, redraw(text.substr(0, 98) + "Z", 109)) << esc(out);
    sh.take();
    sh.send("\r");
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    out = sh.take();
    std::string lowered = text.substr(0, 98) + "z";
    EXPECT_EQ(out, "\nunsupport cmd! cmd = " + lowered + "\n" + prompt_draw(true)) << esc(out);
}

// ---------------------------------------------------------------- built-ins

TEST(SpineBuiltins, HelpAndQuestionMarkListTheTable)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    const char *words[] = {"help", "?"};
    for (const char *w : words) {
        SCOPED_TRACE(w);
        std::string out = sh.line(w);
        std::string want = help_listing() + prompt_draw(true);
        EXPECT_EQ(out, want) << esc(out) << "\nwanted " << esc(want);
    }
    // Built-ins never reach the history.
    std::string out = sh.key(kUp);
    EXPECT_EQ(out, redraw("", 10)) << esc(out);
}

TEST(SpineBuiltins, ClearAndEmptyLine)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string out = sh.line("clear");
    EXPECT_EQ(out, kClear + prompt_draw(true)) << esc(out);
    out = sh.line("");
    EXPECT_EQ(out, "\n\r" + prompt_draw(false)) << esc(out);
    out = sh.line("");
    EXPECT_EQ(out, "\n\r" + prompt_draw(false)) << esc(out);
    // A line typed and rubbed out again is empty, but the cursor stood past
    // the prompt on the way.
    sh.type("x\x08");
    out = sh.line("");
    EXPECT_EQ(out, "\n\r" + prompt_draw(false)) << esc(out);
    out = sh.key(kUp);
    EXPECT_EQ(out, redraw("", 10)) << esc(out);
}

TEST(SpineBuiltins, NearMissesGoToTheInterpreter)
{
    struct Case {
        const char *typed;
        const char *named;
    };
    const Case cases[] = {
        {"EXIT", "exit"},   {"exit ", "exit"}, {" help", "help"}, {"Q", "q"},
        {"CLEAR", "clear"}, {"quit", "quit"},  {"h", "h"},        {"Help me", "help"},
    };
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    for (const Case &c : cases) {
        SCOPED_TRACE(esc(c.typed));
        std::string out = sh.line(c.typed);
        std::string want = std::string("\nunsupport cmd! cmd = ") + c.named + "\n" + prompt_draw(true);
        EXPECT_EQ(out, want) << esc(out);
    }
    // Each of them went to the history as typed.
    std::string out = sh.key(kUp);
    EXPECT_EQ(out, redraw("Help me", 17)) << esc(out);
    EXPECT_EQ(sh.wait_exit(100), -1) << "a near miss of exit ended the shell";
}

TEST(SpineBuiltins, BlankLinePrintsNothingButIsStored)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string out = sh.line("   ");
    EXPECT_EQ(out, prompt_draw(true)) << esc(out);
    out = sh.key(kUp);
    EXPECT_EQ(out, redraw("   ", 13)) << esc(out);
}

TEST(SpineBuiltins, CommandOutputIsFlushedBeforeThePrompt)
{
    PtyShell::Options o;
    o.split_stdout = true;
    o.env["QNSIM_MODEL"] = "KD3252";
    PtyShell sh(o);
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string out = sh.line("foo");
    EXPECT_EQ(out, prompt_draw(true)) << esc(out);
    std::string text = sh.stdout_text();
    EXPECT_EQ(text, "\nunsupport cmd! cmd = foo\n") << esc(text);
    sh.line("mbinfo");
    text = sh.stdout_text();
    EXPECT_EQ(text, "\nunsupport cmd! cmd = foo\n\n\x1b[0;32;32mhardware=KD3252, custom=0, mb_version=1\x1b[m  \n")
        << esc(text);
}

// ---------------------------------------------------------------- identity

TEST(SpineMbinfo, ShowsTheReportedIdentity)
{
    struct Case {
        const char *model;
        const char *gp_id;
        const char *version;
        std::string shown; // empty: nothing printed
    };
    const std::vector<Case> cases = {
        {"KD3151", "0", "1", "hardware=KD3151, custom=0, mb_version=1"},
        {"KD3252", "7", "2", "hardware=KD3252, custom=7, mb_version=2"},
        {"KD3353", "0x1234", "3", "hardware=KD3353, custom=4660, mb_version=3"},
        {"KD3454", "0", "2", "hardware=KD3454, custom=0, mb_version=2"},
        {"KD3555", "12", "0x80000000", "hardware=KD3555, custom=12, mb_version=-2147483648"},
        {"0x20D97006", "5", "6", "hardware=unknown, custom=5, mb_version=6"},
        {"0x20D97007", "0", "0", "hardware=unknown, custom=0, mb_version=0"},
        {"0x20D97000", "0", "1", "hardware=unknown, custom=0, mb_version=1"},
        {"0x20D97008", "0", "1", "hardware=unknown, custom=0, mb_version=1"},
        {"0xFFFFFFFF", "0", "1", "hardware=unknown, custom=0, mb_version=1"},
        {"KD3151", "0xFFFFFFFF", "0xFFFFFFFF", "hardware=KD3151, custom=-1, mb_version=-1"},
        {"0", "3", "4", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " gp_id " + c.gp_id + " version " + c.version);
        PtyShell::Options o;
        o.env["QNSIM_MODEL"] = c.model;
        o.env["QNSIM_GP_ID"] = c.gp_id;
        o.env["QNSIM_MB_VERSION"] = c.version;
        PtyShell sh(o);
        ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
        std::string out = sh.take();
        EXPECT_EQ(out, kClear + prompt_draw(false)) << esc(out);
        std::string shown = c.shown.empty() ? "" : "\x1b[0;32;32m" + c.shown + "\x1b[m  \n";
        const char *lines[] = {"mbinfo", "MBINFO extra 1 2"};
        for (const char *l : lines) {
            out = sh.line(l);
            EXPECT_EQ(out, "\n" + shown + prompt_draw(true)) << esc(out);
        }
        // The identity is read once, at start.
        std::vector<qntest::Ioctl> io = qntest::ioctls(sh.trace());
        ASSERT_EQ(io.size(), 1u);
        EXPECT_EQ(io[0].name, "QN_GET_MBINFO");
    }
}

TEST(SpineMbinfo, FailedIdentityRequest)
{
    PtyShell::Options o;
    o.env["QNSIM_FAIL"] = "QN_GET_MBINFO";
    o.env["QNSIM_MODEL"] = "KD3151";
    PtyShell sh(o);
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    std::string out = sh.take();
    EXPECT_EQ(out, "lib_alarm@alarm_in: QN_ALM_IN error\n" + kClear + prompt_draw(false)) << esc(out);
    out = sh.line("mbinfo");
    EXPECT_EQ(out, "\n" + prompt_draw(true)) << esc(out);
    std::vector<qntest::Ioctl> io = qntest::ioctls(sh.trace());
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].name, "QN_GET_MBINFO");
    EXPECT_EQ(io[0].ret, -1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(io[0].in[i], 0u) << "w" << i;
}

// ---------------------------------------------------------------- writes

// Each redraw, and the completion listing, reaches the terminal in a single
// write; seen through strace where the machine has it.
TEST(SpineDraw, EachRedrawIsOneWrite)
{
    if (system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace not available";
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qn_spine_st_XXXXXX";
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    const std::string log = dir + "/writes.txt";
    Script s("P=$LD_PRELOAD; unset LD_PRELOAD; "
             "exec strace -f -qq -e trace=write -e signal=none -xx -s 65536 -o \"$QN_WRITES\" "
             "-E LD_PRELOAD=\"$P\" \"$QN_SHELL_UNDER_TEST\"");
    std::vector<std::string> writes;
    {
        PtyShell::Options o = s.options();
        o.env["QN_WRITES"] = log;
        PtyShell sh(o);
        ASSERT_TRUE(sh.wait_prompt(10000)) << esc(sh.peek());
        sh.key("\t");
        sh.type("h");
        sh.key("\t");
        sh.type("u");
        sh.key(kLeft);
        sh.key("\t");
        for (int k = 0; k < 9; ++k)
            sh.key("\x08");
        sh.type("q");
        sh.send("\r");
        ASSERT_EQ(sh.wait_exit(10000), 0) << esc(sh.peek());
        std::ifstream f(log);
        for (std::string l; std::getline(f, l);) {
            size_t p = l.find("write(2, \"");
            if (p == std::string::npos)
                continue;
            std::string bytes;
            for (p += 10; p + 3 < l.size() && l[p] == '\\' && l[p + 1] == 'x'; p += 4)
                bytes += static_cast<char>(std::stoi(l.substr(p + 2, 2), nullptr, 16));
            writes.push_back(bytes);
        }
    }
    std::remove(log.c_str());
    rmdir(dir.c_str());
    std::string all_words;
    for (const Row &r : kTable)
        all_words += std::string(r.name) + "\t";
    // Skip the start-up drawing, however it was written.
    size_t i = 0;
    for (std::string acc; i < writes.size() && acc != kClear + prompt_draw(false); ++i)
        acc += writes[i];
    const std::vector<std::string> want = {
        "\n\r" + all_words + "\n\rquenta $: " + redraw("", 10),
        redraw("h", 11),
        "\n\rhr\thw\thubreset\t\n\rquenta $: " + redraw("h", 11),
        redraw("hu", 12),
        redraw("hu", 11),
        redraw("hubreset ", 19),
        redraw("hubreset", 18),
        redraw("hubrese", 17),
    };
    std::vector<std::string> got(writes.begin() + static_cast<long>(i), writes.end());
    ASSERT_GE(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k)
        EXPECT_EQ(esc(got[k]), esc(want[k])) << "write " << k;
}
