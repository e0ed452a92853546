// The transports' settings: one parser for the simulator's QNSIM_* variables
// and the kernel module's parameters, applied at power-on and again by every
// reset.
#include "board.h"

#include <algorithm>
#include <functional>

#include "../param_name.h"

namespace {

using qnmtest::Board;

const char *const kExtra[] = {"settimeofday"};

struct Parsed {
    qnm_settings s;
    int ret;
    std::string err;
};

Parsed parse(qnm_setting what, const std::string &text)
{
    Parsed p;
    qnm_settings_init(&p.s, kExtra, 1);
    char err[96];
    p.ret = qnm_settings_parse(&p.s, what, text.data(), text.size(), err, sizeof err);
    p.err = err;
    return p;
}

// ---- good settings -------------------------------------------------------

TEST(Settings, Defaults)
{
    qnm_settings s;
    qnm_settings_init(&s, nullptr, 0);
    EXPECT_EQ(s.model, 0x20D97004u);
    EXPECT_EQ(s.gp_id, 0u);
    EXPECT_EQ(s.mb_version, 1u);
    ASSERT_EQ(s.ni2c, 1u);
    EXPECT_EQ(s.i2c[0], 0x50u);
    EXPECT_EQ(s.nfail + s.npins + s.nregs, 0u);
    for (int n = 0; n < QNM_NODE_COUNT; ++n)
        EXPECT_FALSE(s.absent[n] || s.denied[n]);
}

struct Good {
    qnm_setting what;
    const char *text;
    std::function<void(const qnm_settings &)> check;
};

class GoodSettings : public testing::TestWithParam<Good> {};

TEST_P(GoodSettings, Parse)
{
    Parsed p = parse(GetParam().what, GetParam().text);
    EXPECT_EQ(p.ret, 0) << GetParam().text;
    EXPECT_EQ(p.err, "");
    GetParam().check(p.s);
}

INSTANTIATE_TEST_SUITE_P(
    Model, GoodSettings,
    testing::Values(Good{QNM_SET_MODEL, "KD3555", [](const qnm_settings &s) { EXPECT_EQ(s.model, 0x20D97005u); }},
                    Good{QNM_SET_MODEL, "kd3151", [](const qnm_settings &s) { EXPECT_EQ(s.model, 0x20D97001u); }},
                    Good{QNM_SET_MODEL, " 0x1234 ", [](const qnm_settings &s) { EXPECT_EQ(s.model, 0x1234u); }},
                    Good{QNM_SET_MODEL, "0", [](const qnm_settings &s) { EXPECT_EQ(s.model, 0u); }},
                    Good{QNM_SET_GP_ID, "017", [](const qnm_settings &s) { EXPECT_EQ(s.gp_id, 15u); }},
                    Good{QNM_SET_MB_VERSION, "4294967295",
                         [](const qnm_settings &s) { EXPECT_EQ(s.mb_version, 0xFFFFFFFFu); }},
                    Good{QNM_SET_ABSENT, "panel, TW_286X",
                         [](const qnm_settings &s) {
                             EXPECT_TRUE(s.absent[QNM_NODE_PANEL] && s.absent[QNM_NODE_TW]);
                             EXPECT_FALSE(s.absent[QNM_NODE_KD] || s.absent[QNM_NODE_RTC] || s.denied[QNM_NODE_PANEL]);
                         }},
                    Good{QNM_SET_DENIED, "rtc,,", [](const qnm_settings &s) { EXPECT_TRUE(s.denied[QNM_NODE_RTC]); }},
                    Good{QNM_SET_I2C, "0x51,0x52,0x51",
                         [](const qnm_settings &s) {
                             ASSERT_EQ(s.ni2c, 2u) << "the list replaces the default, once each";
                             EXPECT_EQ(s.i2c[0], 0x51u);
                             EXPECT_EQ(s.i2c[1], 0x52u);
                         }},
                    Good{QNM_SET_I2C, "", [](const qnm_settings &s) { EXPECT_EQ(s.ni2c, 0u); }},
                    Good{QNM_SET_FAIL, "QN_BUZZER@3, i2c_reg_read,settimeofday@0",
                         [](const qnm_settings &s) {
                             ASSERT_EQ(s.nfail, 3u);
                             EXPECT_EQ(s.fail[0].slot, unsigned(QNM_CALL_BUZZER));
                             EXPECT_EQ(s.fail[0].from, 3u);
                             EXPECT_EQ(s.fail[1].slot, unsigned(QNM_CALL_I2C_RD));
                             EXPECT_EQ(s.fail[1].from, 1u);
                             EXPECT_EQ(s.fail[2].slot, unsigned(QNM_CALL_COUNT));
                             EXPECT_EQ(s.fail[2].from, 1u);
                         }},
                    Good{QNM_SET_PINS, "6_6=1,8_7=0",
                         [](const qnm_settings &s) {
                             ASSERT_EQ(s.npins, 2u);
                             EXPECT_EQ(s.pins[0].bank * 100 + s.pins[0].bit * 10 + s.pins[0].level, 661);
                             EXPECT_EQ(s.pins[1].bank * 100 + s.pins[1].bit * 10 + s.pins[1].level, 870);
                         }},
                    Good{QNM_SET_REGS, "0x2011002C=0x32, 0x20120000=7",
                         [](const qnm_settings &s) {
                             ASSERT_EQ(s.nregs, 2u);
                             EXPECT_EQ(s.regs[0].addr, 0x2011002Cu);
                             EXPECT_EQ(s.regs[0].val, 0x32u);
                             EXPECT_EQ(s.regs[1].val, 7u);
                         }}),
    [](const testing::TestParamInfo<Good> &i) { return qntest::param_name(i.param.text, i.index); });

// ---- bad settings: one error text, the first bad entry named -------------

struct Bad {
    qnm_setting what;
    const char *text;
    const char *err;
};

class BadSettings : public testing::TestWithParam<Bad> {};

TEST_P(BadSettings, RefusedWithTheEntry)
{
    Parsed p = parse(GetParam().what, GetParam().text);
    EXPECT_EQ(p.ret, -EINVAL) << GetParam().text;
    EXPECT_EQ(p.err, GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(Model, BadSettings,
                         testing::Values(Bad{QNM_SET_MODEL, "KD9999", "bad model 'KD9999'"},
                                         Bad{QNM_SET_MODEL, "", "bad model ''"},
                                         Bad{QNM_SET_MODEL, "-1", "bad model '-1'"},
                                         Bad{QNM_SET_GP_ID, "0x100000000", "bad number '0x100000000'"},
                                         Bad{QNM_SET_MB_VERSION, "one", "bad number 'one'"},
                                         Bad{QNM_SET_ABSENT, "panel,disk", "bad node 'disk'"},
                                         Bad{QNM_SET_DENIED, "/dev/panel", "bad node '/dev/panel'"},
                                         Bad{QNM_SET_I2C, "0x50,0x60", "bad I2C address '0x60'"},
                                         Bad{QNM_SET_I2C, "0x80", "bad I2C address '0x80'"},
                                         Bad{QNM_SET_I2C, "1,2,3,4,5,6,7,8,9", "bad I2C address '9'"},
                                         Bad{QNM_SET_FAIL, "QN_NOPE", "bad fault rule 'QN_NOPE'"},
                                         Bad{QNM_SET_FAIL, "QN_BUZZER@x, also_bad", "bad fault rule 'QN_BUZZER@x'"},
                                         Bad{QNM_SET_PINS, "9_0=1", "bad pin B_b=L '9_0=1'"},
                                         Bad{QNM_SET_PINS, "6_6=2", "bad pin B_b=L '6_6=2'"},
                                         Bad{QNM_SET_PINS, "6_6", "bad pin B_b=L '6_6'"},
                                         Bad{QNM_SET_REGS, "0x20120000", "bad register A=V '0x20120000'"},
                                         Bad{QNM_SET_REGS, "1=x", "bad register A=V '1=x'"}),
                         [](const testing::TestParamInfo<Bad> &i) { return qntest::param_name(i.param.err, i.index); });

TEST(Settings, GoodEntriesBesideABadOneAreKept)
{
    Parsed p = parse(QNM_SET_FAIL, "QN_BUZZER,nope,QN_GET_MBINFO@2");
    EXPECT_EQ(p.ret, -EINVAL);
    EXPECT_EQ(p.err, "bad fault rule 'nope'");
    ASSERT_EQ(p.s.nfail, 2u);
    EXPECT_EQ(p.s.fail[1].slot, unsigned(QNM_CALL_MBINFO));
}

TEST(Settings, ExtraNamesAreTheTransports)
{
    qnm_settings s;
    qnm_settings_init(&s, nullptr, 0);
    EXPECT_EQ(qnm_settings_parse(&s, QNM_SET_FAIL, "settimeofday", 12, nullptr, 0), -EINVAL)
        << "without the transport's names, its calls are unknown";
}

// The names a transport accepts: the board's calls but those of nodes
// another driver serves, then the transport's own names, in that order; a
// rule of any other name is refused by the settings and the control line.
struct NamesCase {
    const char *name;
    bool extra, rtc_foreign;
    std::vector<std::string> names;
};

class FaultNames : public testing::TestWithParam<NamesCase> {};

TEST_P(FaultNames, AcceptedAndListed)
{
    const NamesCase &c = GetParam();
    qnm_settings s;
    qnm_settings_init(&s, c.extra ? kExtra : nullptr, c.extra ? 1 : 0);
    s.foreign[QNM_NODE_RTC] = c.rtc_foreign;
    std::vector<std::string> got;
    for (unsigned i = 0; const char *n = qnm_fault_name(&s, i); ++i)
        got.push_back(n);
    EXPECT_EQ(got, c.names);
    const std::vector<std::string> all = {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER",   "I2C_REG_READ",
                                          "I2C_REG_WRITE", "RTC_SET_TIME",  "settimeofday"};
    Board b;
    qnm_power_on(b.m(), &s);
    for (const std::string &n : all) {
        bool listed = std::find(got.begin(), got.end(), n) != got.end();
        qnm_fault f;
        EXPECT_EQ(qnm_parse_fault(n.data(), n.size(), &s, &f) == 0, listed) << n;
        qnm_settings t = s;
        EXPECT_EQ(qnm_settings_parse(&t, QNM_SET_FAIL, n.data(), n.size(), nullptr, 0) == 0, listed) << n;
        std::string line = "fail " + n + "@2";
        EXPECT_EQ(qnm_control(b.m(), line.data(), line.size(), nullptr, 0) == 0, listed) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Model, FaultNames,
                         testing::Values(NamesCase{"BoardCallsAlone",
                                                   false,
                                                   false,
                                                   {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER", "I2C_REG_READ",
                                                    "I2C_REG_WRITE", "RTC_SET_TIME"}},
                                         NamesCase{"SimulatorWithItsClock",
                                                   true,
                                                   false,
                                                   {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER", "I2C_REG_READ",
                                                    "I2C_REG_WRITE", "RTC_SET_TIME", "settimeofday"}},
                                         NamesCase{"KernelWithoutTheRtc",
                                                   false,
                                                   true,
                                                   {"QN_REG_ACCESS", "QN_GET_MBINFO", "QN_BUZZER", "I2C_REG_READ",
                                                    "I2C_REG_WRITE"}}),
                         [](const testing::TestParamInfo<NamesCase> &i) { return std::string(i.param.name); });

TEST(Settings, ListsAddUpAndTheirCapsHold)
{
    qnm_settings s;
    qnm_settings_init(&s, nullptr, 0);
    ASSERT_EQ(qnm_settings_parse(&s, QNM_SET_I2C, "0x51", 4, nullptr, 0), 0);
    ASSERT_EQ(qnm_settings_parse(&s, QNM_SET_I2C, "0x52", 4, nullptr, 0), 0);
    EXPECT_EQ(s.ni2c, 2u) << "only the first list replaces the default";
    std::string rules;
    for (int i = 0; i < QNM_FAIL_RULE_CAP; ++i)
        rules += "QN_BUZZER,";
    ASSERT_EQ(qnm_settings_parse(&s, QNM_SET_FAIL, rules.data(), rules.size(), nullptr, 0), 0);
    EXPECT_EQ(qnm_settings_parse(&s, QNM_SET_FAIL, "QN_BUZZER", 9, nullptr, 0), -EINVAL);
    EXPECT_EQ(s.nfail, unsigned(QNM_FAIL_RULE_CAP));
}

// ---- power-on and reset ----------------------------------------------------

qnm_settings full_settings()
{
    qnm_settings s;
    qnm_settings_init(&s, kExtra, 1);
    for (auto [what, text] :
         std::vector<std::pair<qnm_setting, std::string>>{{QNM_SET_MODEL, "KD3555"},
                                                          {QNM_SET_GP_ID, "7"},
                                                          {QNM_SET_MB_VERSION, "3"},
                                                          {QNM_SET_I2C, "0x51"},
                                                          {QNM_SET_FAIL, "QN_BUZZER@2,settimeofday@2"},
                                                          {QNM_SET_PINS, "6_6=1,0_1=1"},
                                                          {QNM_SET_REGS, "0x20120000=0x77,0x2011002C=0x32"}}) {
        EXPECT_EQ(qnm_settings_parse(&s, what, text.data(), text.size(), nullptr, 0), 0) << text;
    }
    return s;
}

// What the settings above make of a board, checked through its requests.
void expect_settings_applied(Board &b, const char *when)
{
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_MBINFO, {}, &out), 0) << when;
    EXPECT_EQ(out[0], 0x20D97005u) << when;
    EXPECT_EQ(out[1], 7u) << when;
    EXPECT_EQ(out[2], 3u) << when;
    EXPECT_EQ(qnm_pins(b.m(), 6), 0x40) << when;
    EXPECT_EQ(qnm_pins(b.m(), 0), 0x02) << when;
    EXPECT_EQ(qnm_reg_read(b.m(), 0x20120000), 0x77u) << when;
    EXPECT_EQ(qnm_reg_read(b.m(), 0x2011002C), 0x32u) << when;
    uint32_t v = 1;
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x51, 3, &v), 0) << when;
    EXPECT_EQ(v, 0u) << when << ": the device is there, emptied";
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x50, 3, &v), -ENXIO) << when << ": the default device was replaced";
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), 0) << when;
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), -EIO) << when;
    EXPECT_EQ(qnm_fault_due(b.m(), QNM_CALL_COUNT), 0) << when;
    EXPECT_EQ(qnm_fault_due(b.m(), QNM_CALL_COUNT), 1) << when;
}

TEST(SettingsPowerOn, AppliesEverySetting)
{
    Board b;
    qnm_settings s = full_settings();
    ASSERT_EQ(qnm_power_on(b.m(), &s), 0);
    expect_settings_applied(b, "power-on");
}

TEST(SettingsReset, ReappliesIdentityDevicesRulesPinsAndRegisters)
{
    Board b;
    qnm_settings s = full_settings();
    ASSERT_EQ(qnm_power_on(b.m(), &s), 0);
    // Disturb everything the settings set, then reset.
    expect_settings_applied(b, "before");
    ASSERT_EQ(qnm_set_pin(b.m(), 6, 6, 0), 0);
    ASSERT_EQ(qnm_set_pin(b.m(), 2, 2, 1), 0);
    ASSERT_EQ(qnm_reg_write(b.m(), 0x20120000, 1), 0);
    ASSERT_EQ(qnm_i2c_set(b.m(), 0x51, 3, 9), 0);
    ASSERT_EQ(qnm_fault_rule(b.m(), "QN_GET_MBINFO", 13), 0);
    qnm_reset(b.m());
    EXPECT_EQ(b.request(QNM_CALL_MBINFO, {}), 0) << "a rule added since is gone";
    EXPECT_EQ(qnm_pins(b.m(), 2), 0) << "a pin no setting names is low again";
    expect_settings_applied(b, "after reset");
    qnm_reset(b.m());
    expect_settings_applied(b, "after a second reset");
}

TEST(SettingsReset, IdentitySetLaterIsKept)
{
    Board b(0x20D97001, 5, 6);
    qnm_set_identity(b.m(), 0x20D97002, 8, 9);
    qnm_reset(b.m());
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_MBINFO, {}, &out), 0);
    EXPECT_EQ(out[0], 0x20D97002u);
    EXPECT_EQ(out[1], 8u);
    EXPECT_EQ(out[2], 9u);
}

TEST(SettingsReset, EmitsResetThenThePinsOfTheSettings)
{
    Board b;
    qnm_settings s = full_settings();
    qnm_observer o = b.m()->obs;
    ASSERT_EQ(qnm_power_on(b.m(), &s), 0);
    EXPECT_TRUE(b.take_lines().empty() && b.take_pins().empty()) << "power-on emits nothing";
    qnm_set_observer(b.m(), &o); // power-on starts without one
    ASSERT_EQ(qnm_set_pin(b.m(), 6, 6, 0), 0);
    b.take_pins();
    qnm_reset(b.m());
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{"reset"}));
    auto p = b.take_pins();
    // bank 0 falls at power-on, then the settings raise 6_6 and 0_1 in order
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].bank, 0u);
    EXPECT_EQ(p[0].levels, 0u);
    EXPECT_EQ(p[1].bank, 6u);
    EXPECT_EQ(p[1].levels, 0x40u);
    EXPECT_EQ(p[2].bank, 0u);
    EXPECT_EQ(p[2].levels, 0x02u);
}

} // namespace
