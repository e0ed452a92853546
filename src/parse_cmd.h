// Command line interpreter: numbers, tokenising, dispatch.
#ifndef PARSE_CMD_H
#define PARSE_CMD_H

#include <stdint.h>

constexpr int MAX_ARGS = 10;

unsigned int asc_to_u32(const char *s, int *err);
int check_args(int argc, char **argv, uint32_t *out, int len);
int parase_cmd(char *cmd_buf);

struct TAG_SUB_FUN;
// Tokenise and dispatch over any table ending in a null row (parase_cmd uses
// the command table).
int parse_line(char *cmd_buf, const TAG_SUB_FUN *table);

#endif
