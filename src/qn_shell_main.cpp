// Start-up: timer slack, signals, raw console, devices, then the shell loop.
#include "add_func.h"
#include "qn_shell.h"

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    tighten_timer_slack();
    deal_signal();
    init_new_terminal();
    int ret = open_dev();
    if (ret == 0)
        qn_shell();
    restore_old_terminal();
    return ret;
}
