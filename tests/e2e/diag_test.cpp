// Diagnostics end to end: the input status report (status) on every board
// model and the DDR size probe (ddrsize), with the exact console bytes and
// the exact register reads the board driver sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pty_shell.h"

namespace {

using qntest::esc;
using qntest::PtyShell;

const std::string GREEN = qntest::kGreen;
const std::string CLOSING = "\x1b[m \n";
const std::string RD_ERR = "hs3515_rd error!\n";

// GBK texts of the report.
const std::string ZT = "\xD7\xB4\xCC\xAC";                             // 状态 state
const std::string KA_OUT = "\xBF\xA8\xB0\xCE\xB3\xF6";                 // 卡拔出 card removed
const std::string KA_IN = "\xBF\xA8\xB2\xE5\xC8\xEB";                  // 卡插入 card inserted
const std::string JIE_IN = "\xBD\xD3\xC8\xEB";                         // 接入 plugged in
const std::string JIE_OUT = "\xBD\xD3\xB3\xF6";                        // 接出 unplugged
const std::string MOD_YES = "\xC4\xA3\xBF\xE9\xB4\xE6\xD4\xDA";        // 模块存在 module present
const std::string MOD_NO = "\xC4\xA3\xBF\xE9\xB2\xBB\xB4\xE6\xD4\xDA"; // 模块不存在 module absent

// One row of the report as the shell prints it, the value written out.
std::string row(const std::string &name, const char *val, const std::string &text)
{
    return name + " \t\tval=" + val + "\t" + ZT + ": " + text + "\r\n";
}

// A read of a whole GPIO bank (or a DDR controller register), as the board
// driver sees it; RF: refused.
std::string R(uint32_t addr)
{
    return qntest::block("QN_REG_ACCESS", 1, addr, 0, 0, 0) + " ret=0";
}
std::string RF(uint32_t addr)
{
    return qntest::block("QN_REG_ACCESS", 1, addr, 0, 0, 0) + " ret=-1";
}

using qntest::Step;

// A board of the model with stdout split from the terminal.
PtyShell::Options board(const std::string &model, std::map<std::string, std::string> env = {})
{
    env["QNSIM_MODEL"] = model;
    return PtyShell::with(env, true);
}

// ================================================================= status

// An input pin of the board and the report row it drives. `line` is that
// row while this pin alone is high, where it is not the row's all-high line
// (the two hardware-version straps).
struct Input {
    int bank, bit;
    size_t row;
    std::string line = "";
};

struct Model {
    std::string sim;               // QNSIM_MODEL
    std::string name;              // as mbinfo names it
    std::vector<std::string> low;  // the rows with every input low
    std::vector<std::string> high; // the rows with every input high
    std::vector<Input> inputs;
    std::vector<uint32_t> reads; // bank registers in reading order
};

const std::vector<Model> &models()
{
    static const std::vector<Model> m = {
        {"KD3252",
         "KD3252",
         {row("bit0: LOCK (P6.3)", "0", "LOCK OFF(low)"), row("bit1: SD1_CARDIN(P0.6)", "0", "SD" + KA_IN + "(low)")},
         {row("bit0: LOCK (P6.3)", "1", "LOCK IN(high)"), row("bit1: SD1_CARDIN(P0.6)", "1", "SD" + KA_OUT + "(high)")},
         {{6, 3, 0}, {0, 6, 1}},
         {0x201B03FC, 0x201503FC}},
        {"KD3454",
         "KD3454",
         {row("bit0: SD1_CARDIN(P56)", "0", "SD1" + KA_IN + "(low)"),
          row("bit1: SD2_CARDIN(P82)", "0", "SD2" + KA_IN + "(low)"),
          row("bit2: PowerSupply(P06)", "0", "power insert(low)"), row("bit3: LOCK(P22)", "0", "LOCK IN(low)"),
          row("bit4: HwVer(P67/P66)", "0", "4d1_2x720P")},
         {row("bit0: SD1_CARDIN(P56)", "1", "SD1" + KA_OUT + "(high)"),
          row("bit1: SD2_CARDIN(P82)", "1", "SD2" + KA_OUT + "(high)"),
          row("bit2: PowerSupply(P06)", "1", "power pull out(high)"), row("bit3: LOCK(P22)", "1", "LOCK OFF(high)"),
          row("bit4: HwVer(P67/P66)", "3", "unknown")},
         {{5, 6, 0},
          {8, 2, 1},
          {0, 6, 2},
          {2, 2, 3},
          {6, 6, 4, row("bit4: HwVer(P67/P66)", "1", "8d1")},
          {6, 7, 4, row("bit4: HwVer(P67/P66)", "2", "4x720p")}},
         {0x201A03FC, 0x201D03FC, 0x201503FC, 0x201703FC, 0x201B03FC}},
        {"KD3353",
         "KD3353",
         {row("bit0: TALK_PLUGIN(P02)", "0", "TALK" + JIE_OUT + "(low)"), row("bit1: EMERGE(P04)", "0", "EMERGE(low)"),
          row("bit2: SD2_CARDIN(P05)", "0", "SD2" + KA_IN + "(low)"),
          row("bit3: SD1_CARDIN(P06)", "0", "SD1" + KA_IN + "(low)"),
          row("bit4: PowerSupply(P13)", "0", "power insert(low)"),
          row("bit5: SIMA(P2.1)", "0", "SIMA" + KA_IN + "(low)"),
          row("bit6: SIMB(P2.2)", "0", "SIMB" + KA_IN + "(low)")},
         {row("bit0: TALK_PLUGIN(P02)", "1", "TALK" + JIE_IN + "(high)"), row("bit1: EMERGE(P04)", "1", "EMERGE(high)"),
          row("bit2: SD2_CARDIN(P05)", "1", "SD2" + KA_OUT + "(high)"),
          row("bit3: SD1_CARDIN(P06)", "1", "SD1" + KA_OUT + "(high)"),
          row("bit4: PowerSupply(P13)", "1", "power pull out(high)"),
          row("bit5: SIMA(P2.1)", "1", "SIMA" + KA_OUT + "(high)"),
          row("bit6: SIMB(P2.2)", "1", "SIMB" + KA_OUT + "(high)")},
         {{0, 2, 0}, {0, 4, 1}, {0, 5, 2}, {0, 6, 3}, {1, 3, 4}, {2, 1, 5}, {2, 2, 6}},
         {0x201503FC, 0x201603FC, 0x201703FC}},
        {"KD3555",
         "KD3555",
         {row("bit0: WIFI_EXIST(P00)", "0", "WIFI" + MOD_NO + "(low)"),
          row("bit1: GPS_EXIST(P01)", "0", "GPS" + MOD_NO + "(low)"),
          row("bit2: IR_EXIST(P02)", "0", "IR" + MOD_NO + "(low)"), row("bit3: EMERGE(P04)", "0", "EMERGE(low)"),
          row("bit4: SD1_CARDIN(P05)", "0", "CARDIN IN(low)"), row("bit5: TALK_IN(P07)", "0", "TALK OFF(low)"),
          row("bit6: PowerSupply(P13)", "0", "power insert(low)")},
         {row("bit0: WIFI_EXIST(P00)", "1", "WIFI" + MOD_YES + "(high)"),
          row("bit1: GPS_EXIST(P01)", "1", "GPS" + MOD_YES + "(high)"),
          row("bit2: IR_EXIST(P02)", "1", "IR" + MOD_YES + "(high)"), row("bit3: EMERGE(P04)", "1", "EMERGE(high)"),
          row("bit4: SD1_CARDIN(P05)", "1", "CARDIN OFF(high)"), row("bit5: TALK_IN(P07)", "1", "TALK IN(high)"),
          row("bit6: PowerSupply(P13)", "1", "power pull out(high)")},
         {{0, 0, 0}, {0, 1, 1}, {0, 2, 2}, {0, 4, 3}, {0, 5, 4}, {0, 7, 5}, {1, 3, 6}},
         {0x201503FC, 0x201603FC}},
        // Boards without inputs print the header and the closing line only.
        {"KD3151", "KD3151", {}, {}, {}, {}},
        {"0x20D97006", "unknown", {}, {}, {}, {}},
        {"0x20D97007", "unknown", {}, {}, {}, {}},
        {"0", "", {}, {}, {}, {}},
    };
    return m;
}

std::string report(const std::vector<std::string> &rows, const std::string &name = "")
{
    std::string s = "===" + name + " GpioDevice status====\n" + GREEN;
    for (const std::string &r : rows)
        s += r;
    return s + CLOSING;
}

std::vector<std::string> reads_of(const Model &m)
{
    std::vector<std::string> r;
    for (uint32_t a : m.reads)
        r.push_back(R(a));
    return r;
}

std::string pin_ctl(const Input &in, int level)
{
    return "pin " + std::to_string(in.bank) + "_" + std::to_string(in.bit) + " " + std::to_string(level);
}

// One shell per model. Every pin that no row reads starts high and never
// shows; raising one input at a time through the control channel changes
// its own row only; every run reads the same registers; words after the
// command change nothing; after mbinfo the header names the board.
TEST(DiagStatus, EachRowFollowsOnlyItsOwnPin)
{
    for (const Model &m : models()) {
        SCOPED_TRACE(m.sim);
        std::map<std::pair<int, int>, int> levels;
        for (int bank = 0; bank < 9; ++bank)
            for (int bit = 0; bit < 8; ++bit)
                levels[{bank, bit}] = 1;
        for (const Input &in : m.inputs)
            levels[{in.bank, in.bit}] = 0;
        std::string pins;
        for (const auto &kv : levels)
            pins += (pins.empty() ? "" : ",") + std::to_string(kv.first.first) + "_" + std::to_string(kv.first.second) +
                    "=" + std::to_string(kv.second);

        std::vector<Step> steps = {{"status", report(m.low), reads_of(m)}};
        std::vector<std::string> lower; // the control line that lowers the pin raised before
        for (const Input &in : m.inputs) {
            std::vector<std::string> rows = m.low;
            rows[in.row] = in.line.empty() ? m.high[in.row] : in.line;
            lower.push_back(pin_ctl(in, 1));
            steps.push_back({"status", report(rows), reads_of(m), lower});
            lower = {pin_ctl(in, 0)};
        }
        if (m.inputs.empty())
            lower.clear();
        steps.push_back({"STATUS 1 2 now", report(m.low), reads_of(m), lower});
        steps.push_back({"mbinfo", "", {}, {}, {}, qntest::kAnyOut});
        steps.push_back({"status", report(m.low, m.name), reads_of(m)});
        qntest::run_session(board(m.sim, {{"QNSIM_PINS", pins}}), steps);
    }
}

// The KD3454 hardware version from its two straps.
TEST(DiagStatus, KD3454HardwareVersionFromTwoStraps)
{
    const Model &m = models()[1];
    qntest::run_session(board("KD3454", {{"QNSIM_PINS", "6_7=1"}}),
                        {{"status",
                          report({m.low[0], m.low[1], m.low[2], m.low[3],
                                  "bit4: HwVer(P67/P66) \t\tval=2\t\xD7\xB4\xCC\xAC: 4x720p\r\n"}),
                          reads_of(m)},
                         {"status",
                          report({m.low[0], m.low[1], m.low[2], m.low[3],
                                  "bit4: HwVer(P67/P66) \t\tval=3\t\xD7\xB4\xCC\xAC: unknown\r\n"}),
                          reads_of(m),
                          {"pin 6_6 1"}}});
}

// A failed read yields all ones: every row high, the hardware version 3.
TEST(DiagStatus, FailedReadsShowEveryRowHigh)
{
    for (const Model &m : models()) {
        SCOPED_TRACE(m.sim);
        std::string errs;
        std::vector<std::string> reads;
        for (uint32_t a : m.reads) {
            errs += RD_ERR;
            reads.push_back(RF(a));
        }
        qntest::run_session(board(m.sim, {{"QNSIM_FAIL", "QN_REG_ACCESS"}}),
                            {{"status", errs + report(m.high), reads}});
    }
    // On KD3454 from the third read on: GPIO0, GPIO2 and GPIO6 read all ones.
    const Model &m = models()[1];
    qntest::run_session(board("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@3"}}),
                        {{"status",
                          RD_ERR + RD_ERR + RD_ERR + report({m.low[0], m.low[1], m.high[2], m.high[3], m.high[4]}),
                          {R(0x201A03FC), R(0x201D03FC), RF(0x201503FC), RF(0x201703FC), RF(0x201B03FC)}}});
}

// ================================================================= ddrsize

std::string ddr_line(const std::string &mb, const std::string &hex)
{
    return GREEN + "ddr_size:" + mb + "MB 0x" + hex + "\n" + CLOSING;
}

const std::vector<std::string> kDdrReads = {R(0x2011002C), R(0x2011001C)};

struct DdrCase {
    const char *geometry; // 0x2011002C
    const char *width;    // 0x2011001C
    const char *mb;
    const char *hex;
};

// One shell: each geometry is set through the control channel, so every run
// also shows the registers are read afresh.
TEST(DiagDdrSize, SizeFromControllerGeometry)
{
    const DdrCase cases[] = {
        {"0x22", "0x10", "256", "10000000"},  // 10 col, 13 row, 32 bit
        {"0x32", "0x10", "512", "20000000"},  // 10, 14, 32
        {"0x32", "0x00", "256", "10000000"},  // 10, 14, 16
        {"0x12", "0x00", "64", "4000000"},    // 10, 12, 16
        {"0x43", "0x10", "2048", "80000000"}, // 11, 15, 32
        {"0x54", "0x10", "0", "0"},           // 12, 16, 32: 8 GiB, beyond 32 bits
        {"0x53", "0x10", "0", "0"},           // 11, 16, 32: exactly 4 GiB
        {"0x44", "0x00", "2048", "80000000"}, // 12, 15, 16
        {"0x62", "0x10", "0", "8000"},        // row code 6 adds no row bits: below 1 MiB
        {"0x45", "0x10", "1", "100000"},      // column code 5 adds no column bits
        {"0x77", "0x00", "0", "10"},          // both codes out of their tables
        {"0x22", "0x20", "0", "0"},           // bus-width code 2
        {"0x22", "0x30", "0", "0"},           // bus-width code 3
        {"0x01", "0x00", "16", "1000000"},    // 9, 11, 16
        // Only the field bits count.
        {"0xABCDEFA2", "0xFFFFFF9F", "256", "10000000"},
    };
    std::vector<Step> steps;
    for (const DdrCase &c : cases)
        steps.push_back({"ddrsize",
                         ddr_line(c.mb, c.hex),
                         kDdrReads,
                         {std::string("reg 0x2011002C ") + c.geometry, std::string("reg 0x2011001C ") + c.width}});
    qntest::run_session(board("KD3454"), steps);
}

TEST(DiagDdrSize, DefaultControllerSettingsAndExtraWords)
{
    for (const char *sim : {"KD3151", "0"}) {
        SCOPED_TRACE(sim);
        qntest::run_session(board(sim), {{"ddrsize", ddr_line("256", "10000000"), kDdrReads},
                                         {"ddrsize 0x40 abc", ddr_line("256", "10000000"), kDdrReads}});
    }
}

TEST(DiagDdrSize, FailedReadsGiveZero)
{
    qntest::run_session(board("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS"}, {"QNSIM_REGS", "0x2011002C=0x43"}}),
                        {{"ddrsize", RD_ERR + RD_ERR + ddr_line("0", "0"), {RF(0x2011002C), RF(0x2011001C)}}});
    // Only the width read fails: its code 3 means no bus width, size 0.
    qntest::run_session(board("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@2"}}),
                        {{"ddrsize", RD_ERR + ddr_line("0", "0"), {R(0x2011002C), RF(0x2011001C)}}});
}

} // namespace
