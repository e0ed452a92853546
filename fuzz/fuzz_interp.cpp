// Lines into the interpreter: any 100-byte line buffer through lower-casing,
// tokenising, dispatch to a recording handler and the number check. Every
// handler call must get at most ten words, each non-empty, lower-case and
// free of blanks and tabs.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "parse_cmd.h"
#include "qn_shell.h"

namespace {

void record(int argc, char **argv)
{
    if (argc < 0 || argc > MAX_ARGS)
        abort();
    for (int i = 0; i < argc; ++i) {
        const char *w = argv[i];
        if (w == NULL || *w == '\0' || strpbrk(w, " \t") != NULL)
            abort();
        for (; *w; ++w)
            if (*w >= 'A' && *w <= 'Z')
                abort();
    }
    uint32_t out[MAX_ARGS];
    check_args(argc, argv, out, argc);
}

const sub_fun_t TABLE[] = {
    {"a", record, ""}, {"hr", record, ""}, {"x", record, ""}, {"imrd", record, ""}, {NULL, NULL, NULL},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char buf[CMD_LEN];
    memset(buf, 0, sizeof buf);
    memcpy(buf, data, size < sizeof buf - 1 ? size : sizeof buf - 1);
    parse_line(buf, TABLE);
    if (buf[CMD_LEN - 1] != 0)
        abort();
    return 0;
}
