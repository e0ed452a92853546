// Register tools end to end: SoC registers (hr, hw), plain I2C devices
// (ird, iwr, imrd) and the NVP6114 video decoder (nrd, nwr, nmrd, xm), run on
// the pty under the board simulator.  The simulated bus holds two decoders at
// 0x60 and 0x62 (bank b register r seeded with (r + 0x11*b) & 0xFF, register
// 0xFF is the bank select) and a plain register file at 0x50.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::join;
using qntest::PtyShell;

namespace {

// One driver request as the simulator saw it: the five words handed in and
// the result.
std::string req(const char *name, uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, int ret)
{
    return qntest::block(name, a, b, c, d, e) + " ret=" + std::to_string(ret);
}
std::string REG(uint32_t a, uint32_t b, uint32_t c, int ret = 0)
{
    return req("QN_REG_ACCESS", a, b, c, 0, 0, ret);
}
std::string RD(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, int ret = 0)
{
    return req("I2C_REG_READ", a, b, c, d, e, ret);
}
std::string WR(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, int ret = 0)
{
    return req("I2C_REG_WRITE", a, b, c, d, e, ret);
}

std::string line_val(unsigned reg, unsigned val)
{
    return qntest::format("read : adr=0x%02X, val = 0x%02X\n", reg, val);
}

// ---------------------------------------------------------------------------
// Table-driven command cases: each case is one shell session, each step one
// typed line with its exact output and the exact requests it issues.

using qntest::Step;

struct Case {
    const char *name;
    std::map<std::string, std::string> env;
    std::vector<Step> steps;
};

std::ostream &operator<<(std::ostream &os, const Case &c)
{
    return os << c.name;
}

void run_case(const Case &c)
{
    qntest::run_session(PtyShell::with(c.env), c.steps);
}

class ChipsCase : public ::testing::TestWithParam<Case> {};
std::string case_name(const ::testing::TestParamInfo<Case> &i)
{
    return i.param.name;
}

const std::map<std::string, std::string> kNoEnv;
const std::map<std::string, std::string> kFailReg = {{"QNSIM_FAIL", "QN_REG_ACCESS"}};
const std::map<std::string, std::string> kFailRead = {{"QNSIM_FAIL", "I2C_REG_READ"}};
const std::map<std::string, std::string> kFailWrite = {{"QNSIM_FAIL", "I2C_REG_WRITE"}};

// --- hr / hw ---------------------------------------------------------------

class ChipsRegPeek : public ChipsCase {};
TEST_P(ChipsRegPeek, Session)
{
    run_case(GetParam());
}

const Case kRegCases[] = {
    {"TooFewNumbersDoNothing", kNoEnv, {{"hr", "", {}}, {"hw 0x30000000", "", {}}}},
    {"BadWordIsNamed",
     kNoEnv,
     {{"hw 0x10 zz", "\nwrong arg 1:(zz)\n", {}},
      {"hr 0x2011002g", "\nwrong arg 0:(0x2011002g)\n", {}},
      {"hw 0x10 ZZ", "\nwrong arg 1:(zz)\n", {}},
      {"hw -1 5", "\nwrong arg 0:(-1)\n", {}}}},
    {"ReadsDdrRegister",
     kNoEnv,
     {{"hr 0x2011002C", "read : 0x00000022\n", {REG(1, 0x2011002C, 0)}},
      {"HR 0X2011002c", "read : 0x00000022\n", {REG(1, 0x2011002C, 0)}},
      {"hr 0x2011002c zz 7", "read : 0x00000022\n", {REG(1, 0x2011002C, 0)}}}},
    {"EightUpperCaseDigits",
     {{"QNSIM_REGS", "0x30000020=0x1f"}},
     {{"hr 0x30000020", "read : 0x0000001F\n", {REG(1, 0x30000020, 0)}},
      {"hr 805306400", "read : 0x0000001F\n", {REG(1, 0x30000020, 0)}}}},
    {"WriteThenReadBack",
     kNoEnv,
     {{"hw 0x30000010 0xdeadbeef", "", {REG(0, 0x30000010, 0xDEADBEEF)}},
      {"hr 0x30000010", "read : 0xDEADBEEF\n", {REG(1, 0x30000010, 0)}},
      {"HW 0X30000013 0XABcd01 99", "", {REG(0, 0x30000013, 0xABCD01)}},
      {"hr 0x30000013", "read : 0x00ABCD01\n", {REG(1, 0x30000013, 0)}}}},
    {"DriverFailure",
     kFailReg,
     {{"hr 0x2011002c", "hs3515_rd error!\nread : 0x00000001\n", {REG(1, 0x2011002C, 0, -1)}},
      {"hw 0x30000010 5", "hs3515_wr error!\n", {REG(0, 0x30000010, 5, -1)}}}},
};
INSTANTIATE_TEST_SUITE_P(Chips, ChipsRegPeek, ::testing::ValuesIn(kRegCases), case_name);

// --- ird / iwr / imrd ------------------------------------------------------

class ChipsI2c : public ChipsCase {};
TEST_P(ChipsI2c, Session)
{
    run_case(GetParam());
}

const Case kI2cCases[] = {
    {"ReadDecoderRegister",
     kNoEnv,
     {{"ird 0x60 0x10", "read : 0x10\n", {RD(100, 0x60, 0x10, 0, 0)}},
      {"ird 0x62 0xfe extra", "read : 0xFE\n", {RD(100, 0x62, 0xFE, 0, 0)}}}},
    {"WriteBankSelectThenRead",
     kNoEnv,
     {{"iwr 0x60 0xff 2", "", {WR(100, 0x60, 0xFF, 2, 0)}},
      {"ird 0x60 0xff", "read : 0x02\n", {RD(100, 0x60, 0xFF, 0, 0)}},
      {"ird 0x60 0x10", "read : 0x32\n", {RD(100, 0x60, 0x10, 0, 0)}},
      {"ird 0x62 0x10", "read : 0x10\n", {RD(100, 0x62, 0x10, 0, 0)}}}},
    {"PlainDeviceWideValues",
     kNoEnv,
     {{"iwr 0x50 0x21 0xabcdef", "", {WR(100, 0x50, 0x21, 0xABCDEF, 0)}},
      {"ird 0x50 0x21", "read : 0xABCDEF\n", {RD(100, 0x50, 0x21, 0, 0)}},
      {"imrd 0x50 0x20 2",
       line_val(0x20, 0) + line_val(0x21, 0xABCDEF),
       {RD(100, 0x50, 0x20, 2, 0), RD(100, 0x50, 0x21, 2, 0)}},
      {"iwr 0x50 0x1ff 0x1234", "", {WR(100, 0x50, 0x1FF, 0x1234, 0)}},
      {"imrd 0x50 0x1fe 2",
       "read : adr=0x1FE, val = 0x00\nread : adr=0x1FF, val = 0x1234\n",
       {RD(100, 0x50, 0x1FE, 2, 0), RD(100, 0x50, 0x1FF, 2, 0)}}}},
    {"ControlChannelValue",
     kNoEnv,
     {{"ird 0x50 0x30", "read : 0x12345\n", {RD(100, 0x50, 0x30, 0, 0)}, {"i2c 0x50 0x30 0x12345"}},
      {"imrd 0x50 0x30 1", "read : adr=0x30, val = 0x12345\n", {RD(100, 0x50, 0x30, 1, 0)}}}},
    {"MultiReadRunsPastFF",
     kNoEnv,
     {{"imrd 0x60 0xFE 4",
       "read : adr=0xFE, val = 0xFE\n"
       "read : adr=0xFF, val = 0x00\n"
       "i2c_mrd error!\nread : adr=0x100, val = 0x64\n"
       "i2c_mrd error!\nread : adr=0x101, val = 0x64\n",
       {RD(100, 0x60, 0xFE, 4, 0), RD(100, 0x60, 0xFF, 4, 0), RD(100, 0x60, 0x100, 4, 0, -1),
        RD(100, 0x60, 0x101, 4, 0, -1)}},
      {"imrd 0x50 0xff 2",
       "read : adr=0xFF, val = 0x00\nread : adr=0x100, val = 0x00\n",
       {RD(100, 0x50, 0xFF, 2, 0), RD(100, 0x50, 0x100, 2, 0)}}}},
    {"CountZeroAndTooFew",
     kNoEnv,
     {{"imrd 0x60 0x10 0", "", {}}, {"imrd 0x60 0x10", "", {}}, {"ird 0x60", "", {}}, {"iwr 0x50 1", "", {}}}},
    {"BadWords",
     kNoEnv,
     {{"ird 0x6z 1", "\nwrong arg 0:(0x6z)\n", {}},
      {"iwr 0x50 1 x", "\nwrong arg 2:(x)\n", {}},
      {"imrd 0x60 0x10 4g", "\nwrong arg 2:(4g)\n", {}}}},
    {"ReadFailure",
     kFailRead,
     {{"ird 0x60 0x10", "i2c_rd error!\nread : 0x64\n", {RD(100, 0x60, 0x10, 0, 0, -1)}},
      {"imrd 0x50 0x10 2",
       "i2c_mrd error!\nread : adr=0x10, val = 0x64\ni2c_mrd error!\nread : adr=0x11, val = 0x64\n",
       {RD(100, 0x50, 0x10, 2, 0, -1), RD(100, 0x50, 0x11, 2, 0, -1)}},
      {"iwr 0x50 1 2", "", {WR(100, 0x50, 1, 2, 0)}}}},
    {"WriteFailure",
     kFailWrite,
     {{"iwr 0x50 1 2", "i2c_wr error!\n", {WR(100, 0x50, 1, 2, 0, -1)}},
      {"ird 0x50 1", "read : 0x00\n", {RD(100, 0x50, 1, 0, 0)}}}},
    {"NoDeviceAtAddress",
     kNoEnv,
     {{"ird 0x52 0x10", "i2c_rd error!\nread : 0x64\n", {RD(100, 0x52, 0x10, 0, 0, -1)}},
      {"ird 0x160 0x10", "i2c_rd error!\nread : 0x64\n", {RD(100, 0x160, 0x10, 0, 0, -1)}},
      {"iwr 0x52 0x10 1", "i2c_wr error!\n", {WR(100, 0x52, 0x10, 1, 0, -1)}},
      {"imrd 0x52 0 1", "i2c_mrd error!\nread : adr=0x00, val = 0x64\n", {RD(100, 0x52, 0, 1, 0, -1)}}}},
};
INSTANTIATE_TEST_SUITE_P(Chips, ChipsI2c, ::testing::ValuesIn(kI2cCases), case_name);

// --- nrd / nwr / nmrd ------------------------------------------------------

class ChipsNvp : public ChipsCase {};
TEST_P(ChipsNvp, Session)
{
    run_case(GetParam());
}

const Case kNvpCases[] = {
    {"ReadByChipBankRegister",
     kNoEnv,
     {{"nrd 0 1 0x10", "read : 0x21\n", {RD(0, 0, 1, 0x10, 0)}},
      {"nrd 0x62 2 5", "read : 0x27\n", {RD(0, 0x62, 2, 5, 0)}},
      {"NRD 1 0XF 0XE0", "read : 0xDF\n", {RD(0, 1, 15, 0xE0, 0)}}}},
    {"WriteThenRead",
     kNoEnv,
     {{"nwr 1 3 0x20 0x5a", "", {WR(0, 1, 3, 0x20, 0x5A)}},
      {"nrd 1 3 0x20", "read : 0x5A\n", {RD(0, 1, 3, 0x20, 0)}},
      {"nrd 0x62 3 0x20", "read : 0x5A\n", {RD(0, 0x62, 3, 0x20, 0)}},
      {"nrd 0 3 0x20", "read : 0x53\n", {RD(0, 0, 3, 0x20, 0)}}}},
    {"NumbersReachDriverUnmasked",
     kNoEnv,
     {{"nrd 0 0x101 0x10", "tw286x_rd error!\nread : 0x00\n", {RD(0, 0, 0x101, 0x10, 0, -1)}},
      {"nwr 0 0 0x100 1", "tw286x_wr error!\n", {WR(0, 0, 0, 0x100, 1, -1)}},
      {"nwr 0 1 0x10 0x1a5", "", {WR(0, 0, 1, 0x10, 0x1A5)}},
      {"nrd 0 1 0x10", "read : 0xA5\n", {RD(0, 0, 1, 0x10, 0)}}}},
    {"MultiReadKeepsLowBits",
     kNoEnv,
     {{"nmrd 0 0x101 0x1FE 3",
       "read : adr=0xFE, val = 0x0F\n"
       "read : adr=0xFF, val = 0x00\n"
       "tw286x_mrd error!\nread : adr=0x100, val = 0x00\n",
       {RD(0, 0, 1, 0xFE, 3), RD(0, 0, 1, 0xFF, 3), RD(0, 0, 1, 0x100, 3, -1)}},
      {"nmrd 1 2 0x10 2", line_val(0x10, 0x32) + line_val(0x11, 0x33), {RD(0, 1, 2, 0x10, 2), RD(0, 1, 2, 0x11, 2)}},
      {"nmrd 0 1 0 0", "", {}}}},
    {"TooFewAndBadWords",
     kNoEnv,
     {{"nrd 0 1", "", {}},
      {"nwr 0 1 2", "", {}},
      {"nmrd 0 1 2", "", {}},
      {"xm", "", {}},
      {"nrd 0 x 1", "\nwrong arg 1:(x)\n", {}},
      {"nwr 0 1 2 0xq", "\nwrong arg 3:(0xq)\n", {}},
      {"nmrd 0 1 2 3z", "\nwrong arg 3:(3z)\n", {}},
      {"xm 6o", "\nwrong arg 0:(6o)\n", {}}}},
    {"ReadFailure",
     kFailRead,
     {{"nrd 0 1 0x10", "tw286x_rd error!\nread : 0x00\n", {RD(0, 0, 1, 0x10, 0, -1)}},
      {"nmrd 0 1 0x10 2",
       "tw286x_mrd error!\nread : adr=0x10, val = 0x00\ntw286x_mrd error!\nread : adr=0x11, val = 0x00\n",
       {RD(0, 0, 1, 0x10, 2, -1), RD(0, 0, 1, 0x11, 2, -1)}}}},
    {"WriteFailure",
     kFailWrite,
     {{"nwr 0 1 0x10 0x99", "tw286x_wr error!\n", {WR(0, 0, 1, 0x10, 0x99, -1)}},
      {"nrd 0 1 0x10", "read : 0x21\n", {RD(0, 0, 1, 0x10, 0)}}}},
};
INSTANTIATE_TEST_SUITE_P(Chips, ChipsNvp, ::testing::ValuesIn(kNvpCases), case_name);

// --- xm --------------------------------------------------------------------

// How the simulated decoder answers on the plain path when its bank select
// holds `select`.
uint32_t seeded(uint32_t select, uint32_t reg)
{
    return reg == 0xFF ? select : (reg + 0x11 * select) & 0xFF;
}

// Expected output of a dump.  write_ok: the bank writes land; read_ok: the
// reads answer.
std::string xm_text(unsigned chip, bool write_ok, bool read_ok)
{
    std::string s = qntest::format("chip=0x%02x\n", chip);
    for (unsigned bank = 0; bank <= 4; ++bank) {
        unsigned sel = write_ok ? bank : 0;
        if (!write_ok)
            s += "i2c_wr error!\n";
        if (!read_ok)
            s += "i2c_mrd error!\n";
        s += qntest::format("[bank%u]\n", read_ok ? sel : 100);
        for (unsigned r = 0; r <= 0xFF; ++r) {
            if (!read_ok)
                s += "i2c_mrd error!\n";
            s += line_val(r, read_ok ? seeded(sel, r) : 100);
        }
    }
    return s;
}

// Expected requests and pauses of a dump, in order.
std::vector<std::string> xm_events(unsigned chip, bool write_ok, bool read_ok)
{
    std::vector<std::string> v;
    const std::string pause = "usleep 1000";
    int wret = write_ok ? 0 : -1, rret = read_ok ? 0 : -1;
    for (unsigned bank = 0; bank <= 4; ++bank) {
        v.push_back(WR(100, chip, 0xFF, bank, 0, wret));
        v.push_back(pause);
        v.push_back(RD(100, chip, 0xFF, bank, 0, rret));
        for (unsigned r = 0; r <= 0xFF; ++r) {
            v.push_back(RD(100, chip, r, bank, 0, rret));
            v.push_back(pause);
        }
        v.push_back(pause);
    }
    return v;
}

struct XmCase {
    const char *name;
    std::map<std::string, std::string> env;
    const char *line;
    unsigned chip;
    bool write_ok, read_ok;
};
std::ostream &operator<<(std::ostream &os, const XmCase &c)
{
    return os << c.name;
}

class ChipsXm : public ::testing::TestWithParam<XmCase> {};

TEST_P(ChipsXm, DumpsFiveBanks)
{
    const XmCase &c = GetParam();
    PtyShell sh(PtyShell::with(c.env));
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    // The requests and pauses are compared by the step, the 80 kB of text below.
    PtyShell::Run r =
        qntest::run_step(sh, {c.line, "", xm_events(c.chip, c.write_ok, c.read_ok), {}, {}, qntest::kAnyOut, 20000});
    const std::string &out = r.out;
    std::string want = "\n" + xm_text(c.chip, c.write_ok, c.read_ok);
    if (out != want) {
        size_t i = 0;
        while (i < out.size() && i < want.size() && out[i] == want[i])
            ++i;
        size_t from = i > 60 ? i - 60 : 0;
        ADD_FAILURE() << "output differs at byte " << i << " (got " << out.size() << " bytes, want " << want.size()
                      << ")\n  got:  " << esc(out.substr(from, 160)) << "\n  want: " << esc(want.substr(from, 160));
    }
    std::vector<std::string> ev = qntest::requests(r.trace, true);

    size_t writes = 0, reads = 0, pauses = 0;
    for (const std::string &e : ev) {
        writes += qntest::starts_with(e, "I2C_REG_WRITE");
        reads += qntest::starts_with(e, "I2C_REG_READ");
        pauses += e == "usleep 1000";
    }
    EXPECT_EQ(writes, 5u);
    EXPECT_EQ(reads, 5u + 1280u);
    EXPECT_EQ(pauses, 1290u);
    EXPECT_EQ(pauses, qntest::usleeps(sh.trace()).size()) << "pauses other than the dump's";
}

const XmCase kXmCases[] = {
    {"Decoder60", {}, "xm 0x60", 0x60, true, true},
    {"Decoder62", {}, "xm 0x62", 0x62, true, true},
    {"HighBitsDropped", {}, "xm 0x160", 0x60, true, true},
    {"ReadBackFails", kFailRead, "xm 0x60", 0x60, true, false},
    {"BankWriteFails", kFailWrite, "xm 0x60", 0x60, false, true},
    {"NoDeviceLowerCaseChip", {}, "xm 0x15a", 0x5a, false, false},
};
INSTANTIATE_TEST_SUITE_P(Chips, ChipsXm, ::testing::ValuesIn(kXmCases),
                         [](const ::testing::TestParamInfo<XmCase> &i) { return std::string(i.param.name); });

// The bank select is left at 4: the plain path now lands in bank 4; the
// other decoder was not touched.
TEST(ChipsXmState, BankSelectLeftAtFour)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    qntest::run_step(sh, {"xm 0x60", "", {}, {}, {}, qntest::kOnlyLine, 20000});
    qntest::run_steps(sh, {{"ird 0x60 0xff", "read : 0x04\n", {RD(100, 0x60, 0xFF, 0, 0)}},
                           {"ird 0x60 0x10", "read : 0x54\n", {RD(100, 0x60, 0x10, 0, 0)}},
                           {"ird 0x62 0xff", "read : 0x00\n", {RD(100, 0x62, 0xFF, 0, 0)}}});
}

} // namespace
