// qnsim: board simulator for qn_shell.
//
// Loaded with LD_PRELOAD, it stands in for the DVR main board's kernel
// drivers (/dev/qn_KD300, /dev/tw_286x, /dev/panel, /dev/rtc) and for the
// calls that would touch the machine's clock (settimeofday, hwclock, date),
// so the unchanged shell binary runs on a PC.  Everything it does not fake
// is handed to the next definition in the link chain.
//
// Settings come from QNSIM_* environment variables, read once at load time.
// A control FIFO lets a test feed panel bytes and poke the hardware; device
// events go to a trace file and GPIO levels to a VCD waveform.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

extern char** environ;
extern "C" int __open_2(const char* path, int flags);
extern "C" int __open64_2(const char* path, int flags);
extern "C" ssize_t __read_chk(int fd, void* buf, size_t nbytes, size_t buflen);

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// ---------------------------------------------------------------------------
// Next definitions of the wrapped functions (normally the C library's).

template <typename F>
F resolve(std::atomic<void*>& slot, const char* name) {
  void* p = slot.load(std::memory_order_acquire);
  if (!p) {
    p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<F>(p);
}
#define REAL(fn) \
  ([] { static std::atomic<void*> s_slot; return resolve<decltype(&fn)>(s_slot, #fn); }())

// Set while the simulator itself is running on this thread: whatever it calls
// (e.g. open() of /etc/localtime inside localtime_r) goes straight through.
thread_local int t_busy = 0;

// ---------------------------------------------------------------------------
// Devices, request codes, state.

enum Node { N_KD, N_TW, N_PANEL, N_RTC, N_COUNT };
const char* const kNodePath[N_COUNT] = {"/dev/qn_KD300", "/dev/tw_286x", "/dev/panel", "/dev/rtc"};
const char* const kNodeName[N_COUNT] = {"qn_KD300", "tw_286x", "panel", "rtc"};

enum Call { C_REG, C_MBINFO, C_BUZZER, C_I2C_RD, C_I2C_WR, C_RTC_SET, C_SETTOD, C_COUNT };
const char* const kCallName[C_COUNT] = {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER",   "I2C_REG_READ",
                                        "I2C_REG_WRITE", "RTC_SET_TIME",  "settimeofday"};
const uint32_t kCallCode[C_RTC_SET + 1] = {0xC00456C9, 0xC00456D8, 0x400456D1,
                                           0xC00448CF, 0xC00448D0, 0x4024700A};
const Node kCallNode[C_RTC_SET + 1] = {N_KD, N_KD, N_KD, N_TW, N_TW, N_RTC};

const uint32_t kGpioBase = 0x20150000, kGpioBanks = 9, kGpioStride = 0x10000;
const uint32_t kDecoderAddr[2] = {0x60, 0x62};

struct Decoder {
  uint8_t reg[16][256];
  uint8_t select;
};

struct State {
  std::mutex mu;
  uint32_t model = 0x20D97004, gp_id = 0, mb_version = 1;
  bool missing[N_COUNT] = {}, deny[N_COUNT] = {};
  uint64_t fail_from[C_COUNT] = {};  // 0: never fails; N: fails from the Nth call on
  uint64_t calls[C_COUNT] = {};
  std::map<uint32_t, uint32_t> regs;                        // SoC plain registers
  uint8_t pins[kGpioBanks] = {};                            // GPIO levels per bank
  std::map<uint32_t, std::map<uint32_t, uint32_t>> i2c;     // plain I2C devices
  Decoder nvp[2];
  std::map<int, Node> fds;        // product fd -> faked node
  std::map<int, int> panel_peer;  // product panel fd -> simulator's end
  std::string panel_pending;      // fed while no panel was open
  int buzzer = 0;
  bool fast = false;
  pid_t main_tid = 0;
  int vcd_fd = -1, ctl_fd = -1;
  int64_t vcd_last = 0;
  int64_t sys_base_us = 0, sys_mark_us = 0;  // system time = base + (now - mark)
  int64_t rtc_base_us = 0, rtc_mark_us = 0;  // RTC likewise, in UTC
};

std::atomic<State*> g_st{nullptr};
int64_t g_mono0_ns = 0;
std::atomic<int64_t> g_virt_us{0};
int g_trace_fd = -1;

State* active() { return t_busy ? nullptr : g_st.load(std::memory_order_acquire); }

// Holds the state lock with pass-through enabled for nested calls.
struct Guard {
  std::unique_lock<std::mutex> lock;
  explicit Guard(State& s) : lock(s.mu, std::defer_lock) {
    ++t_busy;
    lock.lock();
  }
  ~Guard() {
    lock.unlock();
    --t_busy;
  }
};

// ---------------------------------------------------------------------------
// Time and trace.

int64_t mono_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Microseconds since load: the clock of the trace, the VCD and the simulated
// clocks.  Fast mode adds the sleeps the main thread skipped.
int64_t now_us() { return (mono_ns() - g_mono0_ns) / 1000 + g_virt_us.load(); }

void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char* fmt, ...) {
  if (g_trace_fd < 0) return;
  int saved = errno;
  char buf[4096];
  int n = snprintf(buf, sizeof buf, "%lld ", (long long)now_us());
  va_list ap;
  va_start(ap, fmt);
  int m = vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
  va_end(ap);
  n = (m < 0) ? n : std::min<int>(n + m, sizeof buf - 2);
  buf[n++] = '\n';
  if (write(g_trace_fd, buf, n) < 0) {
  }
  errno = saved;
}

void warn(const char* what, const char* value) {
  std::string m = std::string("qnsim: ignoring bad ") + what + " '" + value + "'\n";
  if (write(2, m.data(), m.size()) < 0) {
  }
}

int64_t sys_now_us(State& s) { return s.sys_base_us + (now_us() - s.sys_mark_us); }
int64_t rtc_now_us(State& s) { return s.rtc_base_us + (now_us() - s.rtc_mark_us); }

time_t floor_sec(int64_t us) { return time_t(us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000)); }

std::string utc_text(int64_t us) {
  time_t t = floor_sec(us);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// ---------------------------------------------------------------------------
// GPIO levels and the VCD waveform.

// 72 one-character codes, from '%' on: '$' and '#' would read as keywords.
char vcd_id(int pin) { return char('%' + pin); }

void vcd_open(State& s, const char* path) {
  s.vcd_fd = REAL(open)(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (s.vcd_fd < 0) return warn("QNSIM_VCD", path);
  time_t t = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", gmtime(&t));
  std::string h = std::string("$date ") + date + " $end\n$version qnsim $end\n$timescale 1us $end\n"
                  "$scope module gpio $end\n";
  for (int p = 0; p < int(kGpioBanks) * 8; ++p)
    h += "$var wire 1 " + std::string(1, vcd_id(p)) + " gpio" + std::to_string(p / 8) + "_" +
         std::to_string(p % 8) + " $end\n";
  h += "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n";
  for (int p = 0; p < int(kGpioBanks) * 8; ++p)
    h += std::string(1, char('0' + ((s.pins[p / 8] >> (p % 8)) & 1))) + vcd_id(p) + "\n";
  h += "$end\n";
  if (write(s.vcd_fd, h.data(), h.size()) < 0) {
  }
}

void set_levels(State& s, uint32_t bank, uint8_t levels) {
  uint8_t old = s.pins[bank];
  s.pins[bank] = levels;
  if (s.vcd_fd < 0 || old == levels) return;
  std::string out;
  int64_t t = now_us();
  if (t > s.vcd_last) {
    out = "#" + std::to_string(t) + "\n";
    s.vcd_last = t;
  }
  for (int b = 0; b < 8; ++b)
    if (((old ^ levels) >> b) & 1) {
      out += char('0' + ((levels >> b) & 1));
      out += vcd_id(int(bank) * 8 + b);
      out += '\n';
    }
  if (write(s.vcd_fd, out.data(), out.size()) < 0) {
  }
}

// ---------------------------------------------------------------------------
// SoC register space: address ranges with their own handlers.

uint32_t plain_read(State& s, uint32_t a) {
  auto it = s.regs.find(a);
  return it == s.regs.end() ? 0 : it->second;
}
void plain_write(State& s, uint32_t a, uint32_t v) { s.regs[a] = v; }

// Offsets 0x000-0x3FC of a bank are the data register; address bits 9:2
// select which pins an access sees.  Other offsets are plain storage.
uint32_t gpio_read(State& s, uint32_t a) {
  uint32_t bank = (a - kGpioBase) / kGpioStride, off = a & 0xFFFF;
  if (off >= 0x400) return plain_read(s, a);
  return s.pins[bank] & ((off >> 2) & 0xFF);
}
void gpio_write(State& s, uint32_t a, uint32_t v) {
  uint32_t bank = (a - kGpioBase) / kGpioStride, off = a & 0xFFFF;
  if (off >= 0x400) return plain_write(s, a, v);
  uint8_t mask = (off >> 2) & 0xFF;
  set_levels(s, bank, uint8_t((s.pins[bank] & ~mask) | (v & mask)));
}

struct Range {
  uint32_t lo, hi;
  uint32_t (*read)(State&, uint32_t);
  void (*write)(State&, uint32_t, uint32_t);
};
const Range kRanges[] = {
    {kGpioBase, kGpioBase + kGpioBanks * kGpioStride - 1, gpio_read, gpio_write},  // GPIO
    {0x20110000, 0x2011FFFF, plain_read, plain_write},  // DDR controller (seeded)
    {0x00000000, 0xFFFFFFFF, plain_read, plain_write},  // everything else
};
const Range& range_of(uint32_t a) {
  for (const Range& r : kRanges)
    if (a >= r.lo && a <= r.hi) return r;
  return kRanges[2];
}
uint32_t reg_read(State& s, uint32_t a) { return range_of(a).read(s, a); }
void reg_write(State& s, uint32_t a, uint32_t v) { range_of(a).write(s, a, v); }

// ---------------------------------------------------------------------------
// I2C bus behind tw_286x: two NVP6114 decoders and plain devices.

Decoder* decoder_at(State& s, uint32_t addr) {
  for (int i = 0; i < 2; ++i)
    if (addr == kDecoderAddr[i]) return &s.nvp[i];
  return nullptr;
}

// Banked access by (chip, bank, register); register 0xFF is the bank select.
int nvp_access(State& s, bool wr, uint32_t chip, uint32_t bank, uint32_t reg, uint32_t* val) {
  Decoder* d = chip < 2 ? &s.nvp[chip] : decoder_at(s, chip);
  if (!d) return ENXIO;
  if (bank >= 16 || reg > 0xFF) return EINVAL;
  uint8_t& cell = reg == 0xFF ? d->select : d->reg[bank][reg];
  if (wr) cell = uint8_t(*val);
  else *val = cell;
  return 0;
}

// w0 selects the addressing form; see the I2C_REG_* requests.
int i2c_access(State& s, bool wr, uint32_t* w) {
  if (w[0] == 0) return nvp_access(s, wr, w[1], w[2], w[3], wr ? &w[4] : &w[0]);
  if (w[0] != 100) return EINVAL;
  uint32_t* val = wr ? &w[3] : &w[0];
  if (Decoder* d = decoder_at(s, w[1])) {
    if (w[2] > 0xFF) return EINVAL;
    return nvp_access(s, wr, w[1], d->select & 0x0F, w[2], val);
  }
  auto dev = s.i2c.find(w[1]);
  if (dev == s.i2c.end()) return ENXIO;
  if (wr) dev->second[w[2]] = *val;
  else {
    auto it = dev->second.find(w[2]);
    *val = it == dev->second.end() ? 0 : it->second;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Requests.

bool should_fail(State& s, Call c) {
  ++s.calls[c];
  return s.fail_from[c] && s.calls[c] >= s.fail_from[c];
}

int rtc_set(State& s, void* arg) {
  int f[9] = {};
  bool readable = uintptr_t(arg) >= 4096;
  if (readable) memcpy(f, arg, sizeof f);
  int err = 0;
  if (!readable) err = EFAULT;
  else if (should_fail(s, C_RTC_SET)) err = EIO;
  else {
    // Same checks as the kernel's rtc_valid_tm().
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = f[5] + 1900;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (f[5] < 70 || f[4] < 0 || f[4] > 11 || f[3] < 1 || f[3] > kDays[f[4]] + (f[4] == 1 && leap) ||
        f[2] < 0 || f[2] > 23 || f[1] < 0 || f[1] > 59 || f[0] < 0 || f[0] > 59)
      err = EINVAL;
    else {
      struct tm tm = {};
      tm.tm_sec = f[0], tm.tm_min = f[1], tm.tm_hour = f[2], tm.tm_mday = f[3], tm.tm_mon = f[4];
      tm.tm_year = f[5];
      s.rtc_base_us = int64_t(timegm(&tm)) * 1000000;
      s.rtc_mark_us = now_us();
    }
  }
  trace("ioctl RTC_SET_TIME tm=%04d-%02d-%02d %02d:%02d:%02d wday=%d yday=%d isdst=%d ret=%d", f[5] + 1900,
        f[4] + 1, f[3], f[2], f[1], f[0], f[6], f[7], f[8], err ? -1 : 0);
  errno = err;
  return err ? -1 : 0;
}

int do_ioctl(State& s, Node node, unsigned long req, void* arg) {
  int call = -1;
  for (int c = 0; c <= C_RTC_SET; ++c)
    if (uint32_t(req) == kCallCode[c] && req <= 0xFFFFFFFFul) call = c;
  if (call == C_RTC_SET && node == N_RTC) return rtc_set(s, arg);
  bool readable = uintptr_t(arg) >= 4096;
  uint32_t in[5] = {}, w[5];
  if (readable) memcpy(in, arg, sizeof in);
  memcpy(w, in, sizeof w);
  int err = 0;
  if (call < 0 || kCallNode[call] != node) err = ENOTTY;
  else if (!readable) err = EFAULT;
  else if (should_fail(s, Call(call))) err = EIO;
  else switch (call) {
      case C_REG:
        if (w[0] == 1) w[0] = reg_read(s, w[1]);
        else if (w[0] == 0) reg_write(s, w[1], w[2]);
        else err = EINVAL;
        break;
      case C_MBINFO: w[0] = s.model, w[1] = s.gp_id, w[2] = s.mb_version; break;
      case C_BUZZER:
        s.buzzer = w[0] != 0;
        trace("buzzer %d", s.buzzer);
        break;
      case C_I2C_RD: err = i2c_access(s, false, w); break;
      case C_I2C_WR: err = i2c_access(s, true, w); break;
    }
  if (err) memcpy(w, in, sizeof w);
  for (int i = 0; i < 5; ++i)  // write back only what the driver changed
    if (w[i] != in[i]) memcpy(static_cast<char*>(arg) + 4 * i, &w[i], 4);
  char name[16];
  if (call >= 0) snprintf(name, sizeof name, "%s", kCallName[call]);
  else snprintf(name, sizeof name, "0x%08x", unsigned(req));
  trace("ioctl %s in=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x out=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x ret=%d", name,
        in[0], in[1], in[2], in[3], in[4], w[0], w[1], w[2], w[3], w[4], err ? -1 : 0);
  errno = err;
  return err ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Device nodes.

int node_of(const char* path) {
  if (!path) return -1;
  for (int n = 0; n < N_COUNT; ++n)
    if (strcmp(path, kNodePath[n]) == 0) return n;
  return -1;
}

void panel_push(int peer, const std::string& bytes) {
  if (!bytes.empty() && send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
    trace("panel-drop %zu", bytes.size());
}

void panel_feed(State& s, const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes) {
    char b[4];
    snprintf(b, sizeof b, hex.empty() ? "%02x" : " %02x", c);
    hex += b;
  }
  trace("panel-feed %s", hex.c_str());
  if (s.panel_peer.empty()) s.panel_pending += bytes;
  for (auto& p : s.panel_peer) panel_push(p.second, bytes);
}

void forget_fd(State& s, int fd) {
  auto it = s.fds.find(fd);
  if (it == s.fds.end()) return;
  auto peer = s.panel_peer.find(fd);
  if (peer != s.panel_peer.end()) {
    REAL(close)(peer->second);
    s.panel_peer.erase(peer);
  }
  s.fds.erase(it);
}

// Returns true if path is one of the board's nodes; *ret is then the result.
bool fake_open(const char* path, int flags, int* ret) {
  State* sp = active();
  int n = sp ? node_of(path) : -1;
  if (n < 0) return false;
  Guard g(*sp);
  State& s = *sp;
  *ret = -1;
  if (s.missing[n] || s.deny[n]) {
    trace("open %s %s", path, s.missing[n] ? "missing" : "denied");
    errno = s.missing[n] ? ENOENT : EACCES;
    return true;
  }
  int fd;
  if (n == N_PANEL) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) < 0) return true;
    fd = sv[0];
    if (!(flags & O_CLOEXEC)) fcntl(fd, F_SETFD, 0);
    if (flags & O_NONBLOCK) fcntl(fd, F_SETFL, O_NONBLOCK);
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    forget_fd(s, fd);
    s.panel_peer[fd] = sv[1];
    panel_push(sv[1], s.panel_pending);
    s.panel_pending.clear();
  } else {
    fd = REAL(open)("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) return true;
    forget_fd(s, fd);
  }
  s.fds[fd] = Node(n);
  trace("open %s fd=%d", path, fd);
  *ret = fd;
  return true;
}

// A real descriptor reusing a number we still hold means ours was closed
// behind our back; drop the stale entry.
int note_real_fd(int fd) {
  State* sp = active();
  if (fd >= 0 && sp) {
    int saved = errno;
    Guard g(*sp);
    forget_fd(*sp, fd);
    errno = saved;
  }
  return fd;
}

void note_read(int fd, const void* buf, ssize_t r) {
  State* sp = active();
  if (r <= 0 || !sp) return;
  int saved = errno;
  Guard g(*sp);
  auto it = sp->fds.find(fd);
  if (it != sp->fds.end() && it->second == N_PANEL) {
    std::string hex;
    for (ssize_t i = 0; i < r && i < 1024; ++i) {
      char b[3];
      snprintf(b, sizeof b, "%02x", static_cast<const unsigned char*>(buf)[i]);
      hex += b;
    }
    trace("panel-read %s", hex.c_str());
  }
  errno = saved;
}

// ---------------------------------------------------------------------------
// hwclock and date, run in-process against the simulated clocks.

int run_clock_tool(State& s, const std::string& tool, const std::vector<std::string>& args, bool quiet) {
  std::string out;
  bool ok = true;
  if (tool == "hwclock") {
    std::string mode = args.empty() ? "-r" : args[0];
    if (args.size() > 1) ok = false;
    else if (mode == "-r" || mode == "--show") out = utc_text(rtc_now_us(s)) + ".000000+00:00\n";
    else if (mode == "-w" || mode == "--systohc") s.rtc_base_us = sys_now_us(s), s.rtc_mark_us = now_us();
    else if (mode == "-s" || mode == "--hctosys") s.sys_base_us = rtc_now_us(s), s.sys_mark_us = now_us();
    else ok = false;
  } else {
    std::string fmt = "%a %b %e %H:%M:%S %Z %Y";
    if (args.size() > 1 || (args.size() == 1 && args[0][0] != '+')) ok = false;
    else if (args.size() == 1) fmt = args[0].substr(1);
    time_t t = floor_sec(sys_now_us(s));
    struct tm tm;
    tzset();
    localtime_r(&t, &tm);
    char buf[256] = "";
    strftime(buf, sizeof buf, fmt.c_str(), &tm);
    out = std::string(buf) + "\n";
  }
  if (!ok) {
    std::string m = tool + ": option not supported by the simulator\n";
    if (write(2, m.data(), m.size()) < 0) {
    }
    return 1 << 8;
  }
  if (!quiet && !out.empty() && write(1, out.data(), out.size()) < 0) {
  }
  return 0;
}

// The shell a pass-through system() starts must not load the simulator again.
int system_without_preload(const char* cmd) {
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e)
    if (strncmp(*e, "LD_PRELOAD=", 11) != 0) env.push_back(*e);
  env.push_back(nullptr);
  char** saved = environ;
  environ = env.data();
  int r = REAL(system)(cmd);
  environ = saved;
  return r;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> v;
  size_t i = 0;
  while ((i = line.find_first_not_of(" \t\r\n", i)) != std::string::npos) {
    size_t j = line.find_first_of(" \t\r\n", i);
    v.push_back(line.substr(i, j - i));
    i = j;
  }
  return v;
}

// ---------------------------------------------------------------------------
// Settings.

bool parse_num(const std::string& text, uint32_t* out, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end;
  errno = 0;
  unsigned long v = strtoul(text.c_str(), &end, base);
  if (*end || errno || v > 0xFFFFFFFFul) return false;
  *out = uint32_t(v);
  return true;
}

std::vector<std::string> split_list(const char* text) {
  std::vector<std::string> v;
  std::string cur;
  for (const char* p = text;; ++p) {
    if (!*p || *p == ',') {
      auto w = words(cur);
      if (!w.empty()) v.push_back(w[0]);
      cur.clear();
      if (!*p) break;
    } else cur += *p;
  }
  return v;
}

void env_num(const char* var, uint32_t* out) {
  const char* v = getenv(var);
  if (v && !parse_num(v, out)) warn(var, v);
}

void env_nodes(const char* var, bool* set) {
  const char* v = getenv(var);
  if (!v) return;
  for (const std::string& item : split_list(v)) {
    int n = 0;
    while (n < N_COUNT && strcasecmp(item.c_str(), kNodeName[n]) != 0) ++n;
    if (n < N_COUNT) set[n] = true;
    else warn(var, item.c_str());
  }
}

bool parse_pin(const std::string& text, uint32_t* bank, uint32_t* bit) {
  size_t u = text.find('_');
  return u != std::string::npos && parse_num(text.substr(0, u), bank, 10) &&
         parse_num(text.substr(u + 1), bit, 10) && *bank < kGpioBanks && *bit < 8;
}

void set_pin(State& s, uint32_t bank, uint32_t bit, bool level) {
  set_levels(s, bank, uint8_t(level ? s.pins[bank] | (1u << bit) : s.pins[bank] & ~(1u << bit)));
}

void load_settings(State& s) {
  if (const char* m = getenv("QNSIM_MODEL")) {
    static const char* const kModels[] = {"KD3151", "KD3252", "KD3353", "KD3454", "KD3555"};
    bool named = false;
    for (int i = 0; i < 5; ++i)
      if (strcasecmp(m, kModels[i]) == 0) s.model = 0x20D97001 + i, named = true;
    if (!named && !parse_num(m, &s.model)) warn("QNSIM_MODEL", m);
  }
  env_num("QNSIM_GP_ID", &s.gp_id);
  env_num("QNSIM_MB_VERSION", &s.mb_version);
  env_nodes("QNSIM_MISSING", s.missing);
  env_nodes("QNSIM_DENY", s.deny);
  if (const char* v = getenv("QNSIM_FAIL"))
    for (const std::string& item : split_list(v)) {
      size_t at = item.find('@');
      std::string name = item.substr(0, at);
      uint32_t from = 1;
      int c = 0;
      while (c < C_COUNT && strcasecmp(name.c_str(), kCallName[c]) != 0) ++c;
      if (c == C_COUNT || (at != std::string::npos && !parse_num(item.substr(at + 1), &from, 10)))
        warn("QNSIM_FAIL", item.c_str());
      else s.fail_from[c] = from ? from : 1;
    }
  s.regs[0x2011002C] = 0x22;  // DDR controller: 256 MB part
  s.regs[0x2011001C] = 0x10;
  if (const char* v = getenv("QNSIM_PINS"))
    for (const std::string& item : split_list(v)) {
      size_t eq = item.find('=');
      uint32_t bank, bit, level;
      if (eq != std::string::npos && parse_pin(item.substr(0, eq), &bank, &bit) &&
          parse_num(item.substr(eq + 1), &level) && level <= 1)
        set_pin(s, bank, bit, level);
      else warn("QNSIM_PINS", item.c_str());
    }
  if (const char* v = getenv("QNSIM_REGS"))
    for (const std::string& item : split_list(v)) {
      size_t eq = item.find('=');
      uint32_t a, val;
      if (eq != std::string::npos && parse_num(item.substr(0, eq), &a) && parse_num(item.substr(eq + 1), &val))
        reg_write(s, a, val);
      else warn("QNSIM_REGS", item.c_str());
    }
  for (int c = 0; c < 2; ++c) {
    for (int b = 0; b < 16; ++b)
      for (int r = 0; r < 0xFF; ++r) s.nvp[c].reg[b][r] = uint8_t(r + 0x11 * b);
    s.nvp[c].select = 0;
  }
  const char* i2c = getenv("QNSIM_I2C");
  for (const std::string& item : split_list(i2c ? i2c : "0x50")) {
    uint32_t a;
    if (parse_num(item, &a) && !decoder_at(s, a)) s.i2c[a];
    else warn("QNSIM_I2C", item.c_str());
  }
  const char* fast = getenv("QNSIM_FAST");
  s.fast = fast && strcmp(fast, "1") == 0;
  s.main_tid = getpid();
  timeval tv;
  gettimeofday(&tv, nullptr);
  s.sys_base_us = int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
  if (const char* t = getenv("QNSIM_TIME")) {
    char* end;
    errno = 0;
    long long sec = strtoll(t, &end, 0);
    if (*t && !*end && !errno) s.sys_base_us = sec * 1000000;
    else warn("QNSIM_TIME", t);
  }
  s.rtc_base_us = s.sys_base_us;
}

// ---------------------------------------------------------------------------
// Control channel.

void ctl_line(State& s, const std::string& line) {
  std::vector<std::string> w = words(line);
  if (w.empty()) return;
  const std::string& cmd = w[0];
  uint32_t v[4];
  auto nums = [&](size_t first, size_t count) {
    if (w.size() != first + count) return false;
    for (size_t i = 0; i < count; ++i)
      if (!parse_num(w[first + i], &v[i])) return false;
    return true;
  };
  if (cmd == "panel" && w.size() > 1) {
    std::string bytes;
    for (size_t i = 1; i < w.size(); ++i) {
      uint32_t b;
      if (!parse_num(w[i], &b, 16) || b > 0xFF) return trace("ctl-error %s", line.c_str());
      bytes += char(b);
    }
    panel_feed(s, bytes);
  } else if (cmd == "pin" && w.size() == 3 && parse_pin(w[1], &v[0], &v[1]) && parse_num(w[2], &v[2]) &&
             v[2] <= 1) {
    set_pin(s, v[0], v[1], v[2]);
  } else if (cmd == "reg" && nums(1, 2)) {
    reg_write(s, v[0], v[1]);
  } else if (cmd == "i2c" && nums(1, 3) && s.i2c.count(v[0])) {
    s.i2c[v[0]][v[1]] = v[2];
  } else if (cmd == "nvp" && nums(1, 4) && nvp_access(s, true, v[0], v[1], v[2], &v[3]) == 0) {
  } else if (cmd == "clock" && w.size() == 1) {
    trace("clock sys=%lld rtc=%s", (long long)floor_sec(sys_now_us(s)), utc_text(rtc_now_us(s)).c_str());
  } else if (cmd == "sync" && w.size() == 1) {
    trace("sync");
  } else {
    trace("ctl-error %s", line.c_str());
  }
}

void* ctl_thread(void* arg) {
  State& s = *static_cast<State*>(arg);
  t_busy = 1;  // nothing this thread calls is the product's
  std::string buf;
  char tmp[512];
  for (;;) {
    ssize_t n = REAL(read)(s.ctl_fd, tmp, sizeof tmp);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    buf.append(tmp, size_t(n));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::lock_guard<std::mutex> lock(s.mu);
      ctl_line(s, line);
    }
  }
}

void ctl_start(State& s, const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 && mkfifo(path, 0600) != 0) return warn("QNSIM_CTL", path);
  s.ctl_fd = REAL(open)(path, O_RDWR | O_CLOEXEC);  // O_RDWR: never sees EOF
  if (s.ctl_fd < 0) return warn("QNSIM_CTL", path);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);  // signals stay with the product's threads
  pthread_t th;
  if (pthread_create(&th, nullptr, ctl_thread, &s) == 0) pthread_detach(th);
  else warn("QNSIM_CTL", path);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

__attribute__((constructor)) void qnsim_init() {
  t_busy = 1;
  g_mono0_ns = mono_ns();
  State* s = new State();
  load_settings(*s);
  if (const char* t = getenv("QNSIM_TRACE")) {
    g_trace_fd = REAL(open)(t, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_trace_fd < 0) warn("QNSIM_TRACE", t);
  }
  if (const char* v = getenv("QNSIM_VCD")) vcd_open(*s, v);
  g_st.store(s, std::memory_order_release);
  if (const char* c = getenv("QNSIM_CTL")) ctl_start(*s, c);
  t_busy = 0;
}

mode_t open_mode(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(ap, unsigned)) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interposed entry points.

#define OPEN_BODY(call)              \
  va_list ap;                        \
  va_start(ap, flags);               \
  mode_t mode = open_mode(flags, ap); \
  va_end(ap);                        \
  int fd;                            \
  if (fake_open(path, flags, &fd)) return fd; \
  return note_real_fd(call)

EXPORT int open(const char* path, int flags, ...) { OPEN_BODY(REAL(open)(path, flags, mode)); }
EXPORT int open64(const char* path, int flags, ...) { OPEN_BODY(REAL(open64)(path, flags, mode)); }
EXPORT int openat(int dir, const char* path, int flags, ...) { OPEN_BODY(REAL(openat)(dir, path, flags, mode)); }
EXPORT int openat64(int dir, const char* path, int flags, ...) {
  OPEN_BODY(REAL(openat64)(dir, path, flags, mode));
}
EXPORT int __open_2(const char* path, int flags) {
  int fd;
  if (fake_open(path, flags, &fd)) return fd;
  return note_real_fd(REAL(__open_2)(path, flags));
}
EXPORT int __open64_2(const char* path, int flags) {
  int fd;
  if (fake_open(path, flags, &fd)) return fd;
  return note_real_fd(REAL(__open64_2)(path, flags));
}

EXPORT ssize_t read(int fd, void* buf, size_t n) {
  ssize_t r = REAL(read)(fd, buf, n);
  note_read(fd, buf, r);
  return r;
}
EXPORT ssize_t __read_chk(int fd, void* buf, size_t n, size_t buflen) {
  ssize_t r = REAL(__read_chk)(fd, buf, n, buflen);
  note_read(fd, buf, r);
  return r;
}

EXPORT int ioctl(int fd, unsigned long req, ...) noexcept {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (State* s = active()) {
    Guard g(*s);
    auto it = s->fds.find(fd);
    if (it != s->fds.end()) return do_ioctl(*s, it->second, req, arg);
  }  // not ours: the lock is released before passing it on
  return REAL(ioctl)(fd, req, arg);
}

EXPORT int access(const char* path, int mode) noexcept {
  State* s = active();
  int n = s ? node_of(path) : -1;
  if (n < 0) return REAL(access)(path, mode);
  if (s->missing[n] || (mode & X_OK)) {
    errno = s->missing[n] ? ENOENT : EACCES;
    return -1;
  }
  return 0;
}

EXPORT int close(int fd) {
  if (State* s = active()) {
    Guard g(*s);
    auto it = s->fds.find(fd);
    if (it != s->fds.end()) {
      trace("close fd=%d %s", fd, kNodePath[it->second]);
      forget_fd(*s, fd);
    }
  }
  return REAL(close)(fd);
}

// Never reaches the machine's clock.
EXPORT int settimeofday(const struct timeval* tv, const struct timezone*) noexcept {
  State* s = g_st.load(std::memory_order_acquire);
  if (!s) {
    errno = EPERM;
    return -1;
  }
  Guard g(*s);
  int err = 0;
  if (should_fail(*s, C_SETTOD)) err = EPERM;
  else if (tv && (tv->tv_usec < 0 || tv->tv_usec >= 1000000)) err = EINVAL;
  else if (tv) s->sys_base_us = int64_t(tv->tv_sec) * 1000000 + tv->tv_usec, s->sys_mark_us = now_us();
  if (tv) trace("settimeofday %lld.%06ld ret=%d", (long long)tv->tv_sec, long(tv->tv_usec), err ? -1 : 0);
  else trace("settimeofday NULL ret=%d", err ? -1 : 0);
  errno = err;
  return err ? -1 : 0;
}

EXPORT int system(const char* cmd) {
  std::vector<std::string> w = words(cmd ? cmd : "");
  std::string tool = w.empty() ? "" : w[0].substr(w[0].rfind('/') + 1);
  if (tool != "hwclock" && tool != "date") return t_busy || !cmd ? REAL(system)(cmd) : system_without_preload(cmd);
  State* s = g_st.load(std::memory_order_acquire);
  if (!s) return 127 << 8;
  Guard g(*s);
  trace("system %s", cmd);
  // Arguments end at the first shell operator; a redirection of stdout
  // discards the output.
  std::vector<std::string> args;
  bool quiet = false;
  for (size_t i = 1; i < w.size(); ++i) {
    if (w[i].find_first_of(";|&<>") != std::string::npos) {
      quiet = w[i].find('>') != std::string::npos && w[i].rfind("2>", 0) != 0;
      break;
    }
    args.push_back(w[i]);
  }
  return run_clock_tool(*s, tool, args, quiet);
}

EXPORT int usleep(useconds_t usec) {
  State* s = active();
  if (!s) return REAL(usleep)(usec);
  trace("usleep %u", unsigned(usec));
  if (s->fast && pid_t(syscall(SYS_gettid)) == s->main_tid) {
    g_virt_us += usec;
    return 0;
  }
  return REAL(usleep)(usec);
}
