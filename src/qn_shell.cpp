// The interactive shell: raw console, key decoding, line editing, history,
// command-name completion and the loop with its built-in words.
#include "qn_shell.h"

#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include "add_func.h"
#include "console_seq.h"
#include "parse_cmd.h"

const char usr[11] = "quenta $: ";
int cursor_x = 0;

namespace {

struct termios old_terminal;
struct termios new_terminal;
volatile sig_atomic_t terminal_saved = 0;
bool console_is_terminal = false; // its settings could be read at start-up
bool console_closed = false;

constexpr int USR_LEN = 10;
static_assert(sizeof(usr) == USR_LEN + 1, "prompt length");

// Everything the shell draws is collected here and sent with one write, so a
// redraw never flickers and never interleaves with the key monitor's lines.
struct draw_buf {
    char b[DRAW_BUF_SIZE];
    size_t n = 0;
};

void put(draw_buf &d, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void put(draw_buf &d, const char *fmt, ...)
{
    if (d.n >= sizeof(d.b) - 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    int r = vsnprintf(d.b + d.n, sizeof(d.b) - d.n, fmt, ap);
    va_end(ap);
    if (r > 0)
        d.n += ((size_t)r < sizeof(d.b) - d.n) ? (size_t)r : sizeof(d.b) - d.n - 1;
}

void put_text(draw_buf &d, const char *s)
{
    put(d, "%s", s);
}

void flush_err(const draw_buf &d)
{
    size_t off = 0;
    while (off < d.n) {
        ssize_t w = write(STDERR_FILENO, d.b + off, d.n - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        off += (size_t)w;
    }
}

void err_text(const char *s)
{
    draw_buf d;
    put_text(d, s);
    flush_err(d);
}

void echo_into(draw_buf &d, const char *cmd)
{
    put(d, SEQ_HIDE_CURSOR "\r" SEQ_RIGHT_FMT SEQ_ERASE_TO_EOL "%s\r" SEQ_RIGHT_FMT SEQ_SHOW_CURSOR, USR_LEN, cmd,
        cursor_x);
}

// A signal that would end the process: give the console its settings back,
// then end the way the signal would have ended it. Only async-signal-safe
// calls. The signal stays blocked while this runs, so the one raised here is
// delivered, with its default action, as the handler returns; a fault
// (SIGBUS, SIGFPE) that comes back from the same instruction meets the
// default action too.
void leave_on_signal(int sig)
{
    const int saved = errno;
    if (terminal_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &old_terminal);
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

// The signals whose default action ends the process and that the shell does
// not ignore (SIGKILL cannot be caught); the real-time signals follow them.
const int LEAVING_SIGNALS[] = {
    SIGTERM,   SIGHUP,  SIGUSR1, SIGUSR2,   SIGALRM, SIGPIPE, SIGABRT, SIGBUS,
    SIGFPE,    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGTRAP, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

} // namespace

// ---------------------------------------------------------------- history

char history_cmd[HISTORY_NUM][CMD_LEN];
int history_cmd_count = 0;
int history_cmd_index = 0;
int history_up_index = 0;

void history_reset()
{
    memset(history_cmd, 0, sizeof(history_cmd));
    history_cmd_count = history_cmd_index = history_up_index = 0;
}

int save_cmd(const char *cmd)
{
    history_cmd_index = (history_cmd_index + history_up_index) % HISTORY_NUM;
    history_up_index = 0;
    if (strcmp(cmd, history_cmd[(history_cmd_index + HISTORY_NUM - 1) % HISTORY_NUM]) == 0)
        return 0;
    char *slot = history_cmd[history_cmd_index];
    memset(slot, 0, CMD_LEN);
    strncpy(slot, cmd, CMD_LEN - 1);
    history_cmd_index = (history_cmd_index + 1) % HISTORY_NUM;
    if (history_cmd_count < HISTORY_NUM)
        ++history_cmd_count;
    return 0;
}

const char *history_up()
{
    if (history_cmd_count == HISTORY_NUM) {
        if (history_up_index < HISTORY_NUM) {
            ++history_up_index;
            history_cmd_index = (history_cmd_index + HISTORY_NUM - 1) % HISTORY_NUM;
        }
        return history_cmd[history_cmd_index];
    }
    if (history_cmd_index == 0)
        return history_cmd[0];
    ++history_up_index;
    --history_cmd_index;
    return history_cmd[history_cmd_index];
}

const char *history_down()
{
    if (history_up_index > 0) {
        history_cmd_index = (history_cmd_index + 1) % HISTORY_NUM;
        --history_up_index;
    }
    if (history_up_index == 0)
        return "";
    return history_cmd[history_cmd_index];
}

const char *cmd_history(int key)
{
    return key == KEY_UP ? history_up() : history_down();
}

// ---------------------------------------------------------------- editor

// One read of up to 10 bytes; the key code is the sum of the bytes read. End
// of input or a read error gives 0 and marks the console as gone.
int getch()
{
    unsigned char buf[10];
    memset(buf, 0, sizeof(buf));
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buf, sizeof(buf));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        console_closed = true;
        return 0;
    }
    int sum = 0;
    for (ssize_t i = 0; i < n; ++i)
        sum += buf[i];
    return sum;
}

int cmd_insert(char *cmd, int index, char ch)
{
    int len = (int)strlen(cmd);
    if (index < 0 || index > len || len >= CMD_LEN - 1)
        return -1;
    for (int i = len - 1; i >= index; --i)
        cmd[i + 1] = cmd[i];
    cmd[index] = ch;
    return 0;
}

int cmd_delete(char *cmd, int index)
{
    int len = (int)strlen(cmd);
    if (index < 0 || index > len - 1)
        return -1;
    for (int i = index; i < len; ++i)
        cmd[i] = cmd[i + 1];
    return 0;
}

int cmd_edit(char *cmd, int ch)
{
    const int len = (int)strlen(cmd);
    const int i = cursor_x - USR_LEN;
    switch (ch) {
    case KEY_BACKSPACE:
        if (i > 0 && cmd_delete(cmd, i - 1) == 0)
            --cursor_x;
        break;
    case KEY_DEL:
        cmd_delete(cmd, i);
        break;
    case KEY_END:
        cursor_x = USR_LEN + len;
        break;
    case KEY_HOME:
        cursor_x = USR_LEN;
        break;
    case KEY_RIGHT:
        if (cursor_x < USR_LEN + len)
            ++cursor_x;
        break;
    case KEY_LEFT:
        if (i > 0)
            --cursor_x;
        break;
    default:
        // A full line takes no more characters; the key is ignored.
        if (ch >= 32 && ch <= 126 && cmd_insert(cmd, i, (char)ch) == 0)
            ++cursor_x;
        break;
    }
    return 0;
}

int cmd_echo(char *cmd)
{
    draw_buf d;
    echo_into(d, cmd);
    flush_err(d);
    return 0;
}

int usr_echo()
{
    draw_buf d;
    put_text(d, SEQ_HIDE_CURSOR "\r");
    if (cursor_x > USR_LEN)
        put_text(d, "\n");
    put(d, SEQ_LEFT_100 SEQ_ERASE_TO_EOL "\r%s" SEQ_SHOW_CURSOR, usr);
    flush_err(d);
    cursor_x = USR_LEN;
    return 0;
}

// Tab: the whole line is the prefix. One match completes to the word and a
// blank; several are listed in table order; none does nothing.
int cmd_fix(char *cmd)
{
    return complete_line(cmd, sub_fun);
}

int complete_line(char *cmd, const sub_fun_t *table)
{
    const size_t len = strlen(cmd);
    int matches = 0;
    const sub_fun_t *last = NULL;
    for (const sub_fun_t *row = table; row->name && matches < 2; ++row) {
        if (strncmp(cmd, row->name, len) == 0) {
            ++matches;
            last = row;
        }
    }
    if (matches == 1) {
        memset(cmd, 0, CMD_LEN);
        snprintf(cmd, CMD_LEN, "%s ", last->name);
        cursor_x = USR_LEN + (int)strlen(cmd);
        cmd_echo(cmd);
    } else if (matches > 1) {
        draw_buf d;
        put_text(d, "\n\r");
        for (const sub_fun_t *row = table; row->name; ++row)
            if (strncmp(cmd, row->name, len) == 0)
                put(d, "%s\t", row->name);
        put(d, "\n\r%s", usr);
        echo_into(d, cmd);
        flush_err(d);
    }
    return 0;
}

// Reads and applies one key. Returns 1 for Enter, 0 for any other key, -1
// when the console has gone away.
int read_key(char *cmd)
{
    int key = getch();
    if (console_closed)
        return -1;
    switch (key) {
    case KEY_TAB:
        cmd_fix(cmd);
        break;
    case KEY_ENTER:
        return 1;
    case KEY_UP:
    case KEY_DOWN: {
        const char *line = cmd_history(key);
        memset(cmd, 0, CMD_LEN);
        strncpy(cmd, line, CMD_LEN - 1);
        cursor_x = USR_LEN + (int)strlen(cmd);
        cmd_echo(cmd);
        break;
    }
    case KEY_PGUP:
    case KEY_PGDN:
        break;
    default:
        cmd_edit(cmd, key);
        cmd_echo(cmd);
        break;
    }
    return 0;
}

// Edits cmd until Enter. Returns 0, or -1 when the console has gone away.
int read_cmd(char *cmd)
{
    int r;
    while ((r = read_key(cmd)) == 0) {
    }
    return r > 0 ? 0 : -1;
}

// ---------------------------------------------------------------- loop

void deal_signal()
{
    signal(SIGQUIT, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
    signal(SIGSEGV, SIG_IGN);
    signal(SIGILL, SIG_IGN);
    for (size_t i = 0; i < sizeof(LEAVING_SIGNALS) / sizeof(LEAVING_SIGNALS[0]); ++i)
        signal(LEAVING_SIGNALS[i], leave_on_signal);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        signal(sig, leave_on_signal);
#endif
}

// Every pause of the shell is a usleep on its own thread; the kernel may wake
// a sleeper up to the timer slack late (50 us by default), on top of its own
// latency. The smallest slack keeps the pauses as close to their length as
// the kernel allows; they never get shorter. Kernels before 2.6.28 refuse the
// request, and the shell then keeps the default.
void tighten_timer_slack()
{
#ifndef PR_SET_TIMERSLACK
#define PR_SET_TIMERSLACK 29
#endif
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) != 0) {
        // Nothing to report: the pauses are only a little later.
    }
}

void init_new_terminal()
{
    console_is_terminal = tcgetattr(STDIN_FILENO, &old_terminal) == 0;
    terminal_saved = 1;
    new_terminal = old_terminal;
    new_terminal.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    new_terminal.c_cc[VTIME] = 0;
    new_terminal.c_cc[VMIN] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &new_terminal);
}

void restore_old_terminal()
{
    tcsetattr(STDIN_FILENO, TCSANOW, &old_terminal);
}

// Bytes waiting to be read on the console; 0 when none or when the terminal
// driver cannot tell.
static int console_pending()
{
    int n = 0;
    if (ioctl(STDIN_FILENO, FIONREAD, &n) < 0)
        return 0;
    return n > 0 ? n : 0;
}

// A key stops a listing. No key is read unless the console says one is
// waiting; a console that is no terminal (a script on a pipe) or has ended
// never stops a listing. The waiting bytes, the key and whatever came with
// it, are read and dropped.
bool listing_stopped()
{
    if (!console_is_terminal || console_closed)
        return false;
    int n = console_pending();
    if (n <= 0)
        return false;
    unsigned char drop[16];
    while (n > 0) {
        const ssize_t r = read(STDIN_FILENO, drop, (size_t)n < sizeof(drop) ? (size_t)n : sizeof(drop));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        n -= (int)r;
    }
    puts("listing stopped by a key");
    return true;
}

int clear_shell()
{
    err_text(SEQ_CLEAR_SCREEN SEQ_CURSOR_HOME);
    return 0;
}

int exec_cmd(char *cmd)
{
    parase_cmd(cmd);
    // Command output may sit in a buffer when standard output is no terminal;
    // let it out before the next prompt is drawn.
    fflush(stdout);
    return 0;
}

namespace {

void print_help()
{
    draw_buf d;
    // It fits the buffer: the table is checked where it is defined.
    put_text(d, HELP_HEAD);
    for (const sub_fun_t *row = sub_fun; row->name; ++row)
        put(d, HELP_ROW_FMT, row->name, row->help);
    put_text(d, HELP_TAIL);
    flush_err(d);
}

} // namespace

int qn_shell()
{
    char line[CMD_LEN];
    memset(history_cmd, 0, sizeof(history_cmd));
    clear_shell();
    for (;;) {
        memset(line, 0, sizeof(line));
        usr_echo();
        // End of input on the console leaves the shell the way exit does.
        if (read_cmd(line) != 0 || strcmp(line, "exit") == 0 || strcmp(line, "q") == 0) {
            err_text("\n\r");
            close_dev();
            return 0;
        }
        if (line[0] == '\0')
            err_text("\n\r");
        else if (strcmp(line, "clear") == 0)
            clear_shell();
        else if (strcmp(line, "help") == 0 || strcmp(line, "?") == 0)
            print_help();
        else {
            save_cmd(line);
            exec_cmd(line);
        }
    }
}
