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

int parse_line(char *cmd_buf, const sub_fun_t *table)
{
    size_t len = strlen(cmd_buf);
    if (len < 1) {
        printf("\n\r");
        return -1;
    }
    for (size_t i = 0; i < len; ++i)
        if (cmd_buf[i] >= 'A' && cmd_buf[i] <= 'Z')
            cmd_buf[i] = (char)(cmd_buf[i] + 0x20);

    char *p = cmd_buf;
    while (*p && is_sep(*p))
        ++p;
    if (*p == '\0')
        return 0;

    char *word = p;
    while (*p && !is_sep(*p))
        ++p;
    if (*p)
        *p++ = '\0';

    char *argv[MAX_ARGS];
    int argc = 0;
    while (argc < MAX_ARGS) {
        while (*p && is_sep(*p))
            ++p;
        if (*p == '\0')
            break;
        argv[argc] = p;
        while (*p && !is_sep(*p))
            ++p;
        if (*p)
            *p++ = '\0';
        ++argc;
    }

    for (const sub_fun_t *row = table; row->name; ++row) {
        if (strcmp(row->name, word) == 0) {
            putchar('\n');
            row->exe(argc, argv);
            return 0;
        }
    }
    printf("\nunsupport cmd! cmd = %s\n", word);
    return 0;
}

int parase_cmd(char *cmd_buf)
{
    return parse_line(cmd_buf, sub_fun);
}
