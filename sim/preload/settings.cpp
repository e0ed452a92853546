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

bool parse_num(const std::string &text, uint32_t *out, int base = 0)
{
    return qnm_parse_u32(text.data(), text.size(), base, out) != 0;
}

// Comma-separated items, each its first word; empty items are skipped.
std::vector<std::string> split_list(const char *text)
{
    std::vector<std::string> v;
    std::string cur;
    for (const char *p = text;; ++p) {
        if (!*p || *p == ',') {
            auto w = words(cur);
            if (!w.empty())
                v.push_back(w[0]);
            cur.clear();
            if (!*p)
                break;
        } else
            cur += *p;
    }
    return v;
}

void env_num(const char *var, uint32_t *out)
{
    const char *v = getenv(var);
    if (v && !parse_num(v, out))
        warn(var, v);
}

void env_nodes(const char *var, bool *set)
{
    const char *v = getenv(var);
    if (!v)
        return;
    for (const std::string &item : split_list(v)) {
        int n = qnm_node_by_name(item.data(), item.size());
        if (n >= 0)
            set[n] = true;
        else
            warn(var, item.c_str());
    }
}

bool set_pin(qn_model &m, const std::string &pin, const std::string &level_text)
{
    unsigned bank, bit;
    uint32_t level;
    return qnm_parse_pin(pin.data(), pin.size(), &bank, &bit) && parse_num(level_text, &level) && level <= 1 &&
           qnm_set_pin(&m, bank, bit, int(level)) == 0;
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

// Fault rules, pins and registers of the settings, into the model (again
// after a reset from the control channel).
void apply_board_settings(Sim &s)
{
    for (const std::string &rule : s.board.fail)
        qnm_fault_rule(&s.model, rule.data(), rule.size());
    for (const auto &p : s.board.pins)
        set_pin(s.model, p.first, p.second);
    for (const auto &r : s.board.regs)
        qnm_reg_write(&s.model, r.first, r.second);
}

void load_settings(Sim &s)
{
    uint32_t model = QNM_MODEL_DEFAULT, gp_id = 0, mb_version = 1;
    if (const char *m = getenv("QNSIM_MODEL")) {
        uint32_t code = qnm_model_by_name(m, strlen(m));
        if (code)
            model = code;
        else if (!parse_num(m, &model))
            warn("QNSIM_MODEL", m);
    }
    env_num("QNSIM_GP_ID", &gp_id);
    env_num("QNSIM_MB_VERSION", &mb_version);
    qnm_init(&s.model, model, gp_id, mb_version);
    env_nodes("QNSIM_MISSING", s.missing);
    env_nodes("QNSIM_DENY", s.deny);
    if (const char *v = getenv("QNSIM_FAIL"))
        for (const std::string &item : split_list(v)) {
            if (qnm_fault_rule(&s.model, item.data(), item.size()) == 0)
                s.board.fail.push_back(item);
            else
                warn("QNSIM_FAIL", item.c_str());
        }
    if (const char *v = getenv("QNSIM_PINS"))
        for (const std::string &item : split_list(v)) {
            size_t eq = item.find('=');
            if (eq != std::string::npos && set_pin(s.model, item.substr(0, eq), item.substr(eq + 1)))
                s.board.pins.emplace_back(item.substr(0, eq), item.substr(eq + 1));
            else
                warn("QNSIM_PINS", item.c_str());
        }
    if (const char *v = getenv("QNSIM_REGS"))
        for (const std::string &item : split_list(v)) {
            size_t eq = item.find('=');
            uint32_t a, val;
            if (eq != std::string::npos && parse_num(item.substr(0, eq), &a) && parse_num(item.substr(eq + 1), &val) &&
                qnm_reg_write(&s.model, a, val) == 0)
                s.board.regs.emplace_back(a, val);
            else
                warn("QNSIM_REGS", item.c_str());
        }
    const char *i2c = getenv("QNSIM_I2C");
    for (const std::string &item : split_list(i2c ? i2c : "0x50")) {
        uint32_t a;
        if (!parse_num(item, &a) || qnm_i2c_add_device(&s.model, a) != 0)
            warn("QNSIM_I2C", item.c_str());
    }
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
