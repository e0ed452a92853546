// Front-panel key monitor: a second thread that polls the panel driver's byte
// stream and prints every key code it finds.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "add_func.h"
#include "board.h"

// Run flag shared with the monitor thread, read and written atomically.
int rev_enable = 0;
pthread_t keyThread;

namespace {

constexpr unsigned char FRAME_START = 0xFD;
constexpr unsigned char FRAME_ESCAPE = 0xFC;
constexpr useconds_t IDLE_US = 200000;

// The monitor as the shell sees it; only the shell thread reads or changes
// it. rev_enable is the run flag the monitor thread itself tests, set in the
// running state alone.
enum monitor_state_t {
    MONITOR_STOPPED,  // no monitor thread
    MONITOR_RUNNING,  // keyThread polls the panel
    MONITOR_STOPPING, // keyThread was told to stop and is not yet joined
};
monitor_state_t monitor = MONITOR_STOPPED;

bool running()
{
    return __atomic_load_n(&rev_enable, __ATOMIC_ACQUIRE) != 0;
}

void set_running(int on)
{
    __atomic_store_n(&rev_enable, on, __ATOMIC_RELEASE);
}

bool read_byte(unsigned char *b)
{
    return read(gfd_panel, b, 1) == 1;
}

void print_key(unsigned char k)
{
    printf("key=0x%02x, %d\n", k, k);
    fflush(stdout);
}

} // namespace

// Frames are 0xFD k, or 0xFD 0xFC k for any k; other bytes where a frame
// must begin are dropped. Sleeps 200 ms whenever no frame starts.
void *key_Fxn(void *)
{
    while (running()) {
        unsigned char b;
        if (!read_byte(&b) || b != FRAME_START) {
            usleep(IDLE_US);
            continue;
        }
        unsigned char k;
        if (!read_byte(&k))
            continue;
        if (k == FRAME_ESCAPE && !read_byte(&k))
            continue;
        print_key(k);
    }
    puts("quit from read panel");
    fflush(stdout);
    return NULL;
}

namespace {

// A monitor told to stop may still be finishing its last pass (at most one
// idle pause): wait for it, so that never two monitors read the panel and the
// node is never closed under one.
void join_monitor()
{
    set_running(0);
    if (monitor != MONITOR_STOPPED)
        pthread_join(keyThread, NULL);
    monitor = MONITOR_STOPPED;
}

void start_monitor()
{
    if (monitor == MONITOR_STOPPING)
        join_monitor();
    set_running(1);
    const int err = pthread_create(&keyThread, NULL, key_Fxn, NULL);
    if (err != 0) {
        set_running(0);
        errno = err;
        perror("pthread_create vdec");
        return;
    }
    monitor = MONITOR_RUNNING;
}

} // namespace

// Leaving the shell: a running monitor is told to stop and waited for.
void stop_key_monitor()
{
    join_monitor();
}

void read_panel(int argc, char **argv)
{
    if (argc < 1) {
        puts("usage: revkey {on|off}");
        return;
    }
    const int on = board::on_off_word(argv[0]);
    if (on < 0) {
        printf("wrong arg: %s\n", argv[0]);
        return;
    }
    if (!on) {
        set_running(0);
        if (monitor == MONITOR_RUNNING)
            monitor = MONITOR_STOPPING;
        return;
    }
    // Without a panel node there is nothing to read; descriptor 0 is the
    // console and its keys belong to the line editor.
    if (gfd_panel == 0) {
        puts("revkey: no panel device (" QN_DEV_PANEL ")");
        return;
    }
    if (monitor != MONITOR_RUNNING)
        start_monitor();
    if (monitor == MONITOR_RUNNING)
        puts("read key from panel");
}
