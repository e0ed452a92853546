// The board's wiring table, the DDR geometry and the state snapshot.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "board.h"
#include "qn_model.h"

#include "../param_name.h"

namespace {

// GPIO single-pin data address of (bank, bit): the address the shell writes.
uint32_t pin_addr(unsigned bank, unsigned bit)
{
    return 0x20150000u + bank * 0x10000u + (1u << (bit + 2));
}

const qnm_part *find(const qnm_wiring *w, qnm_part_kind kind, const char *name)
{
    for (unsigned i = 0; i < w->nparts; ++i)
        if (w->parts[i].kind == kind && strcmp(w->parts[i].name, name) == 0)
            return &w->parts[i];
    return nullptr;
}

struct Row {
    uint32_t model;
    qnm_part_kind kind;
    const char *name;
    uint32_t addr;  // the pin's data address, as the board's tables give it
    unsigned value; // the pin's high value at that address
    unsigned active;
    int index;
};

// Written out from the board's tables (addresses and levels as the shell
// writes and reads them).
const Row kRows[] = {
    {0x20D97004, QNM_PART_LAMP, "RecLED", 0x20150080, 0x20, 0, 0},
    {0x20D97004, QNM_PART_LAMP, "DoorLED", 0x201D0004, 0x01, 0, 1},
    {0x20D97002, QNM_PART_LAMP, "RUN_LED2", 0x20160020, 0x08, 0, 1},
    {0x20D97003, QNM_PART_LAMP, "WifiLED", 0x20170200, 0x80, 0, 2},
    {0x20D97005, QNM_PART_LAMP, "AlarmLED", 0x20170080, 0x20, 0, 1},
    {0x20D97005, QNM_PART_OUTPUT, "alarm", 0x20150020, 0x08, 1, -1},
    {0x20D97004, QNM_PART_OUTPUT, "campw", 0x201B0020, 0x08, 1, -1},
    {0x20D97003, QNM_PART_OUTPUT, "campw", 0x20160040, 0x10, 1, -1},
    {0x20D97004, QNM_PART_RESET, "hubreset", 0x201B0008, 0x02, 0, -1},
    {0x20D97002, QNM_PART_RESET, "hubreset", 0x20150020, 0x08, 0, -1},
    {0x20D97003, QNM_PART_RESET, "hubreset", 0x20150020, 0x08, 1, -1},
    {0x20D97005, QNM_PART_RESET, "hubreset", 0x20150100, 0x40, 1, -1},
    {0x20D97004, QNM_PART_RESET, "sd1reset", 0x201B0080, 0x20, 1, -1},
    {0x20D97001, QNM_PART_RESET, "sd1reset", 0x20150200, 0x80, 1, -1},
    {0x20D97005, QNM_PART_RESET, "adreset", 0x201D0010, 0x04, 0, -1},
    {0x20D97003, QNM_PART_RESET, "adreset", 0x201D0040, 0x10, 0, -1},
    {0x20D97002, QNM_PART_INPUT, "LOCK", 0x201B0020, 0x08, 1, 0},
    {0x20D97004, QNM_PART_INPUT, "LOCK", 0x20170010, 0x04, 0, 3},
    {0x20D97004, QNM_PART_INPUT, "HwVer1", 0x201B0200, 0x80, 1, 4},
    {0x20D97003, QNM_PART_INPUT, "SIMB", 0x20170010, 0x04, 0, 6},
    {0x20D97005, QNM_PART_INPUT, "TALK_IN", 0x20150200, 0x80, 1, 5},
    {0x20D97005, QNM_PART_INPUT, "PowerSupply", 0x20160020, 0x08, 0, 6},
};

class WiringRow : public testing::TestWithParam<Row> {};

TEST_P(WiringRow, PinAndLevelAsTheBoardTablesSay)
{
    const Row &r = GetParam();
    const qnm_wiring *w = qnm_wiring_of(r.model);
    ASSERT_EQ(w->code, r.model);
    const qnm_part *p = find(w, r.kind, r.name);
    ASSERT_NE(p, nullptr) << r.name;
    EXPECT_EQ(pin_addr(p->bank, p->bit), r.addr) << r.name;
    EXPECT_EQ(1u << p->bit, r.value) << r.name;
    EXPECT_EQ(p->active, r.active) << r.name;
    EXPECT_EQ(p->index, r.index) << r.name;
}

INSTANTIATE_TEST_SUITE_P(Rows, WiringRow, testing::ValuesIn(kRows), [](const testing::TestParamInfo<Row> &i) {
    return qntest::param_name(std::string(qnm_wiring_of(i.param.model)->name) + " " + i.param.name, i.index);
});

TEST(Wiring, EveryRowWellFormed)
{
    ASSERT_EQ(qnm_wiring_count(), 6u);
    const char *names[] = {"KD3151", "KD3252", "KD3353", "KD3454", "KD3555", "unknown"};
    unsigned counts[][4] = {{0, 0, 2, 0}, {2, 0, 3, 2}, {3, 1, 3, 7}, {2, 1, 3, 6}, {2, 2, 3, 7}, {0, 0, 2, 0}};
    for (unsigned i = 0; i < qnm_wiring_count(); ++i) {
        const qnm_wiring *w = qnm_wiring_row(i);
        EXPECT_STREQ(w->name, names[i]);
        ASSERT_LE(w->nparts, unsigned(QNM_PARTS_MAX));
        unsigned n[4] = {};
        std::set<std::string> seen;
        for (unsigned k = 0; k < w->nparts; ++k) {
            const qnm_part &p = w->parts[k];
            ASSERT_NE(p.name, nullptr) << names[i] << " part " << k;
            EXPECT_EQ(strcspn(p.name, " \t\n"), strlen(p.name)) << "one word";
            EXPECT_TRUE(seen.insert(p.name).second) << p.name << " twice on " << names[i];
            EXPECT_LT(p.bank, 9u);
            EXPECT_LT(p.bit, 8u);
            EXPECT_LE(p.active, 1u);
            ++n[p.kind];
        }
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(n[k], counts[i][k]) << names[i] << " kind " << k;
    }
    EXPECT_EQ(qnm_wiring_row(6), nullptr);
}

TEST(Wiring, OtherCodesGetTheUnknownRow)
{
    for (uint32_t code : {0u, 0x20D97006u, 0x1234u})
        EXPECT_STREQ(qnm_wiring_of(code)->name, "unknown");
    EXPECT_STREQ(qnm_wiring_of(0x20D97001)->name, "KD3151");
    EXPECT_STREQ(qnm_part_kind_name(QNM_PART_INPUT), "input");
    EXPECT_EQ(qnm_part_kind_name(qnm_part_kind(9)), nullptr);
}

TEST(Ddr, SizesAsTheShellComputesThem)
{
    struct {
        uint32_t r2c, r1c, mb;
    } rows[] = {{0x22, 0x10, 256},
                {0x32, 0x10, 512},
                {0x32, 0x00, 256},
                {0x12, 0x00, 64},
                {0x43, 0x10, 2048},
                {0x54, 0x10, 0} /* 4 GB */,
                {0x62, 0x10, 0} /* 32 KB */,
                {0x22, 0x20, 0} /* bus code 2 */,
                {0xFFFFFFFF, 0xFFFFFFFF, 0},
                {0x41, 0x00, 256},
                {0x07, 0x10, 0} /* 64 KB */};
    for (auto &r : rows)
        EXPECT_EQ(qnm_ddr_mb(r.r2c, r.r1c), r.mb) << std::hex << r.r2c << " " << r.r1c;
    uint32_t mb, a, b;
    for (unsigned i = 0; qnm_ddr_choice(i, &mb, &a, &b); ++i)
        EXPECT_EQ(qnm_ddr_mb(a, b), mb);
    EXPECT_EQ(qnm_ddr_choice(QNM_DDR_CHOICES, &mb, &a, &b), 0);
}

TEST(State, SnapshotLines)
{
    qnmtest::Board b(0x20D97004, 7, 2);
    qnm_set_pin(b.m(), 6, 6, 1);
    qnm_set_pin(b.m(), 8, 0, 1);
    qnm_reg_write(b.m(), 0x2011002C, 0x32);
    char buf[QNM_STATE_MAX];
    size_t n = qnm_format_state(buf, sizeof buf, 1234, b.m());
    std::string s(buf, n);
    EXPECT_EQ(s, "time 1234\n"
                 "identity KD3454 0x20D97004 gp_id=7 mb_version=2\n"
                 "part lamp RecLED 0_5 0 bit=0\n"
                 "part lamp DoorLED 8_0 0 bit=1\n"
                 "part output campw 6_3 1\n"
                 "part reset hubreset 6_1 0\n"
                 "part reset sd1reset 6_5 1\n"
                 "part reset adreset 1_4 0\n"
                 "part input SD1_CARDIN 5_6 0 row=0\n"
                 "part input SD2_CARDIN 8_2 0 row=1\n"
                 "part input PowerSupply 0_6 0 row=2\n"
                 "part input LOCK 2_2 0 row=3\n"
                 "part input HwVer0 6_6 1 row=4\n"
                 "part input HwVer1 6_7 1 row=4\n"
                 "sounder buzzer 0\n"
                 "pins 00 00 00 00 00 00 40 00 01\n"
                 "ddr 0x32 0x10 512\n"
                 "ddrchoice 64 0x12 0x00\n"
                 "ddrchoice 128 0x12 0x10\n"
                 "ddrchoice 256 0x22 0x10\n"
                 "ddrchoice 512 0x32 0x10\n"
                 "ddrchoice 1024 0x42 0x10\n"
                 "ddrchoice 2048 0x43 0x10\n"
                 "key plain fd KK\n"
                 "key escaped fd fc KK\n"
                 "faults QN_REG_ACCESS QN_GET_MBINFO QN_BUZZER I2C_REG_READ I2C_REG_WRITE RTC_SET_TIME\n");
    // the transport's names as its settings give them
    qnm_settings set;
    const char *const extra[] = {"settimeofday"};
    qnm_settings_init(&set, extra, 1);
    set.foreign[QNM_NODE_RTC] = 1;
    qnm_power_on(b.m(), &set);
    s.assign(buf, qnm_format_state(buf, sizeof buf, 1234, b.m()));
    EXPECT_NE(s.find("\nfaults QN_REG_ACCESS QN_GET_MBINFO QN_BUZZER I2C_REG_READ I2C_REG_WRITE settimeofday\n"),
              std::string::npos)
        << s;
    // too small: nothing, never a cut snapshot
    EXPECT_EQ(qnm_format_state(buf, 100, 0, b.m()), 0u);
    EXPECT_EQ(buf[0], '\0');
}

TEST(State, UnknownCodeAndSounder)
{
    qnmtest::Board b(0x12345678);
    uint32_t w[5] = {1, 0, 0, 0, 0};
    ASSERT_EQ(qnm_ioctl(b.m(), QNM_NODE_KD, QNM_CODE_BUZZER, w), 0);
    char buf[QNM_STATE_MAX];
    std::string s(buf, qnm_format_state(buf, sizeof buf, -5, b.m()));
    EXPECT_NE(s.find("time -5\nidentity unknown 0x12345678 gp_id=0 mb_version=1\n"
                     "part reset sd1reset 0_7 1\npart reset adreset 8_4 0\nsounder buzzer 1\n"),
              std::string::npos)
        << s;
}

TEST(State, PinsLineOfTheLinkOnly)
{
    qnmtest::Board b;
    qnm_event ev{};
    ev.kind = QNM_EV_PINS;
    ev.u.pins.bank = 6;
    ev.u.pins.old_levels = 0;
    ev.u.pins.levels = 0xa2;
    char buf[64];
    EXPECT_EQ(std::string(buf, qnm_format_pins(buf, sizeof buf, 99, &ev)), "99 pins 6 a2\n");
    EXPECT_EQ(qnm_format_trace(buf, sizeof buf, 99, &ev), 0u); // the trace keeps no such line
    EXPECT_EQ(qnm_format_pins(buf, 8, 99, &ev), 0u);
    ev.kind = QNM_EV_SYNC;
    EXPECT_EQ(qnm_format_pins(buf, sizeof buf, 99, &ev), 0u);
}

} // namespace
