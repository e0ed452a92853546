// Numbers, argument checking, tokenising and dispatch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "parse_cmd.h"
#include "qn_shell.h"

#include "../param_name.h"

namespace {

struct NumberCase {
    const char *text;
    int err;
    unsigned value;
};

class AscToU32 : public ::testing::TestWithParam<NumberCase> {};

TEST_P(AscToU32, ConvertsOrRejects)
{
    const NumberCase &c = GetParam();
    int err = 12345;
    unsigned v = asc_to_u32(c.text, &err);
    EXPECT_EQ(err, c.err) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AscToU32,
    ::testing::Values(NumberCase{"0x1F", 0, 31}, NumberCase{"0x1f", 0, 31}, NumberCase{"0X1f", 0, 31},
                      NumberCase{"31", 0, 31}, NumberCase{"031", 0, 31}, NumberCase{"010", 0, 10},
                      NumberCase{"0", 0, 0}, NumberCase{"0x0", 0, 0}, NumberCase{"0xDeadBeef", 0, 0xDEADBEEF},
                      NumberCase{"4294967295", 0, 0xFFFFFFFF}, NumberCase{"4294967296", 0, 0},
                      NumberCase{"4294967297", 0, 1}, NumberCase{"0x123456789", 0, 0x23456789}, NumberCase{"0x", -1, 0},
                      NumberCase{"0X", -1, 0}, NumberCase{"0xg1", -1, 0}, NumberCase{"0x1g", -1, 0},
                      NumberCase{"12a", -1, 0}, NumberCase{"-1", -1, 0}, NumberCase{"+5", -1, 0},
                      NumberCase{"1.5", -1, 0}, NumberCase{"", -1, 0}, NumberCase{" 1", -1, 0}, NumberCase{"1 ", -1, 0},
                      NumberCase{"0b101", -1, 0}, NumberCase{"x10", -1, 0}),
    [](const ::testing::TestParamInfo<NumberCase> &i) { return qntest::param_name(i.param.text, i.index); });

TEST(AscToU32, NullIsRejected)
{
    int err = 0;
    EXPECT_EQ(asc_to_u32(nullptr, &err), 0u);
    EXPECT_EQ(err, -1);
}

std::vector<char *> words(std::vector<std::string> &store)
{
    std::vector<char *> v;
    for (auto &s : store)
        v.push_back(&s[0]);
    return v;
}

TEST(CheckArgs, LenZeroConvertsNothing)
{
    uint32_t out[1] = {77};
    qntest::CaptureFd cap(1);
    EXPECT_EQ(check_args(0, nullptr, out, 0), 0);
    EXPECT_EQ(cap.finish(), "");
    EXPECT_EQ(out[0], 77u);
}

TEST(CheckArgs, TooFewWordsFailSilently)
{
    std::vector<std::string> s = {"1"};
    auto argv = words(s);
    uint32_t out[2] = {5, 5};
    qntest::CaptureFd cap(1);
    EXPECT_EQ(check_args(1, argv.data(), out, 2), -1);
    EXPECT_EQ(cap.finish(), "");
}

TEST(CheckArgs, ExtraWordsAreNotLookedAt)
{
    std::vector<std::string> s = {"0x10", "20", "junk"};
    auto argv = words(s);
    uint32_t out[3] = {0, 0, 99};
    qntest::CaptureFd cap(1);
    EXPECT_EQ(check_args(3, argv.data(), out, 2), 0);
    EXPECT_EQ(cap.finish(), "");
    EXPECT_EQ(out[0], 16u);
    EXPECT_EQ(out[1], 20u);
    EXPECT_EQ(out[2], 99u);
}

TEST(CheckArgs, BadMiddleWordStopsThere)
{
    std::vector<std::string> s = {"7", "zz", "9"};
    auto argv = words(s);
    uint32_t out[3] = {1, 1, 1};
    qntest::CaptureFd cap(1);
    EXPECT_EQ(check_args(3, argv.data(), out, 3), -1);
    EXPECT_EQ(cap.finish(), "\nwrong arg 1:(zz)\n");
    EXPECT_EQ(out[0], 7u);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[2], 1u);
}

// A recording table for the dispatcher.
std::vector<std::string> g_calls;
int g_argc = -1;

void record_a(int argc, char **argv)
{
    g_argc = argc;
    g_calls.clear();
    for (int i = 0; i < argc; ++i)
        g_calls.push_back(argv[i]);
}

void record_b(int argc, char **)
{
    g_argc = 100 + argc;
}

const sub_fun_t kTable[] = {
    {"alpha", record_a, "a"},
    {"alp", record_b, "b"},
    {nullptr, nullptr, nullptr},
};

struct DispatchCase {
    const char *line;
    int ret;
    int argc; // -1: no handler called
    std::vector<std::string> args;
    const char *out;
};

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, TokenisesAndCalls)
{
    const DispatchCase &c = GetParam();
    g_argc = -1;
    g_calls.clear();
    char buf[CMD_LEN] = {};
    snprintf(buf, sizeof buf, "%s", c.line);
    qntest::CaptureFd cap(1);
    EXPECT_EQ(parse_line(buf, kTable), c.ret);
    EXPECT_EQ(cap.finish(), c.out);
    EXPECT_EQ(g_argc, c.argc);
    if (c.argc >= 0 && c.argc < 100)
        EXPECT_EQ(g_calls, c.args);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Dispatch,
    ::testing::Values(
        DispatchCase{"alpha", 0, 0, {}, "\n"}, DispatchCase{"ALPHA ON", 0, 1, {"on"}, "\n"},
        DispatchCase{"  alpha\t 0x1F  \t", 0, 1, {"0x1f"}, "\n"}, DispatchCase{"alp x", 0, 101, {}, "\n"},
        DispatchCase{"al", 0, -1, {}, "\nunsupport cmd! cmd = al\n"},
        DispatchCase{"Alphabet x", 0, -1, {}, "\nunsupport cmd! cmd = alphabet\n"},
        DispatchCase{" \t  ", 0, -1, {}, ""}, DispatchCase{"", -1, -1, {}, "\n\r"},
        DispatchCase{
            "alpha 1 2 3 4 5 6 7 8 9 10 11 12", 0, 10, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, "\n"},
        DispatchCase{"alpha \xC4\xE3 A-B", 0, 2, {"\xC4\xE3", "a-b"}, "\n"}),
    [](const ::testing::TestParamInfo<DispatchCase> &i) { return qntest::param_name(i.param.line, i.index); });

TEST(Dispatch, LowersTheWholeBufferInPlace)
{
    char buf[CMD_LEN] = "ALPHA Xy\tZ";
    qntest::CaptureFd cap(1);
    parse_line(buf, kTable);
    cap.finish();
    EXPECT_STREQ(buf, "alpha");
    EXPECT_STREQ(buf + 6, "xy");
    EXPECT_STREQ(buf + 9, "z");
}

TEST(CommandTable, HasTheTwentyTwoCommandsInOrder)
{
    const char *names[] = {"mbinfo", "hr",     "hw",     "nrd",      "nwr",      "nmrd",    "ird",    "iwr",
                           "imrd",   "buzzer", "campw",  "hubreset", "sd1reset", "adreset", "status", "ctlled",
                           "alarm",  "revkey", "rtcset", "time",     "xm",       "ddrsize"};
    int i = 0;
    for (; sub_fun[i].name; ++i) {
        ASSERT_LT(i, 22);
        EXPECT_STREQ(sub_fun[i].name, names[i]);
        EXPECT_NE(sub_fun[i].exe, nullptr);
        EXPECT_NE(sub_fun[i].help, nullptr);
    }
    EXPECT_EQ(i, 22);
    EXPECT_EQ(sub_fun[22].exe, nullptr);
    EXPECT_EQ(sub_fun[22].help, nullptr);
}

} // namespace
