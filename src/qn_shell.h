// Shared types of the shell: command table rows, board identity, editor entry
// points used by the tests.
#ifndef QN_SHELL_H
#define QN_SHELL_H

#include <stdint.h>

typedef void (*sub_fun_f)(int argc, char **argv);

typedef struct TAG_SUB_FUN {
    const char *name;
    sub_fun_f exe;
    const char *help;
} sub_fun_t;

typedef struct TAG_MB_INFO {
    uint32_t hardware_type;
    uint32_t gp_id;
    uint32_t mb_version;
    char mb_name[16];
} MB_INFO_E;

extern MB_INFO_E gb_hardInfo;
extern const sub_fun_t sub_fun[];

constexpr int CMD_LEN = 100; // line buffer, 99 characters and the zero
constexpr int HISTORY_NUM = 100;

// Everything the shell draws at once goes out of one buffer of this size.
constexpr unsigned DRAW_BUF_SIZE = 4096;

// The help listing: the head, one row per command (name, help), the tail.
#define HELP_HEAD "\n\r"
#define HELP_ROW_FMT "%s\r\t\t: %s\t\t\n"
#define HELP_TAIL "\nexit or q\t: quit qn_shell\nhelp or ?\t: help\n"
constexpr unsigned HELP_ROW_EXTRA = sizeof(HELP_ROW_FMT) - 1 - 4; // without the two %s

// Bytes of the help listing of `table` (up to its null row), computed at
// compile time where the table is defined: the listing must fit its buffer.
constexpr unsigned text_len(const char *s)
{
    return *s ? 1 + text_len(s + 1) : 0;
}
constexpr unsigned help_rows_len(const sub_fun_t *row)
{
    return row->name ? text_len(row->name) + text_len(row->help) + HELP_ROW_EXTRA + help_rows_len(row + 1) : 0;
}
constexpr unsigned help_len(const sub_fun_t *table)
{
    return sizeof(HELP_HEAD) - 1 + help_rows_len(table) + sizeof(HELP_TAIL) - 1;
}

// Key codes: the sum of the bytes of one read.
enum : int {
    KEY_BACKSPACE = 8,
    KEY_TAB = 9,
    KEY_ENTER = 10,
    KEY_DEL = 127,
    KEY_END = 176,  // ESC O F
    KEY_HOME = 178, // ESC O H
    KEY_UP = 183,   // ESC [ A
    KEY_DOWN = 184, // ESC [ B
    KEY_RIGHT = 185,
    KEY_LEFT = 186,
    KEY_PGUP = 297, // ESC [ 5 ~
    KEY_PGDN = 298, // ESC [ 6 ~
};

// Line editor.
extern int cursor_x;
extern const char usr[11];
int getch();
int read_cmd(char *cmd);
int read_key(char *cmd);
int cmd_edit(char *cmd, int ch);
int cmd_insert(char *cmd, int index, char ch);
int cmd_delete(char *cmd, int index);
int cmd_echo(char *cmd);
int usr_echo();
int cmd_fix(char *cmd);
// Completion over any table ending in a null row (cmd_fix uses the command
// table).
int complete_line(char *cmd, const sub_fun_t *table);

// History.
extern char history_cmd[HISTORY_NUM][CMD_LEN];
extern int history_cmd_count;
extern int history_cmd_index;
extern int history_up_index;
int save_cmd(const char *cmd);
const char *history_up();
const char *history_down();
const char *cmd_history(int key);
void history_reset();

// Loop.
void tighten_timer_slack();
void deal_signal();
void init_new_terminal();
void restore_old_terminal();
// Between two reads of a long listing: true when a key was waiting on the
// console (it has been read and dropped, and the stop line printed).
bool listing_stopped();
int clear_shell();
int exec_cmd(char *cmd);
int qn_shell();
int qn_main();

#endif
