// Diagnostics end to end: the input status report (status) on every board
// model and the DDR size probe (ddrsize), with the exact console bytes and
// the exact register reads the board driver sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pty_shell.h"

namespace {

using qntest::esc;
using qntest::join;
using qntest::PtyShell;

const std::string GREEN = qntest::kGreen;
const std::string CLOSING = "\x1b[m \n";
const std::string RD_ERR = "hs3515_rd error!\n";

// GBK texts of the report.
const std::string ZT = "\xD7\xB4\xCC\xAC";                              // 状态 state
const std::string KA_OUT = "\xBF\xA8\xB0\xCE\xB3\xF6";                  // 卡拔出 card removed
const std::string KA_IN = "\xBF\xA8\xB2\xE5\xC8\xEB";                   // 卡插入 card inserted
const std::string JIE_IN = "\xBD\xD3\xC8\xEB";                          // 接入 plugged in
const std::string JIE_OUT = "\xBD\xD3\xB3\xF6";                         // 接出 unplugged
const std::string MOD_YES = "\xC4\xA3\xBF\xE9\xB4\xE6\xD4\xDA";         // 模块存在 module present
const std::string MOD_NO = "\xC4\xA3\xBF\xE9\xB2\xBB\xB4\xE6\xD4\xDA";  // 模块不存在 module absent

std::string st(const std::string& s) { return ZT + ": " + s + "\r"; }  // "状态: ...\r"

std::string R(uint32_t addr) { return qntest::block("QN_REG_ACCESS", 1, addr, 0, 0, 0); }

// A board of the model with stdout split from the terminal.
struct Board {
  explicit Board(const std::string& model, std::map<std::string, std::string> env = {})
      : sh(PtyShell::with((env["QNSIM_MODEL"] = model, env), true)) {
    ready = sh.wait_prompt();
  }
  PtyShell::Run run(const std::string& cmd) { return sh.run(cmd); }
  std::string ops(const PtyShell::Run& r) { return join(qntest::requests(r.trace)); }
  // Changes a pin or a register through the control channel, waits till done.
  bool ctl(const std::string& c) {
    sh.ctl(c);
    return sh.ctl_sync();
  }
  bool set_pin(int bank, int bit, int level) {
    return ctl("pin " + std::to_string(bank) + "_" + std::to_string(bit) + " " + std::to_string(level));
  }
  PtyShell sh;
  bool ready = false;
};

// ================================================================= status

// One input row as the board's table lists it.
struct Input {
  int bank, bit;  // bit -1: the hardware-version straps GPIO6_6/GPIO6_7
  std::string name;
  std::string hi, lo;
};

struct Model {
  std::string sim;      // QNSIM_MODEL
  std::string name;     // as mbinfo names it
  std::vector<Input> rows;
  std::vector<uint32_t> reads;  // bank registers in reading order
};

const std::vector<Model>& models() {
  static const std::vector<Model> m = {
      {"KD3252",
       "KD3252",
       {
           {6, 3, "bit0: LOCK (P6.3)", st("LOCK IN(high)"), st("LOCK OFF(low)")},
           {0, 6, "bit1: SD1_CARDIN(P0.6)", st("SD" + KA_OUT + "(high)"), st("SD" + KA_IN + "(low)")},
       },
       {0x201B03FC, 0x201503FC}},
      {"KD3454",
       "KD3454",
       {
           {5, 6, "bit0: SD1_CARDIN(P56)", st("SD1" + KA_OUT + "(high)"), st("SD1" + KA_IN + "(low)")},
           {8, 2, "bit1: SD2_CARDIN(P82)", st("SD2" + KA_OUT + "(high)"), st("SD2" + KA_IN + "(low)")},
           {0, 6, "bit2: PowerSupply(P06)", st("power pull out(high)"), st("power insert(low)")},
           {2, 2, "bit3: LOCK(P22)", st("LOCK OFF(high)"), st("LOCK IN(low)")},
           {6, -1, "bit4: HwVer(P67/P66)", "", ""},
       },
       {0x201A03FC, 0x201D03FC, 0x201503FC, 0x201703FC, 0x201B03FC}},
      {"KD3353",
       "KD3353",
       {
           {0, 2, "bit0: TALK_PLUGIN(P02)", st("TALK" + JIE_IN + "(high)"), st("TALK" + JIE_OUT + "(low)")},
           {0, 4, "bit1: EMERGE(P04)", st("EMERGE(high)"), st("EMERGE(low)")},
           {0, 5, "bit2: SD2_CARDIN(P05)", st("SD2" + KA_OUT + "(high)"), st("SD2" + KA_IN + "(low)")},
           {0, 6, "bit3: SD1_CARDIN(P06)", st("SD1" + KA_OUT + "(high)"), st("SD1" + KA_IN + "(low)")},
           {1, 3, "bit4: PowerSupply(P13)", st("power pull out(high)"), st("power insert(low)")},
           {2, 1, "bit5: SIMA(P2.1)", st("SIMA" + KA_OUT + "(high)"), st("SIMA" + KA_IN + "(low)")},
           {2, 2, "bit6: SIMB(P2.2)", st("SIMB" + KA_OUT + "(high)"), st("SIMB" + KA_IN + "(low)")},
       },
       {0x201503FC, 0x201603FC, 0x201703FC}},
      {"KD3555",
       "KD3555",
       {
           {0, 0, "bit0: WIFI_EXIST(P00)", st("WIFI" + MOD_YES + "(high)"), st("WIFI" + MOD_NO + "(low)")},
           {0, 1, "bit1: GPS_EXIST(P01)", st("GPS" + MOD_YES + "(high)"), st("GPS" + MOD_NO + "(low)")},
           {0, 2, "bit2: IR_EXIST(P02)", st("IR" + MOD_YES + "(high)"), st("IR" + MOD_NO + "(low)")},
           {0, 4, "bit3: EMERGE(P04)", st("EMERGE(high)"), st("EMERGE(low)")},
           {0, 5, "bit4: SD1_CARDIN(P05)", st("CARDIN OFF(high)"), st("CARDIN IN(low)")},
           {0, 7, "bit5: TALK_IN(P07)", st("TALK IN(high)"), st("TALK OFF(low)")},
           {1, 3, "bit6: PowerSupply(P13)", st("power pull out(high)"), st("power insert(low)")},
       },
       {0x201503FC, 0x201603FC}},
      // Boards without inputs print the header and the closing line only.
      {"KD3151", "KD3151", {}, {}},
      {"0x20D97006", "unknown", {}, {}},
      {"0x20D97007", "unknown", {}, {}},
      {"0", "", {}, {}},
  };
  return m;
}

// Texts of the KD3454 hardware-version row by its value 0 to 3.
const std::string kHwVer[4] = {
    st("4d1_2x720P"),  // 0: both straps low
    st("8d1"),         // 1: GPIO6_6 high
    st("4x720p"),      // 2: GPIO6_7 high
    st("unknown"),     // 3: both high
};

std::string header(const std::string& name) { return "===" + name + " GpioDevice status====\n" + GREEN; }
std::string row_line(const std::string& name, int val, const std::string& alias) {
  return name + " \t\tval=" + std::to_string(val) + "\t" + alias + "\n";
}

using Levels = std::map<std::pair<int, int>, int>;  // (bank, bit) -> level; absent: low

int level(const Levels& l, int bank, int bit) {
  auto it = l.find({bank, bit});
  return it == l.end() ? 0 : it->second;
}

std::string rows_for(const Model& m, const Levels& l) {
  std::string s;
  for (const Input& in : m.rows) {
    if (in.bit < 0) {
      int v = level(l, 6, 6) + 2 * level(l, 6, 7);
      s += row_line(in.name, v, kHwVer[v]);
    } else {
      int v = level(l, in.bank, in.bit);
      s += row_line(in.name, v, v ? in.hi : in.lo);
    }
  }
  return s;
}

std::string pins_env(const Levels& l) {
  std::string s;
  for (const auto& kv : l) {
    if (!s.empty()) s += ",";
    s += std::to_string(kv.first.first) + "_" + std::to_string(kv.first.second) + "=" + std::to_string(kv.second);
  }
  return s;
}

std::vector<std::string> reads_of(const Model& m) {
  std::vector<std::string> r;
  for (uint32_t a : m.reads) r.push_back(R(a));
  return r;
}

// Every input pin of the model, the hardware-version straps as two.
std::vector<std::pair<int, int>> input_pins(const Model& m) {
  std::vector<std::pair<int, int>> p;
  for (const Input& in : m.rows) {
    if (in.bit < 0) {
      p.push_back({6, 6});
      p.push_back({6, 7});
    } else {
      p.push_back({in.bank, in.bit});
    }
  }
  return p;
}

std::string report(const Model& m, const Levels& l, const std::string& name = "") {
  return "\n" + header(name) + rows_for(m, l) + CLOSING;
}

// One shell per model. Every pin that no row reads starts high and never
// shows; raising one input at a time through the control channel changes
// its own row only; every run reads the same registers; words after the
// command change nothing; after mbinfo the header names the board.
TEST(DiagStatus, EachRowFollowsOnlyItsOwnPin) {
  for (const Model& m : models()) {
    SCOPED_TRACE(m.sim);
    Levels others;
    for (int bank = 0; bank < 9; ++bank)
      for (int bit = 0; bit < 8; ++bit) others[{bank, bit}] = 1;
    for (const auto& p : input_pins(m)) others[p] = 0;
    Board b(m.sim, {{"QNSIM_PINS", pins_env(others)}});
    ASSERT_TRUE(b.ready);
    PtyShell::Run base = b.run("status");
    EXPECT_EQ(esc(base.out), esc(report(m, {})));
    for (const auto& p : input_pins(m)) {
      SCOPED_TRACE("GPIO" + std::to_string(p.first) + "_" + std::to_string(p.second));
      ASSERT_TRUE(b.set_pin(p.first, p.second, 1));
      PtyShell::Run r = b.run("status");
      EXPECT_EQ(esc(r.out), esc(report(m, {{p, 1}})));
      EXPECT_EQ(b.ops(r), join(reads_of(m)));
      ASSERT_TRUE(b.set_pin(p.first, p.second, 0));
    }
    EXPECT_EQ(esc(b.run("STATUS 1 2 now").out), esc(base.out));
    b.run("mbinfo");
    PtyShell::Run named = b.run("status");
    EXPECT_EQ(esc(named.out), esc(report(m, {}, m.name)));
    EXPECT_EQ(b.ops(named), join(reads_of(m)));
  }
}

// The exact bytes of one row, written out; the KD3454 hardware version from
// its two straps.
TEST(DiagStatus, KD3454HardwareVersionFromTwoStraps) {
  Board b("KD3454", {{"QNSIM_PINS", "6_7=1"}});
  ASSERT_TRUE(b.ready);
  std::string out = b.run("status").out;
  EXPECT_NE(out.find("bit4: HwVer(P67/P66) \t\tval=2\t\xD7\xB4\xCC\xAC: 4x720p\r\n"), std::string::npos) << esc(out);
  ASSERT_TRUE(b.set_pin(6, 6, 1));
  out = b.run("status").out;
  EXPECT_NE(out.find("bit4: HwVer(P67/P66) \t\tval=3\t\xD7\xB4\xCC\xAC: unknown\r\n"), std::string::npos) << esc(out);
}

// A failed read yields all ones: every row high, the hardware version 3.
TEST(DiagStatus, FailedReadsShowEveryRowHigh) {
  for (const Model& m : models()) {
    SCOPED_TRACE(m.sim);
    Board b(m.sim, {{"QNSIM_FAIL", "QN_REG_ACCESS"}});
    ASSERT_TRUE(b.ready);
    PtyShell::Run r = b.run("status");
    Levels all;
    for (const auto& p : input_pins(m)) all[p] = 1;
    std::string errs;
    for (size_t i = 0; i < m.reads.size(); ++i) errs += RD_ERR;
    EXPECT_EQ(esc(r.out), esc("\n" + errs + header("") + rows_for(m, all) + CLOSING));
    EXPECT_EQ(b.ops(r), join(reads_of(m)));
  }
  // On KD3454 from the third read on: GPIO0, GPIO2 and GPIO6 read all ones.
  Board b("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@3"}});
  ASSERT_TRUE(b.ready);
  PtyShell::Run r = b.run("status");
  Levels l = {{{0, 6}, 1}, {{2, 2}, 1}, {{6, 6}, 1}, {{6, 7}, 1}};
  EXPECT_EQ(esc(r.out), esc("\n" + RD_ERR + RD_ERR + RD_ERR + header("") + rows_for(models()[1], l) + CLOSING));
}

// ================================================================= ddrsize

std::string ddr_line(const std::string& mb, const std::string& hex) {
  return GREEN + "ddr_size:" + mb + "MB 0x" + hex + "\n" + CLOSING;
}

struct DdrCase {
  const char* geometry;  // 0x2011002C
  const char* width;     // 0x2011001C
  const char* mb;
  const char* hex;
};

// One shell: each geometry is set through the control channel, so every run
// also shows the registers are read afresh.
TEST(DiagDdrSize, SizeFromControllerGeometry) {
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
  Board b("KD3454");
  ASSERT_TRUE(b.ready);
  for (const DdrCase& c : cases) {
    SCOPED_TRACE(std::string(c.geometry) + "/" + c.width);
    ASSERT_TRUE(b.ctl(std::string("reg 0x2011002C ") + c.geometry));
    ASSERT_TRUE(b.ctl(std::string("reg 0x2011001C ") + c.width));
    PtyShell::Run r = b.run("ddrsize");
    EXPECT_TRUE(r.prompt);
    EXPECT_EQ(esc(r.out), esc("\n" + ddr_line(c.mb, c.hex)));
    EXPECT_EQ(b.ops(r), join({R(0x2011002C), R(0x2011001C)}));
  }
}

TEST(DiagDdrSize, DefaultControllerSettingsAndExtraWords) {
  for (const char* sim : {"KD3151", "0"}) {
    Board b(sim);
    ASSERT_TRUE(b.ready);
    EXPECT_EQ(esc(b.run("ddrsize").out), esc("\n" + ddr_line("256", "10000000")));
    PtyShell::Run r = b.run("ddrsize 0x40 abc");
    EXPECT_EQ(esc(r.out), esc("\n" + ddr_line("256", "10000000")));
    EXPECT_EQ(b.ops(r), join({R(0x2011002C), R(0x2011001C)}));
  }
}

TEST(DiagDdrSize, FailedReadsGiveZero) {
  Board b("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS"}, {"QNSIM_REGS", "0x2011002C=0x43"}});
  ASSERT_TRUE(b.ready);
  PtyShell::Run r = b.run("ddrsize");
  EXPECT_EQ(esc(r.out), esc("\n" + RD_ERR + RD_ERR + ddr_line("0", "0")));
  EXPECT_EQ(b.ops(r), join({R(0x2011002C), R(0x2011001C)}));
  // Only the width read fails: its code 3 means no bus width, size 0.
  Board b2("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@2"}});
  ASSERT_TRUE(b2.ready);
  EXPECT_EQ(esc(b2.run("ddrsize").out), esc("\n" + RD_ERR + ddr_line("0", "0")));
}

}  // namespace
