// End-to-end harness: runs the shell on a pseudo-terminal under the
// board simulator and gives tests byte-exact access to what it draws.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "console_seq.h"

namespace qntest {

// Render control bytes visibly for assertion messages (\e, \r, \n, \t, \xHH).
std::string esc(const std::string &s);
// Exact bytes of the prompt drawing; newline when the cursor stood past it.
std::string prompt_draw(bool newline);
// Exact bytes of the one-write line redraw after a key.
std::string redraw(const std::string &text, int cursor_col);

// One simulator trace line "T kind rest...", order preserved.
struct Event {
    long long t = -1; // microseconds, -1 if the line had no time stamp
    std::string kind; // open, close, ioctl, usleep, sync, ...
    std::string rest; // everything after the kind
};
std::vector<Event> events(const std::vector<std::string> &trace);

// Parsed "ioctl NAME in=... out=... ret=R" lines (words absent stay 0).
struct Ioctl {
    long long t = -1;
    std::string name;
    uint32_t in[5] = {0, 0, 0, 0, 0};
    uint32_t out[5] = {0, 0, 0, 0, 0};
    int ret = 0;
    std::string rest; // the raw text after the name
};
std::vector<Ioctl> ioctls(const std::vector<std::string> &trace);
// Arguments of every traced usleep, in order.
std::vector<long long> usleeps(const std::vector<std::string> &trace);

// Colours and screen control as the shell prints them.
inline const std::string kRed = SEQ_RED, kGreen = SEQ_GREEN, kNorm = SEQ_NORMAL;
inline const std::string kClear = SEQ_CLEAR_SCREEN SEQ_CURSOR_HOME;
// Editing keys as the terminal sends them.
inline const std::string kUp = "\x1b[A", kDown = "\x1b[B", kRight = "\x1b[C", kLeft = "\x1b[D";
inline const std::string kHome = "\x1bOH", kEnd = "\x1bOF", kPgUp = "\x1b[5~", kPgDn = "\x1b[6~";

// "NAME in=0x%08x,..." with all five block words.
std::string block(const std::string &name, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4);
// Driver requests as block() lines (" ret=R" appended if with_ret) and
// "usleep N" waits, in trace order.
std::vector<std::string> requests(const std::vector<std::string> &trace, bool with_ret = false);
std::string join(const std::vector<std::string> &lines); // one per line

// Strings: the pieces between line feeds (the last may be empty), how often
// `what` occurs, the text with every `what` taken out, printf into a string,
// and whether a sanitizer reported something in the text.
std::vector<std::string> split_lines(const std::string &s);
size_t count_of(const std::string &text, const std::string &what);
std::string without(std::string text, const std::string &what);
bool starts_with(const std::string &s, const std::string &prefix);
bool ends_with(const std::string &s, const std::string &suffix);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
bool sanitizer_text(const std::string &s);

// Tries pred until it holds or timeout_ms have passed; between tries it
// calls wait(us) (default: sleep), the pause growing from 50 us to 5 ms.
bool eventually(const std::function<bool()> &pred, int timeout_ms, const std::function<void(int us)> &wait = nullptr);
// out without the prompt drawn after a command; *had says it was there.
std::string strip_prompt(const std::string &out, bool *had = nullptr);

// Pin levels of the simulator's waveform: 72 GPIO pins, start levels and
// every change with its time.
constexpr int kPins = 72;
struct Wave {
    struct Change {
        long long t;
        int pin, level;
    };
    bool ok = false; // every pin declared and dumped
    int init[kPins] = {};
    std::vector<Change> changes;
    int final_level(int pin) const;
    std::string text() const; // "#T GPIOb_i=L" lines, for messages
};
Wave parse_vcd(const std::string &text);
std::string pin_name(int pin); // "GPIOb_i"

// Threads of a process (-1 if gone), a numeric field of /proc/PID/FILE.
int thread_count(pid_t pid);
long proc_field(pid_t pid, const char *file, const char *name);
// The differences between two console settings; empty when the same.
std::string console_diff(const struct termios &got, const struct termios &want);

class PtyShell {
  public:
    struct Options {
        std::map<std::string, std::string> env; // QNSIM_* settings, TZ, ...
        bool fast = true;                       // QNSIM_FAST=1
        bool onlcr = false;                     // keep the terminal's \n -> \r\n mapping
        bool split_stdout = false;              // stdout to a pipe, see stdout_text()
        std::string program;                    // default: the built shell
        int rows = 24, cols = 200;
    };
    // Options with these settings (QNSIM_MODEL, QNSIM_FAIL, ...).
    static Options with(const std::map<std::string, std::string> &env, bool split_stdout = false);

    PtyShell();
    explicit PtyShell(const Options &opts);
    ~PtyShell();
    PtyShell(const PtyShell &) = delete;
    PtyShell &operator=(const PtyShell &) = delete;

    // Read until the unread output (since the last take) contains needle.
    bool wait_for(const std::string &needle, int timeout_ms = 5000);
    bool wait_prompt(int timeout_ms = 5000);
    std::string take(); // return and clear unread output
    const std::string &peek() const
    {
        return buf_;
    }
    void send(const std::string &bytes); // one write to the terminal
    std::string key(const std::string &bytes, bool expect_redraw = true);
    std::string type(const std::string &text);
    std::string line(const std::string &text, int timeout_ms = 10000);
    void settle(int ms);       // keep reading for ms
    std::string stdout_text(); // split_stdout only

    int wait_exit(int timeout_ms = 5000); // status, 128+signal, -1 timeout
    void kill(int sig);
    pid_t pid() const
    {
        return pid_;
    }
    struct termios console();

    void ctl(const std::string &line); // one control FIFO command
    bool ctl_sync(int timeout_ms = 5000);
    std::vector<std::string> trace();
    std::vector<std::string> trace_grep(const std::string &s);
    size_t mark()
    {
        return trace().size();
    } // for trace_since
    std::vector<std::string> trace_since(size_t mark);

    // One command line: whether the prompt came back, what the command printed
    // (standard output with split_stdout, else the terminal without the
    // prompt drawn after it), everything the terminal showed after Enter, and
    // the trace lines it added.
    struct Run {
        bool prompt = false;
        std::string out;
        std::string drawn;
        std::vector<std::string> trace;
    };
    Run run(const std::string &cmd, int timeout_ms = 10000);
    // Everything the terminal has shown since the start, taken or not.
    const std::string &transcript() const
    {
        return seen_;
    }
    // eventually(), reading the terminal while it waits.
    bool eventually(const std::function<bool()> &pred, int timeout_ms = 5000);
    std::string vcd();
    const std::string &dir() const
    {
        return dir_;
    }

  private:
    bool pump(int timeout_ms); // one poll+read round; false once at EOF
    bool reap(bool block);

    Options opts_;
    std::string dir_, trace_path_, vcd_path_, ctl_path_;
    int master_ = -1, out_fd_ = -1;
    pid_t pid_ = -1;
    bool eof_ = false, exited_ = false;
    int status_ = -1;
    std::string buf_, stdout_, seen_;
};

// ---------------------------------------------------------------- steps

// A pin change on the waveform; after_us: at least this long after the
// change before it in the same step.
struct Move {
    int pin;
    int level;
    long long after_us = 0;
};

// One typed line and what it must do. Each field is compared exactly unless
// `skip` names it.
struct Step {
    std::string line;                  // typed one key at a time, then Enter
    std::string out;                   // printed after the interpreter's line feed, up to the prompt
    std::vector<std::string> reqs;     // driver requests with results, and waits: requests(trace, true)
    std::vector<std::string> ctl = {}; // control lines sent (and waited for) before the line
    std::vector<Move> moves = {};      // the pin changes, in order; no other pin changes
    int skip = 0;                      // kAnyOut | kAnyRequests | kAnyMoves
    int timeout_ms = 10000;
};
enum { kAnyOut = 1, kAnyRequests = 2, kAnyMoves = 4, kOnlyLine = 7 };

// Runs the step on the shell and checks it (GoogleTest failures); the
// prompt must come back and no sanitizer may report. Returns the run for
// further checks.
PtyShell::Run run_step(PtyShell &sh, const Step &st);
void run_steps(PtyShell &sh, const std::vector<Step> &steps);
// A fresh shell with these options, started, then the steps.
void run_session(const PtyShell::Options &opts, const std::vector<Step> &steps);

} // namespace qntest
