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

using qntest::esc;
using qntest::PtyShell;

namespace {

const std::string GREEN = "\x1b[0;32;32m";
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

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}
std::string block(const std::string& name, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  return name + " in=" + hex8(w0) + "," + hex8(w1) + "," + hex8(w2) + "," + hex8(w3) + "," + hex8(w4);
}
std::string R(uint32_t addr) { return block("QN_REG_ACCESS", 1, addr, 0, 0, 0); }

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + "\n";
  return s;
}

std::vector<std::string> ops_of(const std::vector<std::string>& trace, size_t from) {
  std::vector<std::string> ops;
  for (size_t i = from; i < trace.size(); ++i) {
    std::vector<std::string> one(1, trace[i]);
    for (const qntest::Ioctl& io : qntest::ioctls(one))
      ops.push_back(block(io.name, io.in[0], io.in[1], io.in[2], io.in[3], io.in[4]));
    for (long long us : qntest::usleeps(one)) ops.push_back("usleep " + std::to_string(us));
  }
  return ops;
}

struct Result {
  bool prompt = false;
  std::string out;
  std::vector<std::string> ops;
};

class Board {
 public:
  explicit Board(const std::string& model, const std::map<std::string, std::string>& env = {}) {
    PtyShell::Options o;
    o.split_stdout = true;
    o.env = env;
    o.env["QNSIM_MODEL"] = model;
    sh_.reset(new PtyShell(o));
    ready_ = sh_->wait_prompt();
  }
  bool ready() const { return ready_; }
  PtyShell& shell() { return *sh_; }
  Result run(const std::string& cmd) {
    Result r;
    size_t t0 = sh_->trace().size();
    size_t s0 = sh_->stdout_text().size();
    std::string drawn = sh_->line(cmd);
    r.prompt = drawn.find("quenta $: ") != std::string::npos;
    r.out = sh_->stdout_text().substr(s0);
    r.ops = ops_of(sh_->trace(), t0);
    return r;
  }
  // Changes an input through the control channel and waits until it is done.
  bool set_pin(int bank, int bit, int level) {
    sh_->ctl("pin " + std::to_string(bank) + "_" + std::to_string(bit) + " " + std::to_string(level));
    return sh_->ctl_sync();
  }

 private:
  std::unique_ptr<PtyShell> sh_;
  bool ready_ = false;
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
  };
  return m;
}

const Model& model(const std::string& sim) {
  for (const Model& m : models())
    if (m.sim == sim) return m;
  return models()[0];
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

void check_status(const std::string& sim, const Levels& l, const std::string& cmd = "status") {
  const Model& m = model(sim);
  SCOPED_TRACE(sim + " pins " + pins_env(l) + " command '" + cmd + "'");
  Board b(sim, {{"QNSIM_PINS", pins_env(l)}});
  ASSERT_TRUE(b.ready()) << esc(b.shell().peek());
  Result r = b.run(cmd);
  EXPECT_TRUE(r.prompt);
  EXPECT_EQ(esc(r.out), esc("\n" + header("") + rows_for(m, l) + CLOSING));
  EXPECT_EQ(join(r.ops), join(reads_of(m)));
}

TEST(DiagStatus, ChosenLevelsOnEachModel) {
  // Alternate levels, then the opposite ones.
  check_status("KD3252", {{{6, 3}, 1}, {{0, 6}, 0}});
  check_status("KD3252", {{{6, 3}, 0}, {{0, 6}, 1}});
  check_status("KD3454", {{{5, 6}, 1}, {{8, 2}, 0}, {{0, 6}, 1}, {{2, 2}, 0}, {{6, 6}, 1}});
  check_status("KD3454", {{{5, 6}, 0}, {{8, 2}, 1}, {{0, 6}, 0}, {{2, 2}, 1}, {{6, 7}, 1}});
  check_status("KD3353", {{{0, 2}, 1}, {{0, 4}, 0}, {{0, 5}, 1}, {{0, 6}, 0}, {{1, 3}, 1}, {{2, 1}, 0}, {{2, 2}, 1}});
  check_status("KD3353", {{{0, 2}, 0}, {{0, 4}, 1}, {{0, 5}, 0}, {{0, 6}, 1}, {{1, 3}, 0}, {{2, 1}, 1}, {{2, 2}, 0}});
  check_status("KD3555", {{{0, 0}, 1}, {{0, 1}, 0}, {{0, 2}, 1}, {{0, 4}, 0}, {{0, 5}, 1}, {{0, 7}, 0}, {{1, 3}, 1}});
  check_status("KD3555", {{{0, 0}, 0}, {{0, 1}, 1}, {{0, 2}, 0}, {{0, 4}, 1}, {{0, 5}, 0}, {{0, 7}, 1}, {{1, 3}, 0}});
}

TEST(DiagStatus, KD3454HardwareVersionFromTwoStraps) {
  check_status("KD3454", {{{6, 6}, 0}, {{6, 7}, 0}});  // 0 "4d1_2x720P"
  check_status("KD3454", {{{6, 6}, 1}, {{6, 7}, 0}});  // 1 "8d1"
  check_status("KD3454", {{{6, 6}, 0}, {{6, 7}, 1}});  // 2 "4x720p"
  check_status("KD3454", {{{6, 6}, 1}, {{6, 7}, 1}});  // 3 "unknown"
  // The exact bytes of one row, written out.
  Board b("KD3454", {{"QNSIM_PINS", "6_7=1"}});
  ASSERT_TRUE(b.ready());
  std::string out = b.run("status").out;
  EXPECT_NE(out.find("bit4: HwVer(P67/P66) \t\tval=2\t\xD7\xB4\xCC\xAC: 4x720p\r\n"), std::string::npos) << esc(out);
}

// Pins that no row reads are set high: they never show.
TEST(DiagStatus, OtherPinsOfTheBanksDoNotShow) {
  for (const Model& m : models()) {
    Levels l;
    for (int bank = 0; bank < 9; ++bank)
      for (int bit = 0; bit < 8; ++bit) l[{bank, bit}] = 1;
    for (const auto& p : input_pins(m)) l[p] = 0;
    check_status(m.sim, l);
  }
}

TEST(DiagStatus, ExtraWordsChangeNothing) {
  check_status("KD3555", {{{0, 5}, 1}, {{1, 3}, 1}}, "status 1 2 now");
  check_status("KD3252", {{{6, 3}, 1}}, "STATUS x");
}

// One shell per model: raising one input at a time through the control
// channel changes its own row only; every run reads the same registers.
TEST(DiagStatus, EachRowFollowsOnlyItsOwnPin) {
  for (const Model& m : models()) {
    SCOPED_TRACE(m.sim);
    Board b(m.sim);
    ASSERT_TRUE(b.ready());
    Result base = b.run("status");
    EXPECT_EQ(esc(base.out), esc("\n" + header("") + rows_for(m, {}) + CLOSING));
    for (const auto& p : input_pins(m)) {
      SCOPED_TRACE("GPIO" + std::to_string(p.first) + "_" + std::to_string(p.second));
      ASSERT_TRUE(b.set_pin(p.first, p.second, 1));
      Result r = b.run("status");
      Levels l = {{p, 1}};
      EXPECT_EQ(esc(r.out), esc("\n" + header("") + rows_for(m, l) + CLOSING));
      EXPECT_EQ(join(r.ops), join(reads_of(m)));
      ASSERT_TRUE(b.set_pin(p.first, p.second, 0));
    }
    Result again = b.run("status");
    EXPECT_EQ(esc(again.out), esc(base.out));
  }
}

TEST(DiagStatus, KD3555CardPinChangesRow4Alone) {
  Levels l = {{{0, 0}, 1}, {{0, 2}, 1}, {{0, 7}, 1}, {{1, 3}, 1}};
  Board b("KD3555", {{"QNSIM_PINS", pins_env(l)}});
  ASSERT_TRUE(b.ready());
  const Model& m = model("KD3555");
  Result first = b.run("status");
  Result second = b.run("status");
  EXPECT_EQ(esc(first.out), esc("\n" + header("") + rows_for(m, l) + CLOSING));
  EXPECT_EQ(esc(second.out), esc(first.out));  // twice in a row: same output
  ASSERT_TRUE(b.set_pin(0, 5, 1));
  Result third = b.run("status");
  l[{0, 5}] = 1;
  EXPECT_EQ(esc(third.out), esc("\n" + header("") + rows_for(m, l) + CLOSING));
  // Only the line of row 4 differs.
  std::string row4_low = row_line("bit4: SD1_CARDIN(P05)", 0, st("CARDIN IN(low)"));
  std::string row4_high = row_line("bit4: SD1_CARDIN(P05)", 1, st("CARDIN OFF(high)"));
  std::string expect = first.out;
  size_t at = expect.find(row4_low);
  ASSERT_NE(at, std::string::npos) << esc(expect);
  expect.replace(at, row4_low.size(), row4_high);
  EXPECT_EQ(esc(third.out), esc(expect));
}

TEST(DiagStatus, ModelNameAppearsAfterMbinfo) {
  for (const Model& m : models()) {
    SCOPED_TRACE(m.sim);
    Levels l = {{{0, 6}, 1}, {{1, 3}, 1}};
    Board b(m.sim, {{"QNSIM_PINS", pins_env(l)}});
    ASSERT_TRUE(b.ready());
    Result before = b.run("status");
    EXPECT_EQ(esc(before.out), esc("\n" + header("") + rows_for(m, l) + CLOSING));
    b.run("mbinfo");
    Result after = b.run("status");
    EXPECT_EQ(esc(after.out), esc("\n" + header(m.name) + rows_for(m, l) + CLOSING));
    EXPECT_EQ(join(after.ops), join(reads_of(m)));
  }
}

TEST(DiagStatus, BoardsWithoutInputsPrintHeaderAndClosingOnly) {
  struct {
    const char* sim;
    const char* name;  // after mbinfo
  } rows[] = {{"KD3151", "KD3151"}, {"0x20D97006", "unknown"}, {"0x20D97007", "unknown"}, {"0", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.sim);
    Board b(r.sim, {{"QNSIM_PINS", "0_6=1,6_3=1"}});
    ASSERT_TRUE(b.ready());
    Result before = b.run("status");
    EXPECT_EQ(esc(before.out), esc("\n" + header("") + CLOSING));
    EXPECT_TRUE(before.ops.empty()) << join(before.ops);
    b.run("mbinfo");
    Result after = b.run("status");
    EXPECT_EQ(esc(after.out), esc("\n" + header(r.name) + CLOSING));
    EXPECT_TRUE(after.ops.empty()) << join(after.ops);
  }
}

// A failed read yields all ones: every row high, the hardware version 3.
TEST(DiagStatus, FailedReadsShowEveryRowHigh) {
  for (const Model& m : models()) {
    SCOPED_TRACE(m.sim);
    Board b(m.sim, {{"QNSIM_FAIL", "QN_REG_ACCESS"}});
    ASSERT_TRUE(b.ready());
    Result r = b.run("status");
    Levels all;
    for (const auto& p : input_pins(m)) all[p] = 1;
    std::string errs;
    for (size_t i = 0; i < m.reads.size(); ++i) errs += RD_ERR;
    EXPECT_EQ(esc(r.out), esc("\n" + errs + header("") + rows_for(m, all) + CLOSING));
    EXPECT_EQ(join(r.ops), join(reads_of(m)));
  }
  // On KD3454 from the third read on: GPIO0, GPIO2 and GPIO6 read all ones.
  Board b("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@3"}});
  ASSERT_TRUE(b.ready());
  Result r = b.run("status");
  const Model& m = model("KD3454");
  Levels l = {{{0, 6}, 1}, {{2, 2}, 1}, {{6, 6}, 1}, {{6, 7}, 1}};
  EXPECT_EQ(esc(r.out), esc("\n" + RD_ERR + RD_ERR + RD_ERR + header("") + rows_for(m, l) + CLOSING));
  EXPECT_NE(r.out.find(row_line("bit4: HwVer(P67/P66)", 3, "\xD7\xB4\xCC\xAC: unknown\r")), std::string::npos);
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
  for (const DdrCase& c : cases) {
    SCOPED_TRACE(std::string(c.geometry) + "/" + c.width);
    Board b("KD3454", {{"QNSIM_REGS", std::string("0x2011002C=") + c.geometry + ",0x2011001C=" + c.width}});
    ASSERT_TRUE(b.ready());
    Result r = b.run("ddrsize");
    EXPECT_TRUE(r.prompt);
    EXPECT_EQ(esc(r.out), esc("\n" + ddr_line(c.mb, c.hex)));
    EXPECT_EQ(join(r.ops), join({R(0x2011002C), R(0x2011001C)}));
  }
}

TEST(DiagDdrSize, DefaultControllerSettingsAndExtraWords) {
  for (const char* sim : {"KD3151", "0"}) {
    Board b(sim);
    ASSERT_TRUE(b.ready());
    EXPECT_EQ(esc(b.run("ddrsize").out), esc("\n" + ddr_line("256", "10000000")));
    Result r = b.run("ddrsize 0x40 abc");
    EXPECT_EQ(esc(r.out), esc("\n" + ddr_line("256", "10000000")));
    EXPECT_EQ(join(r.ops), join({R(0x2011002C), R(0x2011001C)}));
  }
}

// Registers changed between two runs are read afresh.
TEST(DiagDdrSize, ReadsTheRegistersEachTime) {
  Board b("KD3555");
  ASSERT_TRUE(b.ready());
  EXPECT_EQ(esc(b.run("ddrsize").out), esc("\n" + ddr_line("256", "10000000")));
  b.shell().ctl("reg 0x2011002C 0x43");
  ASSERT_TRUE(b.shell().ctl_sync());
  EXPECT_EQ(esc(b.run("ddrsize").out), esc("\n" + ddr_line("2048", "80000000")));
  b.shell().ctl("reg 0x2011001C 0x00");
  ASSERT_TRUE(b.shell().ctl_sync());
  EXPECT_EQ(esc(b.run("ddrsize").out), esc("\n" + ddr_line("1024", "40000000")));
}

TEST(DiagDdrSize, FailedReadsGiveZero) {
  Board b("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS"}, {"QNSIM_REGS", "0x2011002C=0x43"}});
  ASSERT_TRUE(b.ready());
  Result r = b.run("ddrsize");
  EXPECT_EQ(esc(r.out), esc("\n" + RD_ERR + RD_ERR + ddr_line("0", "0")));
  EXPECT_EQ(join(r.ops), join({R(0x2011002C), R(0x2011001C)}));
  // Only the width read fails: its code 3 means no bus width, size 0.
  Board b2("KD3454", {{"QNSIM_FAIL", "QN_REG_ACCESS@2"}});
  ASSERT_TRUE(b2.ready());
  Result r2 = b2.run("ddrsize");
  EXPECT_EQ(esc(r2.out), esc("\n" + RD_ERR + ddr_line("0", "0")));
}

}  // namespace
