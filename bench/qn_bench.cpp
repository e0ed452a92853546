// Measures the shell on the simulated board and prints a Markdown table:
// redraw writes per key, start-up time, the xm dump against its pacing floor,
// reset pulse widths from the waveform, and binary sizes.
//   qn_bench [--static PATH] [--armel PATH] [--strace]
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::PtyShell;
using Clock = std::chrono::steady_clock;

namespace {

struct Row {
    std::string what, figure, goal;
};
std::vector<Row> g_rows;

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::string fmt(const char *f, double v)
{
    char b[64];
    snprintf(b, sizeof b, f, v);
    return b;
}

std::string run(const std::string &cmd)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), pclose);
    if (!p)
        return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p.get())) > 0)
        out.append(buf, n);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// write(2) calls and bytes on standard error per typed key, from strace.
void keys()
{
    // strace's log lives in a folder of its own, removed when the figures are read
    std::string dir = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/qn_bench.XXXXXX";
    if (!mkdtemp(&dir[0])) {
        g_rows.push_back({"redraw writes per key", "no temporary folder", "1"});
        return;
    }
    const std::string log = dir + "/strace.txt";
    struct Remove {
        const std::string &dir, &log;
        ~Remove()
        {
            unlink(log.c_str());
            rmdir(dir.c_str());
        }
    } remove{dir, log};
    setenv("QN_E2E_RUNNER", ("strace -f -qq -e trace=write -e signal=none -s 0 -o " + log).c_str(), 1);
    {
        PtyShell sh;
        if (!sh.wait_prompt(10000)) {
            g_rows.push_back({"redraw writes per key", "strace run failed", "1"});
            unsetenv("QN_E2E_RUNNER");
            return;
        }
        const std::vector<std::string> seq = {"h",    "r",      " ",      "0",      "x",      "1",
                                              "0",    "\x1b[D", "\x1b[D", "\x1bOH", "\x1bOF", "\x08",
                                              "\x7f", "\x1b[C", "9",      "\x1b[A", "\x1b[B"};
        sh.take();
        for (const auto &k : seq)
            sh.key(k);
        sh.key("\t"); // the line is empty after Down: Tab lists every command
        sh.line("exit");
        sh.wait_exit();
        unsetenv("QN_E2E_RUNNER");
        std::ifstream in(log);
        std::string line;
        int writes = 0, after_prompt = 0;
        long bytes = 0;
        const std::regex re("write\\(2, .*\\)\\s+=\\s+([0-9]+)");
        std::vector<std::pair<int, long>> w;
        while (std::getline(in, line)) {
            std::smatch m;
            if (std::regex_search(line, m, re))
                w.push_back({1, std::stol(m[1])});
        }
        // The first two writes are the screen clear and the prompt, the last
        // one the line feed after exit; between them every key drew once.
        if (w.size() >= 3) {
            for (size_t i = 2; i + 1 < w.size(); ++i) {
                ++writes;
                bytes += w[i].second;
            }
            after_prompt = (int)(seq.size() + 1 + 4);
        }
        const double per_key = after_prompt ? (double)writes / after_prompt : 0;
        g_rows.push_back({"stderr write(2) calls per redrawn key (" + std::to_string(after_prompt) + " keys)",
                          fmt("%.2f", per_key), "1"});
        g_rows.push_back(
            {"stderr bytes per redrawn key", fmt("%.1f", after_prompt ? (double)bytes / after_prompt : 0), "-"});
    }
}

void startup()
{
    std::vector<double> t;
    for (int i = 0; i < 15; ++i) {
        auto t0 = Clock::now();
        PtyShell sh;
        if (!sh.wait_prompt(10000))
            continue;
        t.push_back(ms_since(t0));
        sh.line("exit");
        sh.wait_exit();
    }
    std::sort(t.begin(), t.end());
    g_rows.push_back({"start-up to first prompt, median of " + std::to_string(t.size()),
                      t.empty() ? "failed" : fmt("%.1f ms", t[t.size() / 2]), "-"});
}

// What 1290 pauses of 1000 µs cost on this machine by themselves: the
// kernel's wake-up latency, and up to the timer slack, come on top of every
// pause. `slack_ns` 0 is the process's default slack.
double bare_pauses_ms(unsigned long slack_ns)
{
    prctl(PR_SET_TIMERSLACK, slack_ns, 0UL, 0UL, 0UL);
    auto t0 = Clock::now();
    for (int i = 0; i < 1290; ++i)
        usleep(1000);
    const double ms = ms_since(t0);
    prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    return ms;
}

long own_slack_ns()
{
    std::ifstream f("/proc/self/timerslack_ns");
    long v = -1;
    f >> v;
    return v;
}

double xm_wall_ms()
{
    PtyShell::Options o;
    o.fast = false;
    PtyShell sh(o);
    sh.wait_prompt();
    sh.type("xm 0x60");
    sh.take();
    auto t0 = Clock::now();
    sh.send("\r");
    sh.wait_for("[bank4]", 20000);
    sh.wait_prompt(20000);
    return ms_since(t0);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Three rounds of the bare pauses with the default and the minimal slack and
// of the xm dump, interleaved; the medians are compared.
void xm()
{
    const long default_slack = own_slack_ns();
    std::vector<double> plain, tight, dump;
    for (int round = 0; round < 3; ++round) {
        plain.push_back(bare_pauses_ms(0));
        tight.push_back(bare_pauses_ms(1));
        dump.push_back(xm_wall_ms());
    }
    const double p = median(plain), t = median(tight), x = median(dump);
    auto over = [](double ms) { return fmt(" (+%.1f %%)", (ms / 1290 - 1) * 100); };
    g_rows.push_back(
        {"1290 bare `usleep(1000)`, default timer slack (" + std::to_string(default_slack) + " ns), median of 3",
         fmt("%.0f ms", p) + over(p), "-"});
    g_rows.push_back(
        {"1290 bare `usleep(1000)`, minimal timer slack (1 ns), median of 3", fmt("%.0f ms", t) + over(t), "-"});
    g_rows.push_back({"`xm 0x60` wall time, median of 3 (floor 1290 ms)", fmt("%.0f ms", x) + over(x), "-"});
    g_rows.push_back({"`xm 0x60` / bare pauses, default slack", fmt("%.3f", x / p), "-"});
    g_rows.push_back({"`xm 0x60` / bare pauses, minimal slack", fmt("%.3f", x / t), "≤ 1.02"});
}

// Widths of the reset-level phases of each pulse, from the VCD.
void pulses()
{
    struct Case {
        const char *model, *cmd, *pin;
        int reset_level;
    };
    const Case cases[] = {{"KD3454", "hubreset", "gpio6_1", 0},
                          {"KD3454", "sd1reset", "gpio6_5", 1},
                          {"KD3454", "adreset", "gpio1_4", 0},
                          {"KD3555", "hubreset", "gpio0_6", 1}};
    for (const Case &c : cases) {
        PtyShell::Options o;
        o.fast = false;
        o.env["QNSIM_MODEL"] = c.model;
        // Start each pin at its idle level so that every edge shows.
        std::string pin = c.pin + 4;
        pin[pin.find('_')] = '_';
        o.env["QNSIM_PINS"] = pin + "=" + std::to_string(!c.reset_level);
        PtyShell sh(o);
        sh.wait_prompt();
        sh.line(c.cmd, 10000);
        sh.line("exit");
        sh.wait_exit();
        std::istringstream vcd(sh.vcd());
        std::string line, id;
        long long t = 0, start = -1, width = -1;
        while (std::getline(vcd, line)) {
            if (line.rfind("$var", 0) == 0 && line.find(std::string(" ") + c.pin + " ") != std::string::npos) {
                std::istringstream w(line);
                std::string a, b, cc;
                w >> a >> b >> cc >> id;
            } else if (!line.empty() && line[0] == '#') {
                t = std::stoll(line.substr(1));
            } else if (!id.empty() && line.size() >= 2 && line.substr(1) == id) {
                const int level = line[0] - '0';
                if (level == c.reset_level)
                    start = t;
                else if (start >= 0 && width < 0)
                    width = t - start;
            }
        }
        g_rows.push_back({std::string(c.model) + " `" + c.cmd + "` reset level on " + c.pin,
                          width < 0 ? "not seen" : std::to_string(width) + " µs", "100000 µs + ≤ 200"});
    }
}

void sizes(const std::string &static_bin, const std::string &armel_bin)
{
    struct stat st;
    if (!static_bin.empty() && stat(static_bin.c_str(), &st) == 0)
        g_rows.push_back({"static musl ARM binary, stripped",
                          std::to_string(st.st_size) + " bytes (" + fmt("%.1f KiB", st.st_size / 1024.0) + ")",
                          "≤ 64 KiB"});
    g_rows.push_back(
        {"host binary .text", run("size -A " QN_SHELL_BIN " | awk '$1==\".text\" {print $2}'") + " bytes", "-"});
    auto needed = [](const std::string &readelf, const std::string &bin) {
        std::string s = run(readelf + " -d " + bin + " 2>/dev/null | awk '/NEEDED/ {print $NF}' | tr '\\n' ' '");
        return s.empty() ? std::string("none") : s;
    };
    g_rows.push_back({"NEEDED, host build", needed("readelf", QN_SHELL_BIN), "libc alone"});
    if (!armel_bin.empty())
        g_rows.push_back({"NEEDED, armel glibc build", needed("arm-linux-gnueabi-readelf", armel_bin), "libc alone"});
    if (!static_bin.empty())
        g_rows.push_back({"NEEDED, static musl build", needed("readelf", static_bin), "none"});
}

} // namespace

int main(int argc, char **argv)
{
    std::string static_bin, armel_bin;
    bool with_strace = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--static" && i + 1 < argc)
            static_bin = argv[++i];
        else if (a == "--armel" && i + 1 < argc)
            armel_bin = argv[++i];
        else if (a == "--strace")
            with_strace = true;
    }
    if (with_strace)
        keys();
    startup();
    xm();
    pulses();
    sizes(static_bin, armel_bin);
    printf("| measure | figure | goal |\n|---|---|---|\n");
    for (const Row &r : g_rows)
        printf("| %s | %s | %s |\n", r.what.c_str(), r.figure.c_str(), r.goal.c_str());
    return 0;
}
