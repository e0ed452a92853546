// The LD_PRELOAD transport of the board model: what its parts share.
//
// The board itself (registers, pins, decoders, panel stream, faults) is the
// freestanding model in sim/model; this library only carries requests to it
// from the product's system calls and keeps what a PC process needs around
// it: descriptors, clocks, settings, the control FIFO and the output files.
#pragma once

#include <dlfcn.h>
#include <stdint.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qn_model.h"
#include "trace_lines.h"

namespace qnsim {

// ---------------------------------------------------------------------------
// Next definitions of the wrapped functions (normally the C library's).

template <typename F>
F resolve(std::atomic<void *> &slot, const char *name)
{
    void *p = slot.load(std::memory_order_acquire);
    if (!p) {
        p = dlsym(RTLD_NEXT, name);
        slot.store(p, std::memory_order_release);
    }
    return reinterpret_cast<F>(p);
}
#define REAL(fn)                                                                                                       \
    ([] {                                                                                                              \
        static std::atomic<void *> s_slot;                                                                             \
        return ::qnsim::resolve<decltype(&fn)>(s_slot, #fn);                                                           \
    }())

// Set while the simulator itself is running on this thread: whatever it calls
// (e.g. open() of /etc/localtime inside localtime_r) goes straight through.
extern thread_local int t_busy;

// ---------------------------------------------------------------------------
// The simulated board and the process-side state around it.

struct Clocks {
    int64_t sys_base_us = 0, sys_mark_us = 0; // system time = base + (now - mark)
    int64_t rtc_base_us = 0, rtc_mark_us = 0; // RTC likewise, in UTC
};

// Fault-rule slot of the calls this transport serves outside the board.
constexpr unsigned kSlotSettimeofday = QNM_CALL_COUNT + 0;

struct Sim {
    std::mutex mu;  // one lock around every model call
    qn_model model; // the board
    bool missing[QNM_NODE_COUNT] = {}, deny[QNM_NODE_COUNT] = {};
    std::map<int, qnm_node> fds;   // product fd -> faked node
    std::map<int, int> panel_peer; // product panel fd -> simulator's end
    Clocks clk;
    bool fast = false;
    pid_t main_tid = 0;
    int ctl_fd = -1;
};

extern std::atomic<Sim *> g_sim;
Sim *active(); // the simulator, unless this thread is the simulator's own

// Holds the model lock with pass-through enabled for nested calls.
struct Guard {
    std::unique_lock<std::mutex> lock;
    explicit Guard(Sim &s) : lock(s.mu, std::defer_lock)
    {
        ++t_busy;
        lock.lock();
    }
    ~Guard()
    {
        lock.unlock();
        --t_busy;
    }
};

// sinks.cpp: the trace file and the VCD waveform.
void sink_event(int64_t t_us, const qnm_event &ev);
void sink_line(const std::string &line); // one of the transport's own lines
void emit(const qnm_event &ev);          // time-stamped now
void trace_open(const char *path);
void vcd_open(Sim &s, const char *path);
qnm_observer observer();

// clocks.cpp: the trace's clock and the simulated system time and RTC.
void clock_start();
int64_t now_us();
void advance_virtual(int64_t us); // fast mode: a skipped sleep
int64_t sys_now_us(const Sim &s);
int64_t rtc_now_us(const Sim &s);
long long floor_sec(int64_t us);
std::string utc_text(int64_t us);
void emit_clock(const Sim &s);
int rtc_set(Sim &s, const void *arg, bool readable);
int run_clock_tool(Sim &s, const std::string &tool, const std::vector<std::string> &args, bool quiet);

// nodes.cpp: the board's device nodes as descriptors of this process.
bool fake_open(const char *path, int flags, int *ret);
int note_real_fd(int fd);
void note_read(int fd, const void *buf, ssize_t r);
void forget_fd(Sim &s, int fd);
void panel_deliver(Sim &s); // panel stream -> open panel descriptors
int do_ioctl(Sim &s, qnm_node node, unsigned long req, void *arg);

// settings.cpp: QNSIM_* variables.
void warn(const char *what, const char *value);
void load_settings(Sim &s);
std::vector<std::string> words(const std::string &line);

// control.cpp: the control FIFO, and what both control channels share.
void ctl_start(Sim &s, const char *path);
// One control line applied under the model lock: qnm_control's result (a
// reset re-applies the settings in the model itself); err gets the reason.
int apply_control(Sim &s, const std::string &line, char *err, size_t errsize);
// A detached thread of the simulator's, with every signal left to the
// product's threads; a failure is warned about under the setting's name.
void start_thread(void *(*fn)(void *), Sim &s, const char *setting, const char *path);

// link.cpp: the board link socket (QNSIM_LINK).
void link_start(Sim &s, const char *path);
// One line (trace line or pins line, stamped t_us) to every subscriber.
void link_line(int64_t t_us, const char *buf, size_t n);

} // namespace qnsim
