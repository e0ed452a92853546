// The control language: good lines and what they change, bad lines and that
// they change nothing, the number syntax.
#include "board.h"

#include "../param_name.h"

using qnmtest::Board;

namespace {

struct BadLine {
    const char *line;
    const char *traced; // the ctl-error line's text
};

class BadControlLine : public testing::TestWithParam<BadLine> {};

TEST_P(BadControlLine, OneErrorNothingChanged)
{
    Board b;
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    const uint8_t p[] = {0x11};
    qnm_panel_feed(b.m(), p, 1);
    b.take_lines();
    auto before = qnmtest::bytes_of(b.m());
    EXPECT_EQ(b.ctl(GetParam().line), -EINVAL);
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{std::string("ctl-error ") + GetParam().traced}));
    EXPECT_TRUE(b.take_pins().empty());
    EXPECT_TRUE(qnmtest::bytes_of(b.m()) == before) << "the model changed";
    EXPECT_NE(b.err[0], '\0') << "no reason given";
}

INSTANTIATE_TEST_SUITE_P(
    Model, BadControlLine,
    testing::Values(BadLine{"bogus line here", "bogus line here"},
                    BadLine{"PIN 1_1 1", "PIN 1_1 1"}, // commands are lower case
                    BadLine{"pin 9_1 1", "pin 9_1 1"}, BadLine{"pin 1_8 1", "pin 1_8 1"},
                    BadLine{"pin 1_1 2", "pin 1_1 2"}, BadLine{"pin 1_1", "pin 1_1"}, BadLine{"pin 1-1 1", "pin 1-1 1"},
                    BadLine{"pin 1_1 1 x", "pin 1_1 1 x"}, BadLine{"pin _1 1", "pin _1 1"},
                    BadLine{"pin 0x1_1 1", "pin 0x1_1 1"}, BadLine{"panel", "panel"}, BadLine{"panel zz", "panel zz"},
                    BadLine{"panel fd 21 100", "panel fd 21 100"}, BadLine{"panel fd -1", "panel fd -1"},
                    BadLine{"reg 0x10", "reg 0x10"}, BadLine{"reg 0x10 1 2", "reg 0x10 1 2"},
                    BadLine{"reg -1 2", "reg -1 2"}, BadLine{"reg 0x100000000 1", "reg 0x100000000 1"},
                    BadLine{"reg 09 1", "reg 09 1"}, // octal
                    BadLine{"i2c 0x77 1 2", "i2c 0x77 1 2"}, BadLine{"i2c 0x60 1 2", "i2c 0x60 1 2"},
                    BadLine{"i2c 0x50 1", "i2c 0x50 1"}, BadLine{"nvp 2 0 0 0", "nvp 2 0 0 0"},
                    BadLine{"nvp 0 16 0 0", "nvp 0 16 0 0"}, BadLine{"nvp 0 0 0x100 0", "nvp 0 0 0x100 0"},
                    BadLine{"nvp 0x61 0 0 0", "nvp 0x61 0 0 0"}, BadLine{"fail QN_NOPE", "fail QN_NOPE"},
                    BadLine{"fail", "fail"}, BadLine{"fail QN_BUZZER@x", "fail QN_BUZZER@x"},
                    BadLine{"fail QN_BUZZER 2", "fail QN_BUZZER 2"}, BadLine{"reset now", "reset now"},
                    BadLine{"clock x", "clock x"}, BadLine{"sync 1", "sync 1"}, BadLine{"pin 1_1 5 \r", "pin 1_1 5 "},
                    BadLine{"bad\r\n", "bad"}, BadLine{"\tpin  6_6\t1 9", "\tpin  6_6\t1 9"}),
    [](const testing::TestParamInfo<BadLine> &i) { return qntest::param_name(i.param.line, i.index); });

TEST(ModelControl, PanelLineAtItsLimit)
{
    Board b;
    std::string ok = "panel", too_long = "panel";
    for (int i = 0; i < 512; ++i)
        ok += " 7f";
    too_long = ok + " 7f";
    EXPECT_EQ(b.ctl(ok), 0);
    EXPECT_EQ(qnm_panel_pending(b.m()), 512u);
    b.take_lines();
    EXPECT_EQ(b.ctl(too_long), -EINVAL);
    EXPECT_EQ(qnm_panel_pending(b.m()), 512u);
    auto l = b.take_lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(0, 19), "ctl-error panel 7f ");
}

TEST(ModelControl, GoodLines)
{
    Board b;
    ASSERT_EQ(qnm_i2c_add_device(b.m(), 0x50), 0);
    EXPECT_EQ(b.ctl("pin 6_6 1"), 0);
    EXPECT_EQ(qnm_pins(b.m(), 6), 0x40);
    EXPECT_EQ(b.ctl("\tpin  6_7\t01\r"), 0); // octal 1, blanks anywhere
    EXPECT_EQ(qnm_pins(b.m(), 6), 0xC0);
    EXPECT_EQ(b.ctl("pin 6_6 0\n"), 0);
    EXPECT_EQ(qnm_pins(b.m(), 6), 0x80);
    EXPECT_EQ(b.ctl("reg 0x20120000 0x55"), 0);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x20120000), 0x55u);
    EXPECT_EQ(b.ctl("reg 0x201703FC 255"), 0);
    EXPECT_EQ(qnm_pins(b.m(), 2), 0xFF);
    EXPECT_EQ(b.ctl("i2c 0x50 0x30 0x12345"), 0);
    uint32_t v = 0;
    EXPECT_EQ(qnm_i2c_get(b.m(), 0x50, 0x30, &v), 0);
    EXPECT_EQ(v, 0x12345u);
    EXPECT_EQ(b.ctl("nvp 0x62 3 0x40 0x199"), 0);
    EXPECT_EQ(qnm_nvp_get(b.m(), 1, 3, 0x40, &v), 0);
    EXPECT_EQ(v, 0x99u);
    EXPECT_EQ(b.ctl("nvp 0 9 0xff 4"), 0);
    EXPECT_EQ(qnm_nvp_get(b.m(), 0, 0, 0xFF, &v), 0);
    EXPECT_EQ(v, 4u);
    EXPECT_EQ(b.ctl("panel fd 0x21 FC"), 0);
    uint8_t buf[8];
    EXPECT_EQ(qnm_panel_read(b.m(), buf, sizeof buf), 3);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0xFD, 0x21, 0xFC}));
    EXPECT_EQ(b.ctl("clock"), QNM_CTL_CLOCK);
    EXPECT_EQ(b.ctl("sync"), 0);
    EXPECT_EQ(b.ctl(""), 0);
    EXPECT_EQ(b.ctl(" \t\r"), 0);
    EXPECT_EQ(b.ctl("fail QN_BUZZER@2"), 0);
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), 0);
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), -EIO);
    EXPECT_EQ(b.take_lines().front(), "panel-feed fd 21 fc");
    EXPECT_EQ(b.ctl("reset"), QNM_CTL_RESET);
    EXPECT_EQ(qnm_pins(b.m(), 6), 0);
    EXPECT_EQ(qnm_reg_read(b.m(), 0x20120000), 0u);
    EXPECT_EQ(b.request(QNM_CALL_BUZZER, {1}), 0); // rules cleared
    EXPECT_EQ(b.take_lines().front(), "reset");
}

TEST(ModelControl, TraceOfAGoodSession)
{
    Board b;
    b.now = 42;
    b.ctl("sync");
    b.now = 43;
    b.ctl("panel 1 2 ff");
    b.ctl("nonsense");
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{"sync", "panel-feed 01 02 ff", "ctl-error nonsense"}));
}

TEST(ModelControl, FullTableIsRefusedNotABadLine)
{
    Board b;
    for (uint32_t i = 0; i < 254; ++i)
        ASSERT_EQ(qnm_reg_write(b.m(), 0x30000000 + 4 * i, 1), 0);
    EXPECT_EQ(b.ctl("reg 0x40000000 7"), -ENOSPC);
    EXPECT_EQ(b.take_lines(), (std::vector<std::string>{"table-full reg 0x40000000=0x00000007"}));
    EXPECT_STREQ(b.err, "table full");
}

struct NumCase {
    const char *text;
    int base;
    bool ok;
    uint32_t value;
};

class ParseU32 : public testing::TestWithParam<NumCase> {};

TEST_P(ParseU32, LikeStrtoulOfAWholeWord)
{
    const NumCase &c = GetParam();
    uint32_t v = 0xDEAD;
    EXPECT_EQ(qnm_parse_u32(c.text, strlen(c.text), c.base, &v), c.ok ? 1 : 0) << c.text;
    EXPECT_EQ(v, c.ok ? c.value : 0xDEADu) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Model, ParseU32,
    testing::Values(NumCase{"0x1F", 0, true, 31}, NumCase{"0X1f", 0, true, 31}, NumCase{"017", 0, true, 15},
                    NumCase{"0", 0, true, 0}, NumCase{"08", 0, false, 0}, NumCase{"42", 0, true, 42},
                    NumCase{"4294967295", 0, true, 0xFFFFFFFF}, NumCase{"0xFFFFFFFF", 0, true, 0xFFFFFFFF},
                    NumCase{"4294967296", 0, false, 0}, NumCase{"0x100000000", 0, false, 0}, NumCase{"0x", 0, false, 0},
                    NumCase{"0xg", 0, false, 0}, NumCase{"-1", 0, false, 0}, NumCase{"+1", 0, false, 0},
                    NumCase{"", 0, false, 0}, NumCase{"12a", 10, false, 0}, NumCase{"010", 10, true, 10},
                    NumCase{"fd", 16, true, 0xFD}, NumCase{"0xfd", 16, true, 0xFD}, NumCase{"0x", 16, false, 0},
                    NumCase{"FC", 16, true, 0xFC}, NumCase{"1 2", 0, false, 0}),
    [](const testing::TestParamInfo<NumCase> &i) {
        return qntest::param_name(std::string(i.param.text) + " base " + std::to_string(i.param.base), i.index);
    });

TEST(ModelControl, PinNames)
{
    unsigned bank = 99, bit = 99;
    EXPECT_EQ(qnm_parse_pin("8_7", 3, &bank, &bit), 1);
    EXPECT_EQ(bank, 8u);
    EXPECT_EQ(bit, 7u);
    EXPECT_EQ(qnm_parse_pin("06_00", 5, &bank, &bit), 1);
    EXPECT_EQ(bank, 6u);
    EXPECT_EQ(bit, 0u);
    for (const char *bad : {"9_0", "0_8", "1", "1_", "_1", "1_1_1", "a_1", "1.1"})
        EXPECT_EQ(qnm_parse_pin(bad, strlen(bad), &bank, &bit), 0) << bad;
}

} // namespace
