// Numbers, tokenising and dispatch of one command line.
#include "parse_cmd.h"

#include <stdio.h>
#include <string.h>

#include "qn_shell.h"

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool is_sep(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

// Hexadecimal after 0x or 0X, decimal otherwise; no sign, no blanks. Values
// wrap modulo 2^32 without a report.
unsigned int asc_to_u32(const char *s, int *err)
{
    *err = -1;
    if (s == NULL)
        return 0;
    uint32_t value = 0;
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        const char *p = s + 2;
        if (*p == '\0')
            return 0;
        for (const char *q = p; *q; ++q)
            if (hex_digit(*q) < 0)
                return 0;
        for (; *p; ++p)
            value = value * 16u + (uint32_t)hex_digit(*p);
    } else {
        if (*s == '\0')
            return 0;
        for (const char *q = s; *q; ++q)
            if (*q < '0' || *q > '9')
                return 0;
        for (; *s; ++s)
            value = value * 10u + (uint32_t)(*s - '0');
    }
    *err = 0;
    return value;
}

int check_args(int argc, char **argv, uint32_t *out, int len)
{
    if (argc < len)
        return -1;
    for (int i = 0; i < len; ++i) {
        int err;
        out[i] = asc_to_u32(argv[i], &err);
        if (err != 0) {
            printf("\nwrong arg %d:(%s)\n", i, argv[i]);
            return -1;
        }
    }
    return 0;
}

namespace {

void lower_case(char *s)
{
    for (; *s; ++s)
        if (*s >= 'A' && *s <= 'Z')
            *s = (char)(*s + 0x20);
}

char *skip_seps(char *p)
{
    while (*p && is_sep(*p))
        ++p;
    return p;
}

// Runs to the end of the word at p and ends it there (a zero over the
// separator); returns where scanning goes on.
char *end_word(char *p)
{
    while (*p && !is_sep(*p))
        ++p;
    if (*p)
        *p++ = '\0';
    return p;
}

// At most MAX_ARGS words; text after the last is not looked at.
int split_args(char *p, char **argv)
{
    int argc = 0;
    while (argc < MAX_ARGS && *(p = skip_seps(p)) != '\0') {
        argv[argc++] = p;
        p = end_word(p);
    }
    return argc;
}

const sub_fun_t *find_row(const sub_fun_t *table, const char *word)
{
    for (const sub_fun_t *row = table; row->name; ++row)
        if (strcmp(row->name, word) == 0)
            return row;
    return NULL;
}

} // namespace

int parse_line(char *cmd_buf, const sub_fun_t *table)
{
    if (cmd_buf[0] == '\0') {
        printf("\n\r");
        return -1;
    }
    lower_case(cmd_buf);
    char *word = skip_seps(cmd_buf);
    if (*word == '\0')
        return 0;
    char *argv[MAX_ARGS];
    const int argc = split_args(end_word(word), argv);
    const sub_fun_t *row = find_row(table, word);
    if (row == NULL) {
        printf("\nunsupport cmd! cmd = %s\n", word);
        return 0;
    }
    putchar('\n');
    row->exe(argc, argv);
    return 0;
}

int parase_cmd(char *cmd_buf)
{
    return parse_line(cmd_buf, sub_fun);
}
