// The board model's hardware, in-process: GPIO data registers, register
// space, decoders, plain I2C devices, identity, panel stream, fault rules,
// full tables.
#include "board.h"

#include "../param_name.h"

using qnmtest::Board;

namespace {

constexpr uint32_t RD = 1, WR = 0; // w0 of QN_REG_ACCESS

// ---- GPIO data registers -------------------------------------------------

// "WHAT_0x1234ABCD_N": a case named by a word and a number.
std::string hex_name(const std::string &what, uint32_t v, size_t index)
{
    char hex[16];
    snprintf(hex, sizeof hex, " %08X", unsigned(v));
    return qntest::param_name(what + hex, index);
}

struct GpioCase {
    const char *what;
    unsigned bank;
    uint8_t before;         // levels of that bank before
    uint32_t op, addr, val; // QN_REG_ACCESS block
    uint32_t want_w0;       // w0 after (read result, or 0 for a write)
    uint8_t after;          // levels of that bank after
};

class GpioData : public testing::TestWithParam<GpioCase> {};

TEST_P(GpioData, MaskedByAddressBits)
{
    const GpioCase &c = GetParam();
    Board b;
    for (unsigned bit = 0; bit < 8; ++bit)
        ASSERT_EQ(qnm_set_pin(b.m(), c.bank, bit, (c.before >> bit) & 1), 0);
    b.take_lines();
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_REG, {c.op, c.addr, c.val}, &out), 0);
    EXPECT_EQ(out[0], c.want_w0);
    EXPECT_EQ(out[1], c.addr);
    EXPECT_EQ(qnm_pins(b.m(), c.bank), c.after);
    for (unsigned other = 0; other < 9; ++other) {
        if (other != c.bank) {
            EXPECT_EQ(qnm_pins(b.m(), other), 0u) << "bank " << other;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Model, GpioData,
    testing::Values(GpioCase{"GPIO2_4 high, others kept", 2, 0x0F, WR, 0x20170040, 0x10, 0, 0x1F},
                    GpioCase{"GPIO2_4 low, others kept", 2, 0xFF, WR, 0x20170040, 0x00, 0, 0xEF},
                    GpioCase{"value bits outside the mask ignored", 2, 0x00, WR, 0x20170040, 0xFF, 0, 0x10},
                    GpioCase{"whole bank write", 2, 0x0F, WR, 0x201703FC, 0xA5, 0, 0xA5},
                    GpioCase{"GPIO0_7 at 0x20150200", 0, 0x00, WR, 0x20150200, 0x80, 0, 0x80},
                    GpioCase{"GPIO8_0 at 0x201D0004", 8, 0x00, WR, 0x201D0004, 0x01, 0, 0x01},
                    GpioCase{"two pins at once (bits 9:2 = 0x41)", 5, 0x00, WR, 0x201A0104, 0xFF, 0, 0x41},
                    GpioCase{"mask 0 changes nothing", 3, 0x3C, WR, 0x20180000, 0xFF, 0, 0x3C},
                    GpioCase{"whole bank read", 2, 0x5A, RD, 0x201703FC, 0, 0x5A, 0x5A},
                    GpioCase{"single pin read high", 2, 0xFF, RD, 0x20170040, 0, 0x10, 0xFF},
                    GpioCase{"single pin read low", 2, 0xEF, RD, 0x20170040, 0, 0x00, 0xEF},
                    GpioCase{"bank 8 read", 8, 0x81, RD, 0x201D03FC, 0, 0x81, 0x81},
                    GpioCase{"mask 0 reads 0", 4, 0xFF, RD, 0x20190000, 0, 0x00, 0xFF}),
    [](const testing::TestParamInfo<GpioCase> &i) { return qntest::param_name(i.param.what, i.index); });

TEST(ModelGpio, PinChangesReportOldAndNewLevels)
{
    Board b;
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_REG, {WR, 0x201B0008, 0x02}), 0); // GPIO6_1 high
    ASSERT_EQ(b.request(QNM_CALL_REG, {WR, 0x201B0008, 0x02}), 0); // no change: no event
    ASSERT_EQ(b.request(QNM_CALL_REG, {WR, 0x201B03FC, 0x00}), 0);
    auto p = b.take_pins();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].bank, 6u);
    EXPECT_EQ(p[0].old_levels, 0x00u);
    EXPECT_EQ(p[0].levels, 0x02u);
    EXPECT_EQ(p[1].old_levels, 0x02u);
    EXPECT_EQ(p[1].levels, 0x00u);
}

TEST(ModelGpio, SetPinRefusesBadPins)
{
    Board b;
    EXPECT_EQ(qnm_set_pin(b.m(), 9, 0, 1), -EINVAL);
    EXPECT_EQ(qnm_set_pin(b.m(), 0, 8, 1), -EINVAL);
    EXPECT_EQ(qnm_set_pin(b.m(), 0, 0, 2), -EINVAL);
    EXPECT_TRUE(b.take_pins().empty());
}

// ---- register space ------------------------------------------------------

struct RegCase {
    uint32_t addr, val, want; // write val at addr, read it back
    uint8_t pins_bank2;       // bank 2 levels after
};

class RegSpace : public testing::TestWithParam<RegCase> {};

TEST_P(RegSpace, PlainStorageAroundTheGpioData)
{
    const RegCase &c = GetParam();
    Board b;
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_REG, {WR, c.addr, c.val}), 0);
    ASSERT_EQ(b.request(QNM_CALL_REG, {RD, c.addr}, &out), 0);
    EXPECT_EQ(out[0], c.want);
    EXPECT_EQ(qnm_pins(b.m(), 2), c.pins_bank2);
}

INSTANTIATE_TEST_SUITE_P(Model, RegSpace,
                         testing::Values(RegCase{0x20170400, 0xA5, 0xA5, 0}, // direction: storage
                                         RegCase{0x2017FFFC, 0x12345678, 0x12345678, 0},
                                         RegCase{0x201E0000, 0xFF, 0xFF, 0}, // past the banks
                                         RegCase{0x2014FFFC, 7, 7, 0},       // before them
                                         RegCase{0x20120004, 0x1234, 0x1234, 0},
                                         RegCase{0x00000000, 0xFFFFFFFF, 0xFFFFFFFF, 0},
                                         RegCase{0x201703FC, 0xFFFFFF0F, 0x0F, 0x0F}), // data: 8 bits
                         [](const testing::TestParamInfo<RegCase> &i) {
                             return hex_name("reg", i.param.addr, i.index);
                         });

TEST(ModelRegs, PowerOnDdrGeometryAndSelector)
{
    Board b;
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_REG, {RD, 0x2011002C}, &out), 0);
    EXPECT_EQ(out[0], 0x22u);
    ASSERT_EQ(b.request(QNM_CALL_REG, {RD, 0x2011001C}, &out), 0);
    EXPECT_EQ(out[0], 0x10u);
    ASSERT_EQ(b.request(QNM_CALL_REG, {RD, 0x20110000}, &out), 0);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(b.request(QNM_CALL_REG, {2, 0x20110000, 5, 6, 7}, &out), -EINVAL);
    EXPECT_EQ(out, (std::vector<uint32_t>{2, 0x20110000, 5, 6, 7}));
    EXPECT_EQ(b.take_lines().back(), "ioctl QN_REG_ACCESS in=0x00000002,0x20110000,0x00000005,0x00000006,0x00000007 "
                                     "out=0x00000002,0x20110000,0x00000005,0x00000006,0x00000007 ret=-1");
}

TEST(ModelRegs, FullTableRefusesNewAddressesOnly)
{
    static_assert(QNM_REG_CAP == 256, "capacity as documented");
    Board b;
    // Two entries hold the DDR controller; 254 more fit.
    for (uint32_t i = 0; i < 254; ++i)
        ASSERT_EQ(qnm_reg_write(b.m(), 0x30000000 + 4 * i, 0x100 + i), 0) << i;
    EXPECT_TRUE(b.take_lines().empty());
    std::vector<uint32_t> out;
    EXPECT_EQ(b.request(QNM_CALL_REG, {WR, 0x40000000, 0xBEEF}, &out), -ENOSPC);
    EXPECT_EQ(b.take_lines(),
              (std::vector<std::string>{"table-full reg 0x40000000=0x0000beef",
                                        "ioctl QN_REG_ACCESS in=0x00000000,0x40000000,0x0000beef,0x00000000,0x00000000 "
                                        "out=0x00000000,0x40000000,0x0000beef,0x00000000,0x00000000 ret=-1"}));
    EXPECT_EQ(qnm_reg_read(b.m(), 0x40000000), 0u);
    // Every entry kept; an existing address still takes writes.
    EXPECT_EQ(qnm_reg_read(b.m(), 0x2011002C), 0x22u);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x2011001C), 0x10u);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x30000000), 0x100u);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x300003F4), 0x1FDu);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x300003F8), 0u); // never written
    EXPECT_EQ(qnm_reg_write(b.m(), 0x30000010, 0xABC), 0);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x30000010), 0xABCu);
    // Writing 0 needs no entry and frees one; GPIO data needs none at all.
    EXPECT_EQ(qnm_reg_write(b.m(), 0x50000000, 0), 0);
    EXPECT_EQ(qnm_reg_write(b.m(), 0x201703FC, 0xFF), 0);
    EXPECT_EQ(qnm_reg_write(b.m(), 0x30000000, 0), 0);
    EXPECT_EQ(qnm_reg_write(b.m(), 0x40000000, 0xBEEF), 0);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x40000000), 0xBEEFu);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x300003F4), 0x1FDu);
    EXPECT_EQ(qnm_reg_write(b.m(), 0x40000004, 1), -ENOSPC);
}

// ---- I2C bus: decoders ---------------------------------------------------

constexpr uint32_t PLAIN = 100, BANKED = 0;

struct BusStep {
    qnm_call call;
    std::vector<uint32_t> in;
    int ret;
    std::vector<uint32_t> out; // the block after
};

class DecoderSelect : public testing::TestWithParam<std::vector<BusStep>> {};

TEST_P(DecoderSelect, Sequence)
{
    Board b;
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    int n = 0;
    for (const BusStep &s : GetParam()) {
        std::vector<uint32_t> out;
        EXPECT_EQ(b.request(s.call, s.in, &out), s.ret) << "step " << n;
        EXPECT_EQ(out, s.out) << "step " << n;
        ++n;
    }
}

#define I2C_RD QNM_CALL_I2C_RD
#define I2C_WR QNM_CALL_I2C_WR
// The sequences below, in their order.
std::string sequence_name(const testing::TestParamInfo<std::vector<BusStep>> &i)
{
    static const char *const names[] = {"PlainAccessThroughTheSelect", "LowFourBitsOfTheSelect",
                                        "BankedByChipOrAddress", "RefusalsLeaveTheBlock"};
    return qntest::param_name(i.index < 4 ? names[i.index] : "sequence", i.index);
}

INSTANTIATE_TEST_SUITE_P(
    Model, DecoderSelect,
    testing::Values(
        // Plain access at 0x60 goes through the select of register 0xFF.
        std::vector<BusStep>{{I2C_RD, {PLAIN, 0x60, 0x10}, 0, {0x10, 0x60, 0x10, 0, 0}},
                             {I2C_WR, {PLAIN, 0x60, 0xFF, 3}, 0, {PLAIN, 0x60, 0xFF, 3, 0}},
                             {I2C_RD, {PLAIN, 0x60, 0xFF}, 0, {3, 0x60, 0xFF, 0, 0}},
                             {I2C_RD, {PLAIN, 0x60, 0x10}, 0, {0x43, 0x60, 0x10, 0, 0}},  // bank 3: 0x10 + 0x33
                             {I2C_RD, {BANKED, 0, 7, 0xFF}, 0, {3, 0, 7, 0xFF, 0}},       // 0xFF in any bank
                             {I2C_RD, {PLAIN, 0x62, 0x10}, 0, {0x10, 0x62, 0x10, 0, 0}}}, // other chip: bank 0
        // Only the low four bits of the select count.
        std::vector<BusStep>{{I2C_WR, {PLAIN, 0x62, 0xFF, 0x12}, 0, {PLAIN, 0x62, 0xFF, 0x12, 0}},
                             {I2C_RD, {PLAIN, 0x62, 0x05}, 0, {0x27, 0x62, 0x05, 0, 0}}, // bank 2: 0x05 + 0x22
                             {I2C_RD, {BANKED, 1, 0, 0xFF}, 0, {0x12, 1, 0, 0xFF, 0}}},
        // Banked access by chip id or bus address; writes land in that bank.
        std::vector<BusStep>{{I2C_RD, {BANKED, 1, 2, 0x20}, 0, {0x42, 1, 2, 0x20, 0}},
                             {I2C_RD, {BANKED, 0x62, 2, 0x20}, 0, {0x42, 0x62, 2, 0x20, 0}},
                             {I2C_RD, {BANKED, 0, 15, 0xFE}, 0, {0xFD, 0, 15, 0xFE, 0}}, // (0xFE + 0xFF) & 0xFF
                             {I2C_WR, {BANKED, 0, 15, 0xFE, 0x1AB}, 0, {BANKED, 0, 15, 0xFE, 0x1AB}},
                             {I2C_RD, {BANKED, 0x60, 15, 0xFE}, 0, {0xAB, 0x60, 15, 0xFE, 0}},
                             {I2C_RD, {BANKED, 1, 15, 0xFE}, 0, {0xFD, 1, 15, 0xFE, 0}},
                             {I2C_WR, {PLAIN, 0x60, 0xFF, 15}, 0, {PLAIN, 0x60, 0xFF, 15, 0}},
                             {I2C_RD, {PLAIN, 0x60, 0xFE}, 0, {0xAB, 0x60, 0xFE, 0, 0}}},
        // Refusals leave the block as it came.
        std::vector<BusStep>{{I2C_RD, {BANKED, 0, 16, 0}, -EINVAL, {BANKED, 0, 16, 0, 0}},
                             {I2C_RD, {BANKED, 0, 0, 0x100}, -EINVAL, {BANKED, 0, 0, 0x100, 0}},
                             {I2C_RD, {BANKED, 2, 0, 0}, -ENXIO, {BANKED, 2, 0, 0, 0}},
                             {I2C_WR, {BANKED, 0x61, 0, 0, 1}, -ENXIO, {BANKED, 0x61, 0, 0, 1}},
                             {I2C_RD, {PLAIN, 0x60, 0x100}, -EINVAL, {PLAIN, 0x60, 0x100, 0, 0}},
                             {I2C_RD, {5, 0x60, 0}, -EINVAL, {5, 0x60, 0, 0, 0}},
                             {I2C_RD, {PLAIN, 0x54, 0}, -ENXIO, {PLAIN, 0x54, 0, 0, 0}}}),
    sequence_name);

// ---- I2C bus: plain devices ----------------------------------------------

TEST(ModelI2cPlain, EachDeviceItsOwnRegisters)
{
    Board b;
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x52), 0);
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x52), 0); // already there
    EXPECT_EQ(qnm_i2c_add_device(b.m(), 0x60), -EINVAL);
    EXPECT_EQ(qnm_i2c_add_device(b.m(), 0x62), -EINVAL);
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(I2C_WR, {PLAIN, 0x50, 0x1FF, 0x1234}), 0);
    ASSERT_EQ(b.request(I2C_WR, {PLAIN, 0x52, 0x1FF, 0xABCDEF01}), 0);
    ASSERT_EQ(b.request(I2C_RD, {PLAIN, 0x50, 0x1FF}, &out), 0);
    EXPECT_EQ(out[0], 0x1234u);
    ASSERT_EQ(b.request(I2C_RD, {PLAIN, 0x52, 0x1FF}, &out), 0);
    EXPECT_EQ(out[0], 0xABCDEF01u);
    ASSERT_EQ(b.request(I2C_RD, {PLAIN, 0x52, 0x1FE}, &out), 0);
    EXPECT_EQ(out[0], 0u);
    uint32_t v = 7;
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x54, 0, &v), -ENXIO);
    EXPECT_EQ(qnm_i2c_set(b.m(), 0x54, 0, 1), -ENXIO);
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x50, 0x1FF, &v), 0);
    EXPECT_EQ(v, 0x1234u);
}

TEST(ModelI2cPlain, FullTables)
{
    static_assert(QNM_I2C_DEV_CAP == 8 && QNM_I2C_REG_CAP == 128, "capacities as documented");
    Board b;
    for (uint32_t a = 0x40; a < 0x48; ++a)
        ASSERT_EQ(qnm_i2c_add_device(b.m(), a), 0);
    EXPECT_EQ(qnm_i2c_add_device(b.m(), 0x50), -ENOSPC);
    for (uint32_t r = 0; r < 128; ++r)
        ASSERT_EQ(qnm_i2c_set(b.m(), 0x41, r, r + 1), 0);
    EXPECT_TRUE(b.take_lines().empty());
    std::vector<uint32_t> out;
    EXPECT_EQ(b.request(I2C_WR, {PLAIN, 0x41, 0x200, 9}, &out), -ENOSPC);
    EXPECT_EQ(b.take_lines(),
              (std::vector<std::string>{"table-full i2c 0x41 0x00000200=0x00000009",
                                        "ioctl I2C_REG_WRITE in=0x00000064,0x00000041,0x00000200,0x00000009,0x00000000 "
                                        "out=0x00000064,0x00000041,0x00000200,0x00000009,0x00000000 ret=-1"}));
    uint32_t v;
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x41, 0, &v), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x41, 127, &v), 0);
    EXPECT_EQ(v, 128u);
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x41, 0x200, &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(qnm_i2c_set(b.m(), 0x42, 0x200, 9), 0); // the neighbour has room
    EXPECT_EQ(qnm_i2c_set(b.m(), 0x41, 5, 0x55), 0);  // existing register
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x41, 5, &v), 0);
    EXPECT_EQ(v, 0x55u);
}

// ---- identity, requests by code ------------------------------------------

TEST(ModelIdentity, MbinfoFillsThreeWords)
{
    Board b(0x20D97005, 7, 3);
    std::vector<uint32_t> out;
    ASSERT_EQ(b.request(QNM_CALL_MBINFO, {9, 9, 9, 9, 9}, &out), 0);
    EXPECT_EQ(out, (std::vector<uint32_t>{0x20D97005, 7, 3, 9, 9}));
    EXPECT_EQ(qnm_model_by_name("kd3555", 6), 0x20D97005u);
    EXPECT_EQ(qnm_model_by_name("KD3151", 6), 0x20D97001u);
    EXPECT_EQ(qnm_model_by_name("KD3151x", 7), 0u);
    EXPECT_EQ(qnm_model_by_name("KD315", 5), 0u);
}

struct CodeCase {
    qnm_node node;
    unsigned long code;
    qnm_call call;
};

class CallOf : public testing::TestWithParam<CodeCase> {};

TEST_P(CallOf, NodeAndCode)
{
    EXPECT_EQ(qnm_call_of(GetParam().node, GetParam().code), GetParam().call);
}

INSTANTIATE_TEST_SUITE_P(
    Model, CallOf,
    testing::Values(
        CodeCase{QNM_NODE_KD, 0xC00456C9, QNM_CALL_REG}, CodeCase{QNM_NODE_KD, 0xC00456D8, QNM_CALL_MBINFO},
        CodeCase{QNM_NODE_KD, 0x400456D1, QNM_CALL_BUZZER}, CodeCase{QNM_NODE_TW, 0xC00448CF, QNM_CALL_I2C_RD},
        CodeCase{QNM_NODE_TW, 0xC00448D0, QNM_CALL_I2C_WR}, CodeCase{QNM_NODE_RTC, 0x4024700A, QNM_CALL_RTC_SET},
        CodeCase{QNM_NODE_TW, 0xC00456C9, QNM_CALL_NONE}, CodeCase{QNM_NODE_KD, 0xC00448CF, QNM_CALL_NONE},
        CodeCase{QNM_NODE_KD, 0x4024700A, QNM_CALL_NONE}, CodeCase{QNM_NODE_PANEL, 0xC00456C9, QNM_CALL_NONE},
        CodeCase{QNM_NODE_KD, 0xC00456CA, QNM_CALL_NONE}, CodeCase{QNM_NODE_KD, 0, QNM_CALL_NONE}),
    [](const testing::TestParamInfo<CodeCase> &i) {
        return hex_name(qnm_node_name(i.param.node), uint32_t(i.param.code), i.index);
    });

TEST(ModelIoctl, UnknownCodesWrongNodesAndBadBlocks)
{
    Board b;
    ASSERT_EQ(qnm_fault_rule(b.m(), "QN_REG_ACCESS@2", 15), 0);
    uint32_t w[5] = {1, 0x2011002C, 0, 0, 0};
    EXPECT_EQ(qnm_ioctl(b.m(), QNM_NODE_TW, 0xC00456C9, w), -ENOTTY);
    EXPECT_EQ(qnm_ioctl(b.m(), QNM_NODE_KD, 0x12345678, w), -ENOTTY);
    EXPECT_EQ(qnm_ioctl(b.m(), QNM_NODE_KD, 0xC00456C9, nullptr), -EFAULT);
    EXPECT_EQ(w[0], 1u);
    // None of those counted: the first real call succeeds, the second fails.
    EXPECT_EQ(qnm_ioctl(b.m(), QNM_NODE_KD, 0xC00456C9, w), 0);
    EXPECT_EQ(w[0], 0x22u);
    w[0] = 1;
    EXPECT_EQ(qnm_ioctl(b.m(), QNM_NODE_KD, 0xC00456C9, w), -EIO);
    EXPECT_EQ(w[0], 1u);
    EXPECT_EQ(b.take_lines(),
              (std::vector<std::string>{"ioctl QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
                                        "out=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 ret=-1",
                                        "ioctl 0x12345678 in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
                                        "out=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 ret=-1",
                                        "ioctl QN_REG_ACCESS in=0x00000000,0x00000000,0x00000000,0x00000000,0x00000000 "
                                        "out=0x00000000,0x00000000,0x00000000,0x00000000,0x00000000 ret=-1",
                                        "ioctl QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
                                        "out=0x00000022,0x2011002c,0x00000000,0x00000000,0x00000000 ret=0",
                                        "ioctl QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
                                        "out=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 ret=-1"}));
}

TEST(ModelBuzzer, StateAndTraceBeforeTheRequestLine)
{
    Board b;
    ASSERT_EQ(b.request(QNM_CALL_BUZZER, {5}), 0);
    ASSERT_EQ(b.request(QNM_CALL_BUZZER, {0}), 0);
    auto l = b.take_lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0], "buzzer 1");
    EXPECT_EQ(l[2], "buzzer 0");
    EXPECT_EQ(l[3].substr(0, 15), "ioctl QN_BUZZER");
}

// ---- fault rules ---------------------------------------------------------

struct FaultCase {
    const char *rule;
    qnm_call call;
    std::vector<int> rets; // of calls 1, 2, ...
};

class FaultRules : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultRules, FromTheNthCall)
{
    const FaultCase &c = GetParam();
    Board b;
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    ASSERT_EQ(qnm_fault_rule(b.m(), c.rule, strlen(c.rule)), 0) << c.rule;
    for (size_t i = 0; i < c.rets.size(); ++i) {
        int r;
        if (c.call == QNM_CALL_RTC_SET) {
            r = qnm_fault_due(b.m(), c.call) ? -EIO : 0;
        } else {
            std::vector<uint32_t> in = {1, 0x20120000};
            if (c.call == QNM_CALL_I2C_RD || c.call == QNM_CALL_I2C_WR)
                in = {PLAIN, 0x50, 1, 2};
            std::vector<uint32_t> out;
            r = b.request(c.call, in, &out);
            if (r) {
                in.resize(5);
                EXPECT_EQ(out, in) << "a failed request leaves the block";
            }
        }
        EXPECT_EQ(r, c.rets[i]) << c.rule << " call " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Model, FaultRules,
    testing::Values(FaultCase{"QN_BUZZER@3", QNM_CALL_BUZZER, {0, 0, -EIO, -EIO, -EIO}},
                    FaultCase{"QN_REG_ACCESS", QNM_CALL_REG, {-EIO, -EIO}},
                    FaultCase{"qn_reg_access@1", QNM_CALL_REG, {-EIO}},
                    FaultCase{"QN_REG_ACCESS@0", QNM_CALL_REG, {-EIO, -EIO}},
                    FaultCase{"QN_GET_MBINFO@2", QNM_CALL_MBINFO, {0, -EIO}},
                    FaultCase{"I2C_REG_WRITE@4", QNM_CALL_I2C_WR, {0, 0, 0, -EIO, -EIO}},
                    FaultCase{"I2C_REG_READ@2", QNM_CALL_I2C_RD, {0, -EIO}},
                    FaultCase{"I2C_REG_READ@2", QNM_CALL_I2C_WR, {0, 0, 0}}, // other call untouched
                    FaultCase{"RTC_SET_TIME@2", QNM_CALL_RTC_SET, {0, -EIO, -EIO}},
                    FaultCase{"rtc_set_time", QNM_CALL_RTC_SET, {-EIO}}),
    [](const testing::TestParamInfo<FaultCase> &i) { return qntest::param_name(i.param.rule, i.index); });

TEST(ModelFaults, BadRulesChangeNothing)
{
    for (const char *rule : {"QN_NOPE", "QN_BUZZER@", "QN_BUZZER@x", "QN_BUZZER@-1", "QN_BUZZER@0x2", "@3", "",
                             "QN_BUZZER 3", "QN_BUZZER@99999999999"}) {
        Board b;
        auto before = qnmtest::bytes_of(b.m());
        EXPECT_EQ(qnm_fault_rule(b.m(), rule, strlen(rule)), -EINVAL) << rule;
        EXPECT_EQ(qnmtest::bytes_of(b.m()), before) << rule;
    }
}

// ---- panel stream --------------------------------------------------------

TEST(ModelPanel, StreamWithGaps)
{
    Board b;
    uint8_t buf[16];
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 1), -EAGAIN);
    const uint8_t a[] = {0xFD, 0x21};
    EXPECT_EQ(qnm_panel_feed(b.m(), a, 2), 2u);
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 1), 1);
    EXPECT_EQ(buf[0], 0xFD);
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 0), 0);
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 1), 1);
    EXPECT_EQ(buf[0], 0x21);
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 1), -EAGAIN); // the gap
    EXPECT_EQ(qnm_panel_read(b.m(), buf, 1), -EAGAIN);
    const uint8_t c[] = {0xFD, 0xFC}, d[] = {0x00, 0x42};
    qnm_panel_feed(b.m(), c, 2);
    qnm_panel_feed(b.m(), d, 2);
    EXPECT_EQ(qnm_panel_pending(b.m()), 4u);
    EXPECT_EQ(qnm_panel_read(b.m(), buf, sizeof buf), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xFD, 0xFC, 0x00, 0x42}));
    EXPECT_EQ(qnm_panel_read(b.m(), buf, sizeof buf), -EAGAIN);
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{"panel-feed fd 21", "panel-feed fd fc", "panel-feed 00 42"}));
}

TEST(ModelPanel, WrapsAroundAndDropsWhatFindsNoRoom)
{
    static_assert(QNM_PANEL_CAP == 4096, "capacity as documented");
    Board b;
    std::vector<uint8_t> in(4000), out(4096);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = uint8_t(i * 7);
    ASSERT_EQ(qnm_panel_feed(b.m(), in.data(), in.size()), 4000u);
    ASSERT_EQ(qnm_panel_read(b.m(), out.data(), 3990), 3990);
    // 10 left; 4086 more fit, across the end of the ring; 14 are dropped.
    std::vector<uint8_t> more(4100);
    for (size_t i = 0; i < more.size(); ++i)
        more[i] = uint8_t(i ^ 0x5A);
    b.take_lines();
    EXPECT_EQ(qnm_panel_feed(b.m(), more.data(), more.size()), 4086u);
    auto l = b.take_lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[1], "panel-drop 14");
    EXPECT_EQ(qnm_panel_read(b.m(), out.data(), 4096), 4096);
    EXPECT_EQ(out[0], uint8_t(3990 * 7));
    EXPECT_EQ(out[9], uint8_t(3999 * 7));
    EXPECT_EQ(out[10], 0x5A);
    EXPECT_EQ(out[4095], uint8_t(4085 ^ 0x5A));
    EXPECT_EQ(qnm_panel_read(b.m(), out.data(), 1), -EAGAIN);
}

// ---- reset ---------------------------------------------------------------

TEST(ModelReset, BackToPowerOn)
{
    Board b(0x20D97002, 4, 5);
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    ASSERT_EQ(qnm_i2c_set(b.m(), 0x50, 1, 2), 0);
    ASSERT_EQ(qnm_set_pin(b.m(), 6, 6, 1), 0);
    ASSERT_EQ(qnm_reg_write(b.m(), 0x2011002C, 0x43), 0);
    ASSERT_EQ(qnm_nvp_set(b.m(), 0, 3, 0x10, 0xEE), 0);
    ASSERT_EQ(qnm_fault_rule(b.m(), "QN_BUZZER", 9), 0);
    const uint8_t p[] = {0xFD};
    qnm_panel_feed(b.m(), p, 1);
    b.take_lines();
    b.take_pins();
    qnm_reset(b.m());
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{"reset"}));
    auto pins = b.take_pins();
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_EQ(pins[0].bank, 6u);
    EXPECT_EQ(pins[0].levels, 0u);
    Board fresh(0x20D97002, 4, 5);
    ASSERT_EQ(qnm_i2c_add_device(fresh.m(), 0x50), 0);
    // Same state as a board just powered on, but for the observer.
    qnm_set_observer(b.m(), nullptr);
    qnm_set_observer(fresh.m(), nullptr);
    EXPECT_TRUE(qnmtest::bytes_of(b.m()) == qnmtest::bytes_of(fresh.m()));
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), 0);
}

} // namespace
