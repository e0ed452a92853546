/*
 * qn_fuzz - hammers the board driver's nodes with random requests.
 *
 * Runs on the board (static, no board library needed): for each node it
 * issues random request codes (the served ones, their neighbours and wholly
 * random ones) with random blocks and pointers (a good block, NULL, a
 * kernel address, an unmapped page, a block that runs off the end of a
 * mapping), and random panel reads, then prints how the requests ended.
 * The driver must answer each with 0 or an error; the kernel log must stay
 * free of oopses and warnings (checked by the caller).
 *
 * With -E it checks instead that a reader of the debugfs events file whose
 * buffer faults never holds up the board: the reader's page is a
 * userfaultfd page left unresolved while a board request is made, and only
 * once the request has been served is the page given and the read let go.
 *
 *   qn_fuzz [-n COUNT] [-s SEED]
 *   qn_fuzz -E
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "../model/qn_model.h"

static uint32_t rng_state = 0x2545F491u;

static uint32_t rnd(void)
{
    uint32_t x = rng_state;

    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    rng_state = x;
    return x;
}

/* The codes the drivers serve, as the board model names them. */
static const uint32_t served[] = {
    QNM_CODE_REG_ACCESS, QNM_CODE_GET_MBINFO, QNM_CODE_BUZZER, QNM_CODE_I2C_REG_READ, QNM_CODE_I2C_REG_WRITE,
};

static uint32_t random_code(void)
{
    uint32_t c = served[rnd() % (sizeof(served) / sizeof(served[0]))];

    switch (rnd() % 4) {
    case 0:
        return c;
    case 1:
        return c ^ (1u << (rnd() % 32)); /* one bit off */
    case 2:
        return (c & 0xFFFFFF00u) | (rnd() & 0xFF); /* same type */
    default:
        return rnd();
    }
}

static uint32_t random_word(void)
{
    switch (rnd() % 6) {
    case 0:
        return rnd() % 4;
    case 1:
        return 100;
    case 2:
        return 0x20150000u + (rnd() % 9) * 0x10000u + (rnd() & 0x7FC);
    case 3:
        return 0x20110000u + (rnd() & 0xFFFC);
    case 4:
        return rnd() & 0x1FF;
    default:
        return rnd();
    }
}

static const char *errno_name(int e)
{
    static char other[16];

    switch (e) {
    case EIO:
        return "EIO";
    case ENXIO:
        return "ENXIO";
    case EAGAIN:
        return "EAGAIN";
    case EFAULT:
        return "EFAULT";
    case EINVAL:
        return "EINVAL";
    case ENOTTY:
        return "ENOTTY";
    case ENOSPC:
        return "ENOSPC";
    default:
        snprintf(other, sizeof(other), "errno %d", e);
        return other;
    }
}

/* ---- -E: a reader stuck in a fault of its buffer ---- */

#define QNB_DIR "/sys/kernel/debug/qn_board"

struct stuck_read {
    int fd;
    char *buf;
    ssize_t got;
};

static void *events_reader(void *arg)
{
    struct stuck_read *r = arg;

    r->got = read(r->fd, r->buf, 256);
    return NULL;
}

struct request {
    int done_fd; /* a byte is written here once the request returned */
    int ret;
};

static void *board_request(void *arg)
{
    struct request *q = arg;
    uint32_t block[5] = {0, 0, 0, 0, 0};
    int fd = open("/dev/qn_KD300", O_RDWR);

    q->ret = fd < 0 ? -1 : ioctl(fd, QNM_CODE_GET_MBINFO, block);
    if (fd >= 0)
        close(fd);
    if (write(q->done_fd, "x", 1) != 1)
        q->ret = -1;
    return NULL;
}

static int write_file(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY);
    ssize_t n = fd < 0 ? -1 : write(fd, text, strlen(text));

    if (fd >= 0)
        close(fd);
    return n == (ssize_t)strlen(text) ? 0 : -1;
}

static int stuck_reader_check(void)
{
    long page = sysconf(_SC_PAGESIZE);
    struct uffdio_api api = {.api = UFFD_API};
    struct uffdio_register reg;
    struct uffdio_zeropage zero;
    struct uffd_msg msg;
    struct stuck_read r = {.got = -1};
    struct request q = {.ret = -1};
    struct pollfd p;
    pthread_t reader, requester;
    int uffd, done[2], served, shown;
    char *buf;

    /* the pipe holds one line: the sync written after emptying it */
    if (write_file(QNB_DIR "/events", "\n") || write_file(QNB_DIR "/ctl", "sync\n")) {
        perror("qn_fuzz: " QNB_DIR);
        return 2;
    }
    r.fd = open(QNB_DIR "/events", O_RDONLY);
    uffd = (int)syscall(__NR_userfaultfd, O_CLOEXEC);
    buf = mmap(NULL, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (r.fd < 0 || uffd < 0 || buf == MAP_FAILED || ioctl(uffd, UFFDIO_API, &api) || pipe(done)) {
        perror("qn_fuzz: set-up");
        return 2;
    }
    reg.range.start = (uintptr_t)buf;
    reg.range.len = (uint64_t)page;
    reg.mode = UFFDIO_REGISTER_MODE_MISSING;
    if (ioctl(uffd, UFFDIO_REGISTER, &reg)) {
        perror("qn_fuzz: UFFDIO_REGISTER");
        return 2;
    }
    r.buf = buf;
    pthread_create(&reader, NULL, events_reader, &r);
    /* the reader is in the driver's copy to user memory once this comes */
    if (read(uffd, &msg, sizeof(msg)) != sizeof(msg) || msg.event != UFFD_EVENT_PAGEFAULT) {
        perror("qn_fuzz: userfaultfd");
        return 2;
    }
    q.done_fd = done[1];
    pthread_create(&requester, NULL, board_request, &q);
    /* Served at once by a driver that keeps readers apart from requests; a
     * driver that does not would wait for the page for ever, so after a
     * while the page is given all the same and the verdict stands. */
    p.fd = done[0];
    p.events = POLLIN;
    served = poll(&p, 1, 60000) == 1;
    zero.range = reg.range;
    zero.mode = 0;
    if (ioctl(uffd, UFFDIO_ZEROPAGE, &zero)) {
        perror("qn_fuzz: UFFDIO_ZEROPAGE");
        return 2;
    }
    pthread_join(reader, NULL);
    pthread_join(requester, NULL);
    shown = r.got > 0 ? (int)r.got : 0;
    if (shown && buf[shown - 1] == '\n')
        shown--;
    printf("qn_fuzz: events reader stuck in a fault: board request %s (%d), then the reader got %ld bytes: %.*s\n",
           served ? "served meanwhile" : "held up", q.ret, (long)r.got, shown, buf);
    return served && q.ret == 0 && r.got > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    static const char *const nodes[] = {
        "/dev/qn_KD300",
        "/dev/tw_286x",
        "/dev/panel",
    };
    long count = 3000;
    int fd[3], i, opt;
    unsigned long ok = 0, errs[160] = {0}, reads = 0;
    long page = sysconf(_SC_PAGESIZE);
    char *map;

    while ((opt = getopt(argc, argv, "n:s:E")) != -1) {
        if (opt == 'E')
            return stuck_reader_check();
        else if (opt == 'n')
            count = strtol(optarg, NULL, 0);
        else if (opt == 's')
            rng_state = (uint32_t)strtoul(optarg, NULL, 0) | 1u;
        else
            return 2;
    }
    /* Two pages: the first readable, the second unmapped. */
    map = mmap(NULL, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED || munmap(map + page, page)) {
        perror("mmap");
        return 2;
    }
    for (i = 0; i < 3; i++) {
        fd[i] = open(nodes[i], O_RDWR | O_NONBLOCK);
        if (fd[i] < 0) {
            fprintf(stderr, "%s: %s\n", nodes[i], strerror(errno));
            return 2;
        }
    }
    for (long n = 0; n < count; n++) {
        int k = (int)(rnd() % 3);
        uint32_t block[5], *arg = block;
        int r;

        for (i = 0; i < 5; i++)
            block[i] = random_word();
        switch (rnd() % 8) {
        case 0:
            arg = NULL;
            break;
        case 1:
            arg = (uint32_t *)(uintptr_t)(0xC0000000u + (rnd() & 0xFFFFF0u));
            break;
        case 2: /* the block's last words lie in the unmapped page */
            arg = (uint32_t *)(map + page - 4 * (1 + rnd() % 4));
            break;
        case 3:
            arg = (uint32_t *)(uintptr_t)(rnd() | 1u);
            break;
        default:
            break;
        }
        if (k == 2 && rnd() % 2) {
            char buf[64];
            size_t len = rnd() % sizeof(buf);

            r = (int)read(fd[2], rnd() % 8 ? buf : (char *)arg, len);
            reads++;
        } else {
            r = ioctl(fd[k], random_code(), arg);
        }
        if (r >= 0)
            ok++;
        else if (errno < 160)
            errs[errno]++;
    }
    printf("qn_fuzz: %ld requests, %lu ok (%lu panel reads)", count, ok, reads);
    for (i = 1; i < 160; i++)
        if (errs[i])
            printf(", %s %lu", errno_name(i), errs[i]);
    printf("\n");
    for (i = 0; i < 3; i++)
        close(fd[i]);
    return 0;
}
