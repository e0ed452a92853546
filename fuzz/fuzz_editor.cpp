// Key codes into the line editor. The input is a run of console reads, each
// a length byte (1 to 10 bytes follow) and its bytes, fed one read at a time
// through key decoding, editing, history and completion. After every key the
// line must be zero-terminated, at most 99 characters long, zero after its
// end, and the cursor must stand within the line.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qn_shell.h"

namespace {

int g_feed = -1;
constexpr int PROMPT = 10;

void check_line(const char *cmd)
{
    const size_t len = strnlen(cmd, CMD_LEN);
    if (len >= (size_t)CMD_LEN)
        abort(); // no terminating zero
    for (size_t i = len; i < (size_t)CMD_LEN; ++i)
        if (cmd[i] != 0)
            abort(); // garbage after the end of the text
    if (cursor_x < PROMPT || cursor_x > PROMPT + (int)len)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Each packet is one read of the console, as a terminal delivers a key.
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0)
        abort();
    dup2(sv[0], STDIN_FILENO);
    g_feed = sv[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    history_reset();
    char cmd[CMD_LEN];
    memset(cmd, 0, sizeof cmd);
    cursor_x = 0;
    usr_echo();
    size_t i = 0;
    while (i < size) {
        size_t n = 1 + data[i++] % 10;
        if (n > size - i)
            n = size - i;
        if (n == 0)
            break;
        if (write(g_feed, data + i, n) != (ssize_t)n)
            abort();
        i += n;
        const int r = read_key(cmd);
        if (r < 0)
            abort();
        check_line(cmd);
        if (r == 1) {
            if (cmd[0])
                save_cmd(cmd);
            memset(cmd, 0, sizeof cmd);
            usr_echo();
        }
    }
    return 0;
}
