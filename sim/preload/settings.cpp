// Settings: the QNSIM_* environment variables, read once at load time.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "preload.h"

namespace qnsim {
namespace {

// The calls this transport serves outside the board, as fault rules name
// them (slot kSlotSettimeofday and on).
const char *const kExtraCalls[] = {"settimeofday"};

// One QNSIM_* variable through the model's parser of settings.
void env_setting(qnm_settings &set, const char *var, qnm_setting what)
{
    const char *v = getenv(var);
    char err[128];
    if (v && qnm_settings_parse(&set, what, v, strlen(v), err, sizeof err) != 0) {
        std::string m = std::string("qnsim: ") + var + ": " + err + " (ignored)\n";
        if (write(2, m.data(), m.size()) < 0) {
        }
    }
}

} // namespace

void warn(const char *what, const char *value)
{
    std::string m = std::string("qnsim: ignoring bad ") + what + " '" + value + "'\n";
    if (write(2, m.data(), m.size()) < 0) {
    }
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> v;
    size_t i = 0;
    while ((i = line.find_first_not_of(" \t\r\n", i)) != std::string::npos) {
        size_t j = line.find_first_of(" \t\r\n", i);
        v.push_back(line.substr(i, j - i));
        i = j;
    }
    return v;
}

void load_settings(Sim &s)
{
    qnm_settings set;
    qnm_settings_init(&set, kExtraCalls, 1);
    env_setting(set, "QNSIM_MODEL", QNM_SET_MODEL);
    env_setting(set, "QNSIM_GP_ID", QNM_SET_GP_ID);
    env_setting(set, "QNSIM_MB_VERSION", QNM_SET_MB_VERSION);
    env_setting(set, "QNSIM_MISSING", QNM_SET_ABSENT);
    env_setting(set, "QNSIM_DENY", QNM_SET_DENIED);
    env_setting(set, "QNSIM_FAIL", QNM_SET_FAIL);
    env_setting(set, "QNSIM_PINS", QNM_SET_PINS);
    env_setting(set, "QNSIM_REGS", QNM_SET_REGS);
    env_setting(set, "QNSIM_I2C", QNM_SET_I2C);
    for (int n = 0; n < QNM_NODE_COUNT; ++n) {
        s.missing[n] = set.absent[n];
        s.deny[n] = set.denied[n];
    }
    if (qnm_power_on(&s.model, &set) != 0)
        warn("QNSIM_REGS", "a register the board refuses");
    const char *fast = getenv("QNSIM_FAST");
    s.fast = fast && strcmp(fast, "1") == 0;
    s.main_tid = getpid();
    timeval tv;
    gettimeofday(&tv, nullptr);
    s.clk.sys_base_us = int64_t(tv.tv_sec) * 1000000 + tv.tv_usec;
    if (const char *t = getenv("QNSIM_TIME")) {
        char *end;
        errno = 0;
        long long sec = strtoll(t, &end, 0);
        if (*t && !*end && !errno)
            s.clk.sys_base_us = sec * 1000000;
        else
            warn("QNSIM_TIME", t);
    }
    s.clk.rtc_base_us = s.clk.sys_base_us;
}

} // namespace qnsim
