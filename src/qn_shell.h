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

constexpr int CMD_LEN = 100;   // line buffer, 99 characters and the zero
constexpr int HISTORY_NUM = 100;

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
int clear_shell();
int exec_cmd(char *cmd);
int qn_shell();
int qn_main();

#endif
