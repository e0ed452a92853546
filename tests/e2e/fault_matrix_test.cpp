// Device faults against every command: each board request the drivers can
// refuse is made to fail, always or from its second call on, and each device
// node is taken away at start; every command of the table then runs on the
// KD3454 and the KD3555 board.  A cell holds when the shell survives, prints
// one failure line per refused request (and the result line after it where
// the command prints one), and nothing of the kind when none was refused.
// One shell per (model, fault) runs all the commands; the trace is cut per
// command by its length before the command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::Event;
using qntest::Ioctl;
using qntest::prompt_draw;
using qntest::PtyShell;

namespace {

using qntest::kClear;

// ------------------------------------------------------------ faults

struct Fault {
    std::string label;   // as shown in the survival table
    std::string fail;    // QNSIM_FAIL, or empty
    std::string missing; // QNSIM_MISSING, or empty
};

std::vector<Fault> all_faults()
{
    std::vector<Fault> v = {{"none", "", ""}};
    const char *names[] = {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER",   "I2C_REG_READ",
                           "I2C_REG_WRITE", "RTC_SET_TIME",  "settimeofday"};
    for (const char *n : names) {
        v.push_back({n, n, ""});
        v.push_back({std::string(n) + "@2", std::string(n) + "@2", ""});
    }
    v.push_back({"panel-missing", "", "panel"});
    v.push_back({"rtc-missing", "", "rtc"});
    return v;
}

// ------------------------------------------------------------ commands

// A refused request as the failure lines tell them apart: the register
// request by its direction (w0 1 read, 0 write), the others by name.
std::string request_key(const Ioctl &io)
{
    if (io.name != "QN_REG_ACCESS")
        return io.name;
    return io.in[0] == 1 ? "REG read" : io.in[0] == 0 ? "REG write" : io.name;
}

using Fails = std::map<std::string, std::string>; // request -> failure line
const Fails kReg = {{"REG read", "hs3515_rd error!"}, {"REG write", "hs3515_wr error!"}};

struct Command {
    std::string name;               // row of the survival table
    std::vector<std::string> lines; // typed one after another
    Fails fails;                    // the requests it may issue that print a failure line
    int flags = 0;                  // kSameOutput, kOwnRequests
    size_t reads = 0;               // read commands: the requests, each followed by its result
    const char *result = nullptr;   // result line of one read (ddrsize: one line after both)
    int adr_word = -1;              // block word shown as the address in the result line
};
// Output that does not depend on what was read; requests and pauses that
// differ from an undisturbed board's (the clock and the key monitor).
enum { kSameOutput = 1, kOwnRequests = 2 };

// Commands that issue several requests of one kind come first, so that a
// fault from the second call on splits them.
const std::vector<Command> &commands()
{
    const char *const kAdr = "read : adr=0x%02X, val = 0x%02X\n";
    static const std::vector<Command> v = {
        {"ddrsize", {"ddrsize"}, kReg, 0, 2},
        {"nmrd", {"nmrd 0 1 0x10 2"}, {{"I2C_REG_READ", "tw286x_mrd error!"}}, 0, 2, kAdr, 3},
        {"xm", {"xm 0x60"}, {{"I2C_REG_WRITE", "i2c_wr error!"}, {"I2C_REG_READ", "i2c_mrd error!"}}},
        {"hr", {"hr 0x2011002c"}, kReg, 0, 1, "read : 0x%08X\n"},
        {"hw", {"hw 0x20150020 8"}, kReg, kSameOutput},
        {"nrd", {"nrd 0 1 0x10"}, {{"I2C_REG_READ", "tw286x_rd error!"}}, 0, 1, "read : 0x%02X\n"},
        {"nwr", {"nwr 0 1 0x10 5"}, {{"I2C_REG_WRITE", "tw286x_wr error!"}}, kSameOutput},
        {"ird", {"ird 0x60 0x10"}, {{"I2C_REG_READ", "i2c_rd error!"}}, 0, 1, "read : 0x%02X\n"},
        {"iwr", {"iwr 0x50 1 2"}, {{"I2C_REG_WRITE", "i2c_wr error!"}}, kSameOutput},
        {"imrd", {"imrd 0x60 0x10 2"}, {{"I2C_REG_READ", "i2c_mrd error!"}}, 0, 2, kAdr, 2},
        {"buzzer", {"buzzer on"}, {{"QN_BUZZER", "buzzer_ctrl error!"}}, kSameOutput},
        {"campw", {"campw on"}, kReg, kSameOutput},
        {"hubreset", {"hubreset"}, kReg, kSameOutput},
        {"sd1reset", {"sd1reset"}, kReg, kSameOutput},
        {"adreset", {"adreset"}, kReg, kSameOutput},
        {"status", {"status"}, kReg},
        {"ctlled", {"ctlled 3"}, kReg, kSameOutput},
        {"alarm", {"alarm on"}, kReg, kSameOutput},
        {"rtcset",
         {"rtcset 2024 5 6 7 8 9"},
         {{"settimeofday", "Set system datatime error!"}, {"RTC_SET_TIME", "read rtc time failed"}},
         kOwnRequests},
        {"time", {"time"}},
        {"mbinfo", {"mbinfo"}, {}, kSameOutput},
        // Last: the key monitor's own pauses must not fall into another window.
        {"revkey", {"revkey on", "revkey off"}, {}, kOwnRequests},
    };
    return v;
}

// Every failure text a command can print, one console line each.
const char *const kFailTexts[] = {
    "hs3515_rd error!",
    "hs3515_wr error!",
    "i2c_rd error!",
    "i2c_wr error!",
    "i2c_mrd error!",
    "tw286x_rd error!",
    "tw286x_wr error!",
    "tw286x_mrd error!",
    "buzzer_ctrl error!",
    "read rtc time failed",
    "Set system datatime error!",
    "open rtc failed!",
    "lib_alarm@alarm_in: QN_ALM_IN error",
};

using qntest::split_lines;
using qntest::starts_with;

size_t count_lines(const std::string &out, const std::string &text)
{
    size_t n = 0;
    for (const std::string &l : split_lines(out))
        n += l == text;
    return n;
}

// The output with every failure line taken out.
std::string without_fail_lines(const std::string &out)
{
    std::string r;
    std::vector<std::string> ls = split_lines(out);
    for (size_t i = 0; i < ls.size(); ++i) {
        bool fail = false;
        for (const char *t : kFailTexts)
            fail |= ls[i] == t;
        if (fail)
            continue;
        r += ls[i];
        if (i + 1 < ls.size())
            r += "\n";
    }
    return r;
}

std::string shorten(const std::string &s)
{
    return s.size() > 1500 ? s.substr(0, 1500) + "..." : s;
}

// ------------------------------------------------------------ one shell

struct CmdRun {
    std::string out;                 // terminal bytes after the first Enter
    std::vector<std::string> window; // trace lines of the command
    bool prompt = false;             // the prompt came back after every line
};

struct ShellRun {
    std::string start;
    bool started = false;
    std::vector<CmdRun> cmds;
    int exit_status = -1;
    std::string exit_out;
};

ShellRun run_shell(const std::string &model, const Fault &f)
{
    PtyShell::Options o;
    o.env["QNSIM_MODEL"] = model;
    o.env["QNSIM_TIME"] = "1700000000";
    if (!f.fail.empty())
        o.env["QNSIM_FAIL"] = f.fail;
    if (!f.missing.empty())
        o.env["QNSIM_MISSING"] = f.missing;
    PtyShell sh(o);
    ShellRun r;
    r.started = sh.wait_prompt();
    r.start = sh.take();
    if (!r.started)
        return r;
    for (const Command &c : commands()) {
        CmdRun cr;
        size_t before = sh.trace().size();
        cr.prompt = true;
        for (const std::string &l : c.lines) {
            // The cell's checks below judge the output and the requests.
            PtyShell::Run lr = qntest::run_step(sh, {l, "", {}, {}, {}, qntest::kOnlyLine});
            cr.prompt = lr.prompt;
            cr.out += lr.drawn;
            if (!cr.prompt)
                break;
        }
        // A monitor that was started reports its end within one pass.
        if (cr.prompt && cr.out.find("read key from panel\n") != std::string::npos) {
            sh.wait_for("quit from read panel\n", 2000);
            cr.out += sh.take();
        }
        std::vector<std::string> tr = sh.trace();
        cr.window.assign(tr.begin() + static_cast<long>(std::min(before, tr.size())), tr.end());
        r.cmds.push_back(cr);
        if (!cr.prompt)
            return r; // the shell is gone or stuck: typing would only wait
    }
    sh.type("exit");
    sh.take();
    sh.send("\r");
    r.exit_status = sh.wait_exit();
    r.exit_out = sh.take();
    return r;
}

// The requests of a window that the simulator refused, as request_key().
std::vector<std::string> refused(const std::vector<std::string> &window)
{
    std::vector<std::string> v;
    for (const Event &e : qntest::events(window))
        if (e.kind == "settimeofday" && e.rest.find("ret=-1") != std::string::npos)
            v.push_back("settimeofday");
    for (const Ioctl &io : qntest::ioctls(window))
        if (io.ret < 0)
            v.push_back(request_key(io));
    return v;
}

bool has_event(const std::vector<std::string> &window, const std::string &kind, const std::string &rest = "")
{
    for (const Event &e : qntest::events(window))
        if (e.kind == kind && (rest.empty() || e.rest == rest))
            return true;
    return false;
}

// ------------------------------------------------------------ checks

// Model-specific texts of the commands that print results.
struct ModelView {
    uint32_t code;          // 0 when the identity request failed
    std::string buzzer_pin; // pin line of `buzzer on`
    int status_rows;
};

ModelView view_of(const std::string &model, bool identity_failed)
{
    if (identity_failed)
        return {0, "\x1b[mPin: GPIO8_2 level=1", 0};
    if (model == "KD3555")
        return {0x20D97005, "\x1b[mPin: GPIO8_4 PWM Buzzer", 7};
    return {0x20D97004, "\x1b[mPin: GPIO8_4 level=1", 5};
}

// Exact output of a read command, built from what the driver returned: the
// failure line comes right before the result line of the same read.
bool exact_read_output(const Command &c, const std::vector<std::string> &window, std::string *want)
{
    std::vector<Ioctl> io = qntest::ioctls(window);
    if (io.size() != c.reads)
        return false;
    std::string s = "\n";
    for (size_t k = 0; k < io.size(); ++k) {
        auto f = c.fails.find(request_key(io[k]));
        if (io[k].ret < 0)
            s += (f == c.fails.end() ? "refused " + io[k].name : f->second) + "\n";
        if (c.result)
            s += c.adr_word < 0 ? qntest::format(c.result, io[k].out[0])
                                : qntest::format(c.result, io[k].in[c.adr_word], io[k].out[0]);
    }
    if (!c.result) {
        // ddrsize on the default geometry (0x22, 0x10): 256 MB. A refused read
        // counts as all ones: no bus width (size 0) if the width read was
        // refused, no row or column bits (32 bytes wide, 0x20) if only the
        // geometry read was.
        const bool geometry_refused = io[0].ret < 0, width_refused = io[1].ret < 0;
        s += qntest::kGreen +
             (width_refused      ? "ddr_size:0MB 0x0\n"
              : geometry_refused ? "ddr_size:0MB 0x20\n"
                                 : "ddr_size:256MB 0x10000000\n") +
             "\x1b[m \n";
    }
    *want = s + prompt_draw(true);
    return true;
}

// Everything wrong with one cell; empty when it holds.
std::vector<std::string> check_cell(const Command &c, const CmdRun &run, const CmdRun *base, const Fault &f,
                                    const ModelView &mv)
{
    std::vector<std::string> bad;
    const std::string &out = run.out;
    if (!run.prompt)
        bad.push_back("the prompt did not come back: " + esc(shorten(out)));
    if (out.find("Sanitizer") != std::string::npos || out.find("runtime error") != std::string::npos)
        bad.push_back("sanitizer report: " + esc(shorten(out)));

    // One failure line per refused request, and no other failure line.
    std::map<std::string, size_t> want;
    for (const std::string &r : refused(run.window)) {
        if (c.fails.count(r))
            ++want[c.fails.at(r)];
        else
            bad.push_back("request " + r + " is not one this command issues");
    }
    const bool rtc_missing = f.missing == "rtc" && c.name == "rtcset";
    if (rtc_missing)
        want["open rtc failed!"] = 1;
    for (const char *t : kFailTexts) {
        size_t got = count_lines(out, t);
        size_t exp = want.count(t) ? want[t] : 0;
        if (got != exp)
            bad.push_back("\"" + std::string(t) + "\" printed " + std::to_string(got) + " times, requests refused " +
                          std::to_string(exp) + ": " + esc(shorten(out)));
    }

    auto expect_out = [&](const std::string &what, const std::string &w) {
        if (out != w)
            bad.push_back(what + "\n  got  " + esc(out) + "\n  want " + esc(w));
    };
    const std::string end = prompt_draw(true);
    const bool ran_tools = has_event(run.window, "system", "hwclock") && has_event(run.window, "system", "date");
    // The result line follows a failed read.
    std::string exact;
    if (c.reads && !exact_read_output(c, run.window, &exact))
        bad.push_back("unexpected requests for a read command: " + std::to_string(qntest::ioctls(run.window).size()));
    else if (c.reads)
        expect_out("output", exact);
    if (c.name == "buzzer")
        expect_out("output", "\n" + qntest::kRed + "Buzzer honking\n" +
                                 (refused(run.window).empty() ? "" : "buzzer_ctrl error!\n") + mv.buzzer_pin + "\n" +
                                 end);
    if (c.name == "status") {
        size_t fails = count_lines(out, "hs3515_rd error!");
        // The reads come before the header; no mbinfo has named the board yet.
        std::string w_start = "\n";
        for (size_t i = 0; i < fails; ++i)
            w_start += "hs3515_rd error!\n";
        w_start += "=== GpioDevice status====\n" + qntest::kGreen;
        size_t rows = 0;
        for (const std::string &l : split_lines(out))
            rows += l.find(" \t\tval=") != std::string::npos;
        if (!starts_with(out, w_start))
            bad.push_back("status header: " + esc(out));
        if (rows != static_cast<size_t>(mv.status_rows))
            bad.push_back("status rows " + std::to_string(rows) + ", want " + std::to_string(mv.status_rows));
        if (out.find(qntest::kNorm + " \n" + end) == std::string::npos)
            bad.push_back("status closing line missing: " + esc(out));
    }
    if (c.name == "xm") {
        size_t banks = 0, reads = 0, chip = 0;
        for (const std::string &l : split_lines(out)) {
            banks += starts_with(l, "[bank");
            reads += starts_with(l, "read : adr=0x");
            chip += l == "chip=0x60";
        }
        if (chip != 1 || banks != 5 || reads != 5 * 256)
            bad.push_back("xm lines: chip " + std::to_string(chip) + ", banks " + std::to_string(banks) + ", reads " +
                          std::to_string(reads));
    }
    if (c.name == "rtcset") {
        const std::string input = "\nInput:2024-05-06 07:08:09\n";
        std::vector<std::string> r = refused(run.window);
        if (rtc_missing) {
            expect_out("rtcset without /dev/rtc", "\n\nopen rtc failed!\n" + end);
            if (has_event(run.window, "settimeofday") || has_event(run.window, "system"))
                bad.push_back("rtcset without /dev/rtc went on");
        } else if (std::count(r.begin(), r.end(), "settimeofday")) {
            expect_out("rtcset", input + "Set system datatime error!\n" + end);
            if (!qntest::ioctls(run.window).empty() || has_event(run.window, "system"))
                bad.push_back("rtcset set the RTC or showed the clocks after the system clock was refused");
        } else if (std::count(r.begin(), r.end(), "RTC_SET_TIME")) {
            expect_out("rtcset", input + "read rtc time failed\n" + end);
            if (has_event(run.window, "system"))
                bad.push_back("rtcset showed the clocks after the RTC refused");
        } else if (!starts_with(out, input) || !ran_tools) {
            bad.push_back("rtcset: " + esc(out));
        }
    }
    if (c.name == "time" && !ran_tools)
        bad.push_back("time did not run hwclock and date");
    if (c.name == "mbinfo" && mv.code == 0)
        expect_out("mbinfo without identity", "\n" + end);
    if (c.name == "revkey" && f.missing == "panel")
        expect_out("revkey without panel", "\nrevkey: no panel device (/dev/panel)\n" + end + "\n" + end);
    else if (c.name == "revkey" && (out.find("\nread key from panel\n") == std::string::npos ||
                                    out.find("quit from read panel\n") == std::string::npos))
        bad.push_back("revkey on/off: " + esc(out));

    // The command goes on after a refusal: the same requests and pauses as on
    // an undisturbed board, and, for commands whose output does not depend on
    // what was read, the same output once the failure lines are taken out.
    if (base && !(c.flags & kOwnRequests)) {
        std::vector<std::string> got = qntest::requests(run.window), exp = qntest::requests(base->window);
        if (got != exp) {
            std::string g, e;
            for (size_t i = 0; i < got.size() && i < 8; ++i)
                g += "\n    " + got[i];
            for (size_t i = 0; i < exp.size() && i < 8; ++i)
                e += "\n    " + exp[i];
            bad.push_back("requests differ from the undisturbed board (" + std::to_string(got.size()) + " vs " +
                          std::to_string(exp.size()) + "):" + g + "\n  undisturbed:" + e);
        }
        if ((c.flags & kSameOutput) && without_fail_lines(out) != base->out)
            bad.push_back("output differs from the undisturbed board beyond failure lines\n  got  " + esc(out) +
                          "\n  base " + esc(base->out));
    }
    return bad;
}

// ------------------------------------------------------------ table

struct Survival {
    // command -> model -> fault labels survived, in matrix order
    std::map<std::string, std::map<std::string, std::vector<std::string>>> rows;
    std::vector<std::string> notes;
};
Survival &survival()
{
    static Survival s;
    return s;
}

class TablePrinter : public ::testing::Environment {
  public:
    void TearDown() override
    {
        Survival &s = survival();
        if (s.rows.empty() && s.notes.empty())
            return;
        std::printf("\nDevice-fault matrix: faults survived per command (both models unless marked)\n");
        std::vector<Fault> faults = all_faults();
        for (const Command &c : commands()) {
            auto &by_model = s.rows[c.name];
            std::string line = c.name + ":";
            for (const Fault &f : faults) {
                bool a = false, b = false;
                for (const std::string &l : by_model["KD3454"])
                    a |= l == f.label;
                for (const std::string &l : by_model["KD3555"])
                    b |= l == f.label;
                if (a && b)
                    line += " " + f.label;
                else if (a)
                    line += " " + f.label + "[KD3454 only]";
                else if (b)
                    line += " " + f.label + "[KD3555 only]";
            }
            std::printf("  %s\n", line.c_str());
        }
        for (const std::string &n : s.notes)
            std::printf("  %s\n", n.c_str());
        std::fflush(stdout);
    }
};
const ::testing::Environment *const kTablePrinter = ::testing::AddGlobalTestEnvironment(new TablePrinter);

// The undisturbed run of a model, shared by its cells.
const ShellRun &baseline(const std::string &model)
{
    static std::map<std::string, ShellRun> cache;
    auto it = cache.find(model);
    if (it == cache.end())
        it = cache.emplace(model, run_shell(model, Fault{"none", "", ""})).first;
    return it->second;
}

// ------------------------------------------------------------ tests

struct Cell {
    std::string model;
    Fault fault;
};

std::vector<Cell> all_cells()
{
    std::vector<Cell> v;
    for (const char *m : {"KD3454", "KD3555"})
        for (const Fault &f : all_faults())
            v.push_back({m, f});
    return v;
}

void PrintTo(const Cell &c, std::ostream *os)
{
    *os << c.model << " " << c.fault.label;
}

class FaultMatrixCell : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrixCell, EveryCommandSurvives)
{
    const Cell &cell = GetParam();
    const bool identity_failed = cell.fault.fail == "QN_GET_MBINFO";
    const ShellRun &base = baseline(cell.model);
    ShellRun own;
    const ShellRun *run = &base;
    if (cell.fault.label != "none") {
        own = run_shell(cell.model, cell.fault);
        run = &own;
    }
    ASSERT_TRUE(run->started) << esc(run->start);
    std::string start = (identity_failed ? "lib_alarm@alarm_in: QN_ALM_IN error\n" : "") + kClear + prompt_draw(false);
    EXPECT_EQ(esc(run->start), esc(start));
    const ModelView mv = view_of(cell.model, identity_failed);
    // Beside an undisturbed run only where the board identity is the same.
    const bool comparable = cell.fault.label != "none" && !identity_failed;
    for (size_t i = 0; i < commands().size(); ++i) {
        const Command &c = commands()[i];
        SCOPED_TRACE(cell.model + " " + cell.fault.label + " " + c.name);
        if (i >= run->cmds.size()) {
            ADD_FAILURE() << "not run: the shell stopped answering before it";
            continue;
        }
        const CmdRun *b = comparable && i < base.cmds.size() ? &base.cmds[i] : nullptr;
        std::vector<std::string> bad = check_cell(c, run->cmds[i], b, cell.fault, mv);
        for (const std::string &p : bad)
            ADD_FAILURE() << p;
        if (bad.empty())
            survival().rows[c.name][cell.model].push_back(cell.fault.label);
    }
    // The fault must have bitten: a request made to fail was refused at least
    // once during the commands (the identity request is made only at start,
    // the sounder, RTC and clock requests only once).
    const std::string &fail = cell.fault.fail;
    const bool must_bite =
        !fail.empty() && !starts_with(fail, "QN_GET_MBINFO") &&
        (fail.find('@') == std::string::npos || starts_with(fail, "QN_REG") || starts_with(fail, "I2C"));
    size_t refusals = 0;
    for (const CmdRun &cr : run->cmds)
        refusals += refused(cr.window).size();
    if (must_bite)
        EXPECT_GT(refusals, 0u) << "no request was refused";
    else
        EXPECT_EQ(refusals, 0u);
    EXPECT_EQ(run->exit_status, 0) << esc(run->exit_out);
    EXPECT_EQ(run->exit_out, "\n\r") << esc(run->exit_out);
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, FaultMatrixCell, ::testing::ValuesIn(all_cells()),
                         [](const ::testing::TestParamInfo<Cell> &i) {
                             std::string n = i.param.model + "_" + i.param.fault.label;
                             for (char &ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return n;
                         });

// Without the board driver or the video-decoder driver the shell never
// starts: the device layer's message, no prompt, status 255.
TEST(FaultMatrixStart, BoardNodeMissingStopsTheShell)
{
    const char *nodes[] = {"qn_KD300", "tw_286x"};
    for (const char *n : nodes) {
        SCOPED_TRACE(n);
        PtyShell::Options o;
        o.env["QNSIM_MISSING"] = n;
        PtyShell sh(o);
        int st = sh.wait_exit();
        std::string out = sh.take();
        EXPECT_EQ(st, 255);
        std::string want = std::string("\nqn_kd3151: ") + n + " open error\n: No such file or directory\n";
        EXPECT_EQ(esc(out), esc(want));
        if (st == 255 && out == want)
            survival().notes.push_back(std::string(n) + "-missing: shell not started, status 255");
    }
}

} // namespace
