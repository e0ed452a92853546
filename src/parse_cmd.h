// Command line interpreter: numbers, tokenising, dispatch.
#ifndef PARSE_CMD_H
#define PARSE_CMD_H

#include <stdint.h>

constexpr int MAX_ARGS = 10;

unsigned int asc_to_u32(const char *s, int *err);
int check_args(int argc, char **argv, uint32_t *out, int len);
int parase_cmd(char *cmd_buf);

#endif
