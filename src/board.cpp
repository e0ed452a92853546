// Words shared by the board commands.
#include "board.h"

#include <string.h>

int board::on_off_word(const char *w)
{
    if (strncmp(w, "on", 2) == 0)
        return 1;
    if (strncmp(w, "off", 3) == 0)
        return 0;
    return -1;
}
