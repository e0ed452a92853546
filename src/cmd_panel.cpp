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

bool monitor_started = false; // keyThread holds a thread not yet joined

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

// Leaving the shell: a running monitor is told to stop and waited for (at
// most one idle pause) before the panel node is closed under it.
void stop_key_monitor()
{
    set_running(0);
    if (monitor_started) {
        pthread_join(keyThread, NULL);
        monitor_started = false;
    }
}

void read_panel(int argc, char **argv)
{
    static int recvst = 1;
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
        recvst = 1;
        return;
    }
    // Without a panel node there is nothing to read; descriptor 0 is the
    // console and its keys belong to the line editor.
    if (gfd_panel == 0) {
        puts("revkey: no panel device (" QN_DEV_PANEL ")");
        return;
    }
    if (recvst) {
        // A monitor told to stop may still be finishing its last pass: let it
        // end first, so that never two monitors read the panel.
        if (monitor_started) {
            pthread_join(keyThread, NULL);
            monitor_started = false;
        }
        set_running(1);
        const int err = pthread_create(&keyThread, NULL, key_Fxn, NULL);
        if (err != 0) {
            errno = err;
            perror("pthread_create vdec");
            return;
        }
        monitor_started = true;
        recvst = 0;
    }
    set_running(1);
    puts("read key from panel");
}
