/*
 * oldkernel - runs a program as the board's own Linux 3.0 kernel would.
 *
 * The ARM system-call table of Linux 3.0 ends at 375 (setns). On today's
 * kernels a static binary may still call something newer (a time64 call,
 * statx, getrandom, ...) and only find out on the board. This helper installs
 * a seccomp filter that answers ENOSYS to every ARM call above 375, as 3.0
 * does, leaves the ARM private calls (0x0f0001 on: cacheflush, set_tls, ...)
 * and everything older alone, sets no_new_privs and runs the program, which
 * then has to fall back where 3.0 would make it.
 *
 *   oldkernel [-l FILE] [-a] PROGRAM [ARG...]
 *
 * Without -l the helper replaces itself with the program (same process).
 * With -l FILE the program runs as its child and the helper answers the
 * refused calls itself (a seccomp listener), appending each call number once
 * per run and program to FILE ("-": standard error); the program's children
 * run under the filter too and are logged under their own names:
 *   NAME[PID]: ENOSYS 403 clock_gettime64
 * With -a as well every other call is logged once too ("NAME[PID]: called 4")
 * and let through: the census of the calls a run makes (sendmsg, which hands
 * the listener over before the program starts, is never counted). The exit
 * status is the program's; a program killed by a signal kills the helper
 * with the same signal. The helper's own failures end with 125, a program
 * that cannot be run with 126 or 127, as env(1) does. Under another
 * oldkernel (seccomp() is itself above 375) the filter goes in through prctl
 * and nothing is logged: the outer filter refuses the new calls first.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>

/* The last call of Linux 3.0's ARM table, and where the private calls begin. */
#define LAST_3_0_CALL 375u
#define ARM_PRIVATE_BASE 0x0f0000u

#ifndef __NR_seccomp
#define __NR_seccomp 383
#endif

/* Names of the calls above 375 (this kernel's ARM table; 402, 415, 447 unused). */
static const char *const new_calls[] = {"process_vm_readv",
                                        "process_vm_writev",
                                        "kcmp",
                                        "finit_module",
                                        "sched_setattr",
                                        "sched_getattr",
                                        "renameat2",
                                        "seccomp",
                                        "getrandom",
                                        "memfd_create",
                                        "bpf",
                                        "execveat",
                                        "userfaultfd",
                                        "membarrier",
                                        "mlock2",
                                        "copy_file_range",
                                        "preadv2",
                                        "pwritev2",
                                        "pkey_mprotect",
                                        "pkey_alloc",
                                        "pkey_free",
                                        "statx",
                                        "rseq",
                                        "io_pgetevents",
                                        "migrate_pages",
                                        "kexec_file_load",
                                        NULL,
                                        "clock_gettime64",
                                        "clock_settime64",
                                        "clock_adjtime64",
                                        "clock_getres_time64",
                                        "clock_nanosleep_time64",
                                        "timer_gettime64",
                                        "timer_settime64",
                                        "timerfd_gettime64",
                                        "timerfd_settime64",
                                        "utimensat_time64",
                                        "pselect6_time64",
                                        "ppoll_time64",
                                        NULL,
                                        "io_pgetevents_time64",
                                        "recvmmsg_time64",
                                        "mq_timedsend_time64",
                                        "mq_timedreceive_time64",
                                        "semtimedop_time64",
                                        "rt_sigtimedwait_time64",
                                        "futex_time64",
                                        "sched_rr_get_interval_time64",
                                        "pidfd_send_signal",
                                        "io_uring_setup",
                                        "io_uring_enter",
                                        "io_uring_register",
                                        "open_tree",
                                        "move_mount",
                                        "fsopen",
                                        "fsconfig",
                                        "fsmount",
                                        "fspick",
                                        "pidfd_open",
                                        "clone3",
                                        "close_range",
                                        "openat2",
                                        "pidfd_getfd",
                                        "faccessat2",
                                        "process_madvise",
                                        "epoll_pwait2",
                                        "mount_setattr",
                                        "quotactl_fd",
                                        "landlock_create_ruleset",
                                        "landlock_add_rule",
                                        "landlock_restrict_self",
                                        NULL,
                                        "process_mrelease",
                                        "futex_waitv",
                                        "set_mempolicy_home_node"};

static int refused(unsigned nr)
{
    return nr > LAST_3_0_CALL && nr < ARM_PRIVATE_BASE;
}

static void usage(void)
{
    fputs("usage: oldkernel [-l FILE] [-a] PROGRAM [ARG...]\n"
          "  runs PROGRAM with ENOSYS for every ARM system call above 375 (Linux 3.0's last)\n"
          "  -l FILE  append the refused calls to FILE (- for standard error)\n"
          "  -a       with -l: log every other call as well (a census of the run)\n",
          stderr);
    exit(125);
}

static void fail(const char *what)
{
    fprintf(stderr, "oldkernel: %s: %s\n", what, strerror(errno));
    exit(125);
}

/* Installs the filter: refused calls get `refuse`, the others `keep`. */
static int install(unsigned refuse, unsigned keep, unsigned flags)
{
    struct sock_filter f[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_ARM, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        /* the listener's hand-over: a census must not wait on itself */
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sendmsg, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ARM_PRIVATE_BASE, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, LAST_3_0_CALL, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, refuse),
        BPF_STMT(BPF_RET | BPF_K, keep),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = {sizeof f / sizeof f[0], f};

    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("no_new_privs");
    int r = (int)syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, flags, &prog);
    if (r < 0 && errno == ENOSYS && !flags)
        /* seccomp() is itself above 375: under an oldkernel already */
        r = prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0);
    return r;
}

static void run(char **argv)
{
    execvp(argv[0], argv);
    int e = errno;
    fprintf(stderr, "oldkernel: %s: %s\n", argv[0], strerror(e));
    _exit(e == ENOENT ? 127 : 126);
}

/* A message of one byte with room for one passed descriptor. */
struct fd_msg {
    char byte;
    struct iovec iov;
    union {
        struct cmsghdr h;
        char space[CMSG_SPACE(sizeof(int))];
    } c;
    struct msghdr msg;
};

static void fd_msg_init(struct fd_msg *m)
{
    memset(m, 0, sizeof *m);
    m->iov.iov_base = &m->byte;
    m->iov.iov_len = 1;
    m->msg.msg_iov = &m->iov;
    m->msg.msg_iovlen = 1;
    m->msg.msg_control = m->c.space;
    m->msg.msg_controllen = sizeof m->c.space;
}

static void send_fd(int sock, int fd)
{
    struct fd_msg m;
    fd_msg_init(&m);
    struct cmsghdr *cm = CMSG_FIRSTHDR(&m.msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof fd);
    if (sendmsg(sock, &m.msg, 0) != 1)
        _exit(125);
}

static int recv_fd(int sock)
{
    struct fd_msg m;
    fd_msg_init(&m);
    if (recvmsg(sock, &m.msg, 0) != 1)
        return -1;
    struct cmsghdr *cm = CMSG_FIRSTHDR(&m.msg);
    if (!cm || cm->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd;
    memcpy(&fd, CMSG_DATA(cm), sizeof fd);
    return fd;
}

/* The calls logged so far, for each program name (the program's children
 * run under the filter too, and are logged under their own names). */
#define MAX_NAMES 16
static struct {
    char name[16];
    unsigned char seen[512 + 16];
} logged[MAX_NAMES];

/* The program name of a process (its comm), or `fallback`. */
static void comm_of(int pid, const char *fallback, char *name, size_t size)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/comm", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, name, size - 1) : -1;
    if (fd >= 0)
        close(fd);
    if (n <= 0) {
        snprintf(name, size, "%s", fallback);
        return;
    }
    name[n] = 0;
    name[strcspn(name, "\n")] = 0;
}

/* Whether this program's call is logged for the first time. */
static int first_time(const char *name, unsigned nr)
{
    unsigned i;
    if (nr < 512)
        i = nr;
    else if (nr - ARM_PRIVATE_BASE < 16)
        i = 512 + (nr - ARM_PRIVATE_BASE);
    else
        return 1;
    int k = 0;
    while (k < MAX_NAMES && logged[k].name[0] && strcmp(logged[k].name, name) != 0)
        k++;
    if (k == MAX_NAMES)
        return 1; /* too many programs: log every call */
    if (!logged[k].name[0])
        snprintf(logged[k].name, sizeof logged[k].name, "%s", name);
    if (logged[k].seen[i])
        return 0;
    logged[k].seen[i] = 1;
    return 1;
}

static void log_call(int log, const char *name, int pid, unsigned nr)
{
    char line[160];
    int n;
    if (refused(nr)) {
        const char *call = nr - (LAST_3_0_CALL + 1) < sizeof new_calls / sizeof new_calls[0]
                               ? new_calls[nr - (LAST_3_0_CALL + 1)]
                               : NULL;
        n = snprintf(line, sizeof line, "%s[%d]: ENOSYS %u %s\n", name, pid, nr, call ? call : "?");
    } else if (nr < ARM_PRIVATE_BASE) {
        n = snprintf(line, sizeof line, "%s[%d]: called %u\n", name, pid, nr);
    } else {
        n = snprintf(line, sizeof line, "%s[%d]: called %#x\n", name, pid, nr);
    }
    if (n > 0 && write(log, line, (size_t)n) < 0)
        return; /* a full disk loses log lines, never the program's calls */
}

/* Answers the program's filtered calls until it has ended; its wait status. */
static int supervise(int listener, pid_t child, int log, const char *prog)
{
    struct seccomp_notif_sizes sizes;
    if (syscall(__NR_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) != 0)
        fail("seccomp notification sizes");
    static union {
        struct seccomp_notif n;
        char space[512];
    } req;
    static union {
        struct seccomp_notif_resp r;
        char space[512];
    } resp;
    if (sizes.seccomp_notif > sizeof req || sizes.seccomp_notif_resp > sizeof resp)
        fail("seccomp notification sizes");

    int status = 0;
    for (;;) {
        struct pollfd p = {listener, POLLIN, 0};
        int r = poll(&p, 1, 250);
        if (r > 0 && (p.revents & POLLIN)) {
            memset(&req, 0, sizeof req);
            if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &req) == 0) {
                unsigned nr = (unsigned)req.n.data.nr;
                char name[16];
                comm_of((int)req.n.pid, prog, name, sizeof name);
                if (first_time(name, nr))
                    log_call(log, name, (int)req.n.pid, nr);
                memset(&resp, 0, sizeof resp);
                resp.r.id = req.n.id;
                if (refused(nr))
                    resp.r.error = -ENOSYS;
                else
                    resp.r.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
                /* ENOENT: the caller went away meanwhile */
                ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
            }
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR))) {
            break; /* no task left under the filter */
        }
        pid_t w = waitpid(child, &status, WNOHANG);
        if (w == child)
            return status;
    }
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
        ;
    return status;
}

static int open_log(const char *path)
{
    if (strcmp(path, "-") == 0)
        return 2;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        fail(path);
    return fd;
}

int main(int argc, char **argv)
{
    const char *log_path = NULL;
    int all = 0;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        } else if (strcmp(argv[i], "-l") == 0 && i + 1 < argc) {
            log_path = argv[++i];
        } else if (strcmp(argv[i], "-a") == 0) {
            all = 1;
        } else {
            usage();
        }
    }
    if (i >= argc || (all && !log_path))
        usage();
    char **prog_argv = argv + i;

    if (!log_path) {
        if (install(SECCOMP_RET_ERRNO | ENOSYS, SECCOMP_RET_ALLOW, 0) != 0)
            fail("seccomp filter");
        run(prog_argv);
    }

    int log = open_log(log_path);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        fail("socketpair");
    pid_t child = fork();
    if (child < 0)
        fail("fork");
    if (child == 0) {
        close(sv[0]);
        int listener = install(SECCOMP_RET_USER_NOTIF, all ? SECCOMP_RET_USER_NOTIF : SECCOMP_RET_ALLOW,
                               SECCOMP_FILTER_FLAG_NEW_LISTENER);
        if (listener < 0 && errno == ENOSYS) {
            /* Under an oldkernel already, whose filter refuses the new calls
             * before any listener would hear of them: nothing to log. */
            if (install(SECCOMP_RET_ERRNO | ENOSYS, SECCOMP_RET_ALLOW, 0) != 0)
                _exit(125);
            run(prog_argv);
        }
        if (listener < 0) {
            fprintf(stderr, "oldkernel: seccomp listener: %s\n", strerror(errno));
            _exit(125);
        }
        send_fd(sv[1], listener); /* both close on exec */
        run(prog_argv);
    }
    close(sv[1]);
    /* The console's keys are the program's: the helper waits as system(3) does. */
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    int listener = recv_fd(sv[0]);
    close(sv[0]);
    int status = 0;
    if (listener < 0) {
        while (waitpid(child, &status, 0) < 0 && errno == EINTR)
            ;
    } else {
        const char *base = strrchr(prog_argv[0], '/');
        status = supervise(listener, child, log, base ? base + 1 : prog_argv[0]);
    }
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        signal(sig, SIG_DFL);
        kill(getpid(), sig);
        return 128 + sig;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
