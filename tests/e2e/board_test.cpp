// Board outputs end to end: lamps (ctlled), sounder (buzzer), alarm output,
// camera power (campw) and the three reset pulses, on every board model.
// Each case checks the exact console text, the exact register writes and
// waits the board driver sees, and the pin levels in the simulator's
// waveform.
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

const std::string RED = "\x1b[0;32;31m";
const std::string GREEN = "\x1b[0;32;32m";
const std::string NORM = "\x1b[m";
const std::string CLOSING = "\x1b[m \n";
const std::string WR_ERR = "hs3515_wr error!\n";

// The board models as the simulator names them; "0" is a board whose
// identity read gave nothing, 0x20D97006 a code that names no model.
const char* const kAllModels[] = {"KD3151", "KD3252", "KD3353", "KD3454", "KD3555", "0", "0x20D97006"};

std::string hex8(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

std::string block(const std::string& name, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint32_t w4) {
  return name + " in=" + hex8(w0) + "," + hex8(w1) + "," + hex8(w2) + "," + hex8(w3) + "," + hex8(w4);
}
// One register write, one sounder request, one wait, as the driver sees them.
std::string W(uint32_t addr, uint32_t val) { return block("QN_REG_ACCESS", 0, addr, val, 0, 0); }
std::string BZ(uint32_t state) { return block("QN_BUZZER", state, 0, 0, 0, 0); }
std::string S(long long us) { return "usleep " + std::to_string(us); }

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& x : v) s += x + "\n";
  return s;
}

// Driver requests (all five input words) and waits, in trace order.
std::vector<std::string> ops_of(const std::vector<std::string>& trace, size_t from) {
  std::vector<std::string> ops;
  for (size_t i = from; i < trace.size(); ++i) {
    std::vector<std::string> one(1, trace[i]);
    for (const qntest::Ioctl& io : qntest::ioctls(one))
      ops.push_back(block(io.name, io.in[0], io.in[1], io.in[2], io.in[3], io.in[4]));
    for (long long us : qntest::usleeps(one)) ops.push_back(S(us));
  }
  return ops;
}

// ---------------------------------------------------------------- waveform
constexpr int kPins = 72;

struct Change {
  long long t;
  int pin;
  int level;
};
struct Wave {
  bool ok = false;
  int init[kPins] = {};
  std::vector<Change> changes;
  int final_level(int pin) const {
    int l = init[pin];
    for (const Change& c : changes)
      if (c.pin == pin) l = c.level;
    return l;
  }
};

Wave parse_vcd(const std::string& text) {
  Wave w;
  std::map<char, int> ids;
  int seen = 0;
  bool dump = false, body = false;
  long long t = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string l = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
    unsigned bank, bit;
    char id;
    if (std::sscanf(l.c_str(), "$var wire 1 %c gpio%u_%u $end", &id, &bank, &bit) == 3 && bank < 9 && bit < 8) {
      ids[id] = int(bank * 8 + bit);
    } else if (l == "$dumpvars") {
      dump = true;
    } else if (l == "$end" && dump) {
      dump = false;
      body = true;
    } else if (!l.empty() && l[0] == '#') {
      t = std::atoll(l.c_str() + 1);
    } else if (l.size() == 2 && (l[0] == '0' || l[0] == '1') && ids.count(l[1])) {
      int p = ids[l[1]];
      if (dump) {
        w.init[p] = l[0] - '0';
        ++seen;
      } else if (body) {
        w.changes.push_back({t, p, l[0] - '0'});
      }
    }
  }
  w.ok = ids.size() == size_t(kPins) && seen == kPins && body;
  return w;
}

std::string pin_name(int p) { return "GPIO" + std::to_string(p / 8) + "_" + std::to_string(p % 8); }

std::string changes_text(const Wave& w) {
  std::string s;
  for (const Change& c : w.changes) s += "#" + std::to_string(c.t) + " " + pin_name(c.pin) + "=" + std::to_string(c.level) + "\n";
  return s;
}

// A mixed start level for every pin, so that a write that reaches the wrong
// pins of a bank shows as a change.
int pattern(int p) { return ((p * 5 + p / 8) % 3 == 0) ? 1 : 0; }

std::string pins_env(const std::map<int, int>& overrides) {
  std::string s;
  for (int p = 0; p < kPins; ++p) {
    auto it = overrides.find(p);
    int level = it == overrides.end() ? pattern(p) : it->second;
    if (!s.empty()) s += ",";
    s += std::to_string(p / 8) + "_" + std::to_string(p % 8) + "=" + std::to_string(level);
  }
  return s;
}

int pin(int bank, int bit) { return bank * 8 + bit; }

// ---------------------------------------------------------------- shell
struct Result {
  bool prompt = false;
  std::string out;                 // standard output of the command
  std::vector<std::string> ops;    // driver requests and waits
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
  Wave wave() { return parse_vcd(sh_->vcd()); }

 private:
  std::unique_ptr<PtyShell> sh_;
  bool ready_ = false;
};

// One command on a fresh board: expected standard output (after the
// dispatcher's newline) and the exact driver requests and waits.
struct Case {
  std::string model;
  std::string fail;  // QNSIM_FAIL, or empty
  std::string cmd;
  std::string out;
  std::vector<std::string> ops;
};

void check_case(const Case& c) {
  SCOPED_TRACE("model " + c.model + (c.fail.empty() ? "" : " failing " + c.fail) + ", command '" + c.cmd + "'");
  std::map<std::string, std::string> env;
  if (!c.fail.empty()) env["QNSIM_FAIL"] = c.fail;
  Board b(c.model, env);
  ASSERT_TRUE(b.ready()) << esc(b.shell().peek());
  Result r = b.run(c.cmd);
  EXPECT_TRUE(r.prompt);
  EXPECT_EQ(esc(r.out), esc("\n" + c.out));
  EXPECT_EQ(join(r.ops), join(c.ops));
}

// ================================================================= ctlled

struct Lamp {
  int pin;
  int level;  // level the command leaves on the lamp pin (0 lit, 1 dark)
};

struct LampCase {
  Case c;
  std::vector<Lamp> lamps;
};

std::string on(const std::string& text) { return RED + text + "\n"; }
std::string off(const std::string& text) { return GREEN + text + "\n"; }

const std::vector<LampCase>& lamp_cases() {
  static const std::vector<LampCase> cases = {
      {{"KD3454", "", "ctlled 3",
        on("Light on RecLED(P0.5) level=0") + on("Light on DoorLED(P8.0) level=0") + CLOSING,
        {W(0x20150080, 0x00), W(0x201D0004, 0x00)}},
       {{pin(0, 5), 0}, {pin(8, 0), 0}}},
      {{"KD3454", "", "ctlled 2",
        off("Light off RecLED(P0.5) level=1") + on("Light on DoorLED(P8.0) level=0") + CLOSING,
        {W(0x20150080, 0x20), W(0x201D0004, 0x00)}},
       {{pin(0, 5), 1}, {pin(8, 0), 0}}},
      // Only the low eight bits are the bit map: 256 darkens every lamp.
      {{"KD3454", "", "ctlled 256",
        off("Light off RecLED(P0.5) level=1") + off("Light off DoorLED(P8.0) level=1") + CLOSING,
        {W(0x20150080, 0x20), W(0x201D0004, 0x01)}},
       {{pin(0, 5), 1}, {pin(8, 0), 1}}},
      {{"KD3353", "", "ctlled 0x104",
        off("Light off RecLED(P2.4) level=1") + off("Light off 3GLED(P2.3) level=1") +
            on("Light on WifiLED(P2.7) level=0") + CLOSING,
        {W(0x20170040, 0x10), W(0x20170020, 0x08), W(0x20170200, 0x00)}},
       {{pin(2, 4), 1}, {pin(2, 3), 1}, {pin(2, 7), 0}}},
      {{"KD3353", "", "ctlled 3",
        on("Light on RecLED(P2.4) level=0") + on("Light on 3GLED(P2.3) level=0") +
            off("Light off WifiLED(P2.7) level=1") + CLOSING,
        {W(0x20170040, 0x00), W(0x20170020, 0x00), W(0x20170200, 0x80)}},
       {{pin(2, 4), 0}, {pin(2, 3), 0}, {pin(2, 7), 1}}},
      {{"KD3252", "", "ctlled 0x1ff",
        on("RUN LED1(P0.1) light on!") + RED + "RUN LED2(P1.3) light on value=ff!\n" + CLOSING,
        {W(0x20150008, 0x00), W(0x20160020, 0x00)}},
       {{pin(0, 1), 0}, {pin(1, 3), 0}}},
      {{"KD3252", "", "ctlled 0x0C",
        off("RUN LED1(P0.1) light off!") + GREEN + "RUN LED2(P1.3) light off value=c!\n" + CLOSING,
        {W(0x20150008, 0x02), W(0x20160020, 0x08)}},
       {{pin(0, 1), 1}, {pin(1, 3), 1}}},
      {{"KD3252", "", "ctlled 0",
        off("RUN LED1(P0.1) light off!") + GREEN + "RUN LED2(P1.3) light off value=0!\n" + CLOSING,
        {W(0x20150008, 0x02), W(0x20160020, 0x08)}},
       {{pin(0, 1), 1}, {pin(1, 3), 1}}},
      {{"KD3555", "", "ctlled 5",
        on("Light on RecLED(P2.4) level=0") + off("Light off AlarmLED(P2.5) level=1") + CLOSING,
        {W(0x20170040, 0x00), W(0x20170080, 0x20)}},
       {{pin(2, 4), 0}, {pin(2, 5), 1}}},
      {{"KD3555", "", "ctlled 2",
        off("Light off RecLED(P2.4) level=1") + on("Light on AlarmLED(P2.5) level=0") + CLOSING,
        {W(0x20170040, 0x10), W(0x20170080, 0x00)}},
       {{pin(2, 4), 1}, {pin(2, 5), 0}}},
      // Words after the bit map are ignored.
      {{"KD3555", "", "ctlled 1 2 3",
        on("Light on RecLED(P2.4) level=0") + off("Light off AlarmLED(P2.5) level=1") + CLOSING,
        {W(0x20170040, 0x00), W(0x20170080, 0x20)}},
       {{pin(2, 4), 0}, {pin(2, 5), 1}}},
      // Boards without lamps print the closing line only.
      {{"KD3151", "", "ctlled 3", CLOSING, {}}, {}},
      {{"KD3151", "", "ctlled 0xff", CLOSING, {}}, {}},
      {{"0", "", "ctlled 3", CLOSING, {}}, {}},
      {{"0x20D97006", "", "ctlled 1", CLOSING, {}}, {}},
      // A missing or bad argument ends the command before any lamp.
      {{"KD3454", "", "ctlled", "", {}}, {}},
      {{"KD3454", "", "ctlled abc", "\nwrong arg 0:(abc)\n", {}}, {}},
      {{"KD3353", "", "ctlled 12x", "\nwrong arg 0:(12x)\n", {}}, {}},
  };
  return cases;
}

TEST(BoardLamps, EveryModelWritesItsLampsAndPrintsTheirStates) {
  for (const LampCase& lc : lamp_cases()) check_case(lc.c);
}

// Only the lamp pins move, and each ends at the level of its bit.
TEST(BoardLamps, WaveformChangesOnlyLampPins) {
  for (const LampCase& lc : lamp_cases()) {
    SCOPED_TRACE("model " + lc.c.model + ", command '" + lc.c.cmd + "'");
    std::map<int, int> start;
    for (const Lamp& l : lc.lamps) start[l.pin] = !l.level;  // every lamp must move
    Board b(lc.c.model, {{"QNSIM_PINS", pins_env(start)}});
    ASSERT_TRUE(b.ready()) << esc(b.shell().peek());
    b.run(lc.c.cmd);
    Wave w = b.wave();
    ASSERT_TRUE(w.ok);
    for (int p = 0; p < kPins; ++p) {
      int want = w.init[p];
      for (const Lamp& l : lc.lamps)
        if (l.pin == p) want = l.level;
      EXPECT_EQ(w.final_level(p), want) << pin_name(p) << "\n" << changes_text(w);
    }
    EXPECT_EQ(w.changes.size(), lc.lamps.size()) << changes_text(w);
  }
}

TEST(BoardLamps, FailedWriteIsReportedBeforeEachLampAndTheCommandGoesOn) {
  check_case({"KD3454", "QN_REG_ACCESS", "ctlled 1",
              WR_ERR + on("Light on RecLED(P0.5) level=0") + WR_ERR + off("Light off DoorLED(P8.0) level=1") +
                  CLOSING,
              {W(0x20150080, 0x00), W(0x201D0004, 0x01)}});
  check_case({"KD3252", "QN_REG_ACCESS", "ctlled 2",
              WR_ERR + off("RUN LED1(P0.1) light off!") + WR_ERR + RED + "RUN LED2(P1.3) light on value=2!\n" +
                  CLOSING,
              {W(0x20150008, 0x02), W(0x20160020, 0x00)}});
  // Only the second write fails.
  check_case({"KD3353", "QN_REG_ACCESS@2", "ctlled 7",
              on("Light on RecLED(P2.4) level=0") + WR_ERR + on("Light on 3GLED(P2.3) level=0") + WR_ERR +
                  on("Light on WifiLED(P2.7) level=0") + CLOSING,
              {W(0x20170040, 0x00), W(0x20170020, 0x00), W(0x20170200, 0x00)}});
}

// ================================================================= buzzer

std::string honk(int state) { return state ? RED + "Buzzer honking\n" : GREEN + "Buzzer no honking\n"; }
std::string gpio82(int state) { return NORM + "Pin: GPIO8_2 level=" + std::to_string(state) + "\n"; }
std::string gpio84(int state) { return NORM + "Pin: GPIO8_4 level=" + std::to_string(state) + "\n"; }
const std::string PWM = NORM + "Pin: GPIO8_4 PWM Buzzer\n";

TEST(BoardSounder, OnOffWordsAndPinLinePerModel) {
  const std::vector<Case> cases = {
      {"KD3454", "", "buzzer on", honk(1) + gpio84(1), {BZ(1)}},
      {"KD3454", "", "buzzer off", honk(0) + gpio84(0), {BZ(0)}},
      {"KD3454", "", "buzzer onward", honk(1) + gpio84(1), {BZ(1)}},
      {"KD3454", "", "buzzer offset", honk(0) + gpio84(0), {BZ(0)}},
      {"KD3454", "", "BUZZER ON", honk(1) + gpio84(1), {BZ(1)}},
      {"KD3454", "", "Buzzer Off", honk(0) + gpio84(0), {BZ(0)}},
      {"KD3454", "", "buzzer on off", honk(1) + gpio84(1), {BZ(1)}},
      {"KD3454", "", "buzzer of", "", {}},
      {"KD3454", "", "buzzer o", "", {}},
      {"KD3454", "", "buzzer 1", "", {}},
      {"KD3454", "", "buzzer", "", {}},
      {"KD3555", "", "buzzer on", honk(1) + PWM, {BZ(1)}},
      {"KD3555", "", "buzzer off", honk(0) + PWM, {BZ(0)}},
      {"KD3555", "", "buzzer of", "", {}},
      {"KD3252", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
      {"KD3252", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
      {"KD3353", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
      {"KD3353", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
      {"KD3151", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
      {"KD3151", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
      {"0", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
      {"0x20D97006", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
  };
  for (const Case& c : cases) check_case(c);
}

TEST(BoardSounder, RefusedRequestIsReportedAndThePinLineFollows) {
  check_case({"KD3454", "QN_BUZZER", "buzzer off", honk(0) + "buzzer_ctrl error!\n" + gpio84(0), {BZ(0)}});
  check_case({"KD3555", "QN_BUZZER", "buzzer on", honk(1) + "buzzer_ctrl error!\n" + PWM, {BZ(1)}});
  check_case({"KD3151", "QN_BUZZER", "buzzer on", honk(1) + "buzzer_ctrl error!\n" + gpio82(1), {BZ(1)}});
}

// The sounder is the driver's business: no GPIO pin moves.
TEST(BoardSounder, NoPinMoves) {
  for (const char* model : {"KD3454", "KD3555", "KD3252"}) {
    SCOPED_TRACE(model);
    Board b(model, {{"QNSIM_PINS", pins_env({})}});
    ASSERT_TRUE(b.ready());
    b.run("buzzer on");
    b.run("buzzer off");
    Wave w = b.wave();
    ASSERT_TRUE(w.ok);
    EXPECT_TRUE(w.changes.empty()) << changes_text(w);
  }
}

// ================================================================= alarm

std::string alarm_line(int level) { return NORM + "Pin:GPIO0_3  level=" + std::to_string(level) + "\n"; }

TEST(BoardAlarm, OnlyKD3555DrivesTheAlarmOutput) {
  const std::string trig = GREEN + "alarm trigger\n";
  const std::string rel = RED + "alarm not trigger\n";
  const std::vector<Case> cases = {
      {"KD3555", "", "alarm on", trig + alarm_line(1), {W(0x20150020, 0x08)}},
      {"KD3555", "", "alarm off", rel + alarm_line(0), {W(0x20150020, 0x00)}},
      {"KD3555", "", "alarm of", rel + alarm_line(0), {W(0x20150020, 0x00)}},
      {"KD3555", "", "alarm offline", rel + alarm_line(0), {W(0x20150020, 0x00)}},
      {"KD3555", "", "ALARM ON", trig + alarm_line(1), {W(0x20150020, 0x08)}},
      {"KD3555", "", "alarm on off", trig + alarm_line(1), {W(0x20150020, 0x08)}},
      {"KD3555", "", "alarm onn", "", {}},
      {"KD3555", "", "alarm onward", "", {}},
      {"KD3555", "", "alarm o", "", {}},
      {"KD3555", "", "alarm", "", {}},
      {"KD3454", "", "alarm on", "", {}},
      {"KD3454", "", "alarm off", "", {}},
      {"KD3353", "", "alarm on", "", {}},
      {"KD3252", "", "alarm off", "", {}},
      {"KD3151", "", "alarm on", "", {}},
      {"0", "", "alarm on", "", {}},
  };
  for (const Case& c : cases) check_case(c);
}

// The write comes after both lines: its failure report is printed last.
TEST(BoardAlarm, WriteFollowsBothLines) {
  check_case({"KD3555", "QN_REG_ACCESS", "alarm on", GREEN + "alarm trigger\n" + alarm_line(1) + WR_ERR,
              {W(0x20150020, 0x08)}});
  check_case({"KD3555", "QN_REG_ACCESS", "alarm off", RED + "alarm not trigger\n" + alarm_line(0) + WR_ERR,
              {W(0x20150020, 0x00)}});
}

TEST(BoardAlarm, WaveformMovesGpio0_3Only) {
  Board b("KD3555", {{"QNSIM_PINS", pins_env({{pin(0, 3), 0}})}});
  ASSERT_TRUE(b.ready());
  b.run("alarm on");
  Wave w = b.wave();
  ASSERT_TRUE(w.ok);
  ASSERT_EQ(w.changes.size(), 1u) << changes_text(w);
  EXPECT_EQ(w.changes[0].pin, pin(0, 3));
  EXPECT_EQ(w.changes[0].level, 1);
  b.run("alarm off");
  w = b.wave();
  ASSERT_EQ(w.changes.size(), 2u) << changes_text(w);
  EXPECT_EQ(w.changes[1].pin, pin(0, 3));
  EXPECT_EQ(w.changes[1].level, 0);
}

// ================================================================= campw

std::string cam(int level) { return level ? RED + "Open camera power\n" : GREEN + "Close camera power\n"; }
std::string hub63(int level) { return NORM + "HUB_PW:GPIO6_3  level=" + std::to_string(level) + "\n"; }
std::string hub14(int level) { return NORM + "HUB_PW:GPIO1_4  level=" + std::to_string(level) + "\n"; }

TEST(BoardCameraPower, PinPerModelAndWords) {
  const std::vector<Case> cases = {
      {"KD3454", "", "campw on", cam(1) + hub63(1), {W(0x201B0020, 0x08)}},
      {"KD3454", "", "campw off", cam(0) + hub63(0), {W(0x201B0020, 0x00)}},
      {"KD3353", "", "campw on", cam(1) + hub14(1), {W(0x20160040, 0x10)}},
      {"KD3353", "", "campw off", cam(0) + hub14(0), {W(0x20160040, 0x00)}},
      {"KD3555", "", "campw on", cam(1) + hub14(1), {W(0x20160040, 0x10)}},
      {"KD3555", "", "campw off", cam(0) + hub14(0), {W(0x20160040, 0x00)}},
      {"KD3555", "", "campw onward", cam(1) + hub14(1), {W(0x20160040, 0x10)}},
      {"KD3454", "", "campw offset", cam(0) + hub63(0), {W(0x201B0020, 0x00)}},
      {"KD3454", "", "CAMPW ON", cam(1) + hub63(1), {W(0x201B0020, 0x08)}},
      {"KD3454", "", "campw on off", cam(1) + hub63(1), {W(0x201B0020, 0x08)}},
      {"KD3454", "", "campw of", "", {}},
      {"KD3555", "", "campw of", "", {}},
      {"KD3454", "", "campw 1", "", {}},
      {"KD3454", "", "campw", "", {}},
      {"KD3252", "", "campw on", "", {}},
      {"KD3252", "", "campw off", "", {}},
      {"KD3151", "", "campw on", "", {}},
      {"0", "", "campw on", "", {}},
      {"0x20D97006", "", "campw on", "", {}},
  };
  for (const Case& c : cases) check_case(c);
}

TEST(BoardCameraPower, WriteFollowsThePinLine) {
  check_case({"KD3454", "QN_REG_ACCESS", "campw on", cam(1) + hub63(1) + WR_ERR, {W(0x201B0020, 0x08)}});
  check_case({"KD3353", "QN_REG_ACCESS", "campw off", cam(0) + hub14(0) + WR_ERR, {W(0x20160040, 0x00)}});
}

TEST(BoardCameraPower, WaveformMovesOnlyThePowerPin) {
  struct {
    const char* model;
    int pin;
  } rows[] = {{"KD3454", pin(6, 3)}, {"KD3353", pin(1, 4)}, {"KD3555", pin(1, 4)}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.model);
    Board b(r.model, {{"QNSIM_PINS", pins_env({{r.pin, 0}})}});
    ASSERT_TRUE(b.ready());
    b.run("campw on");
    b.run("campw off");
    Wave w = b.wave();
    ASSERT_TRUE(w.ok);
    ASSERT_EQ(w.changes.size(), 2u) << changes_text(w);
    EXPECT_EQ(w.changes[0].pin, r.pin);
    EXPECT_EQ(w.changes[0].level, 1);
    EXPECT_EQ(w.changes[1].pin, r.pin);
    EXPECT_EQ(w.changes[1].level, 0);
  }
}

// ================================================================= resets

struct Pulse {
  std::string line;  // pin line without colour and newline; empty: header only
  uint32_t addr = 0;
  int pin = -1;
  int reset_level = 0;
  uint32_t vals[3] = {0, 0, 0};
  bool final_wait = false;
};

Pulse pulse(const std::string& line, uint32_t addr, int p, int reset_level, uint32_t v0, uint32_t v1, uint32_t v2,
            bool final_wait) {
  Pulse x;
  x.line = line;
  x.addr = addr;
  x.pin = p;
  x.reset_level = reset_level;
  x.vals[0] = v0, x.vals[1] = v1, x.vals[2] = v2;
  x.final_wait = final_wait;
  return x;
}

struct ResetCmd {
  const char* cmd;
  const char* header;
  Pulse (*row)(const std::string& model);
};

Pulse hub_row(const std::string& m) {
  if (m == "KD3454") return pulse("RST_Pin:GPIO6_1 ResetLevel=0", 0x201B0008, pin(6, 1), 0, 0x02, 0x00, 0x02, true);
  if (m == "KD3252") return pulse("RST_Pin:GPIO0_3 ResetLevel=0", 0x20150020, pin(0, 3), 0, 0x08, 0x00, 0x08, true);
  // KD3353 drives the pin its line names.
  if (m == "KD3353") return pulse("RST_Pin:GPIO0_3 ResetLevel=1", 0x20150020, pin(0, 3), 1, 0x00, 0x08, 0x00, true);
  if (m == "KD3555") return pulse("RST_Pin:GPIO0_6 ResetLevel=1", 0x20150100, pin(0, 6), 1, 0x00, 0x40, 0x00, false);
  return Pulse();
}
Pulse sd1_row(const std::string& m) {
  if (m == "KD3454")
    return pulse("SD1_RST_Pin:GPIO6_5 ResetLevel=1", 0x201B0080, pin(6, 5), 1, 0x00, 0x20, 0x00, false);
  if (m == "KD3555")
    return pulse("SD1_RST_Pin:GPIO0_6 ResetLevel=1", 0x20150100, pin(0, 6), 1, 0x00, 0x40, 0x00, false);
  return pulse("SD1_RST_Pin:GPIO0_7 ResetLevel=1", 0x20150200, pin(0, 7), 1, 0x00, 0x80, 0x00, false);
}
Pulse ad_row(const std::string& m) {
  if (m == "KD3454") return pulse("AD_RST:GPIO1_4 ResetLevel=0", 0x20160040, pin(1, 4), 0, 0x10, 0x00, 0x10, false);
  if (m == "KD3555") return pulse("AD_RST:GPIO8_2 ResetLevel=0", 0x201D0010, pin(8, 2), 0, 0x04, 0x00, 0x04, false);
  return pulse("AD_RST:GPIO8_4 ResetLevel=0", 0x201D0040, pin(8, 4), 0, 0x10, 0x00, 0x10, false);
}

const ResetCmd kResets[] = {
    {"hubreset", "usbhub reset control", hub_row},
    {"sd1reset", "sd1 reset control", sd1_row},
    {"adreset", "ad reset ctl", ad_row},
};

std::string expected_out(const ResetCmd& rc, const Pulse& p, bool failing) {
  std::string out = RED + rc.header + "\n";
  if (p.line.empty()) return out;
  out += NORM + p.line + "\n";
  if (failing) out += WR_ERR + WR_ERR + WR_ERR;
  return out;
}

std::vector<std::string> expected_ops(const Pulse& p) {
  if (p.line.empty()) return {};
  std::vector<std::string> ops = {W(p.addr, p.vals[0]), S(10000), W(p.addr, p.vals[1]), S(100000),
                                  W(p.addr, p.vals[2])};
  if (p.final_wait) ops.push_back(S(10000));
  return ops;
}

TEST(BoardReset, HeaderPinLineWritesAndWaitsOnEveryModel) {
  for (const ResetCmd& rc : kResets)
    for (const char* model : kAllModels) {
      Pulse p = rc.row(model);
      check_case({model, "", rc.cmd, expected_out(rc, p, false), expected_ops(p)});
    }
}

TEST(BoardReset, ExtraWordsAreIgnored) {
  check_case({"KD3454", "", "hubreset now 1 2", expected_out(kResets[0], hub_row("KD3454"), false),
              expected_ops(hub_row("KD3454"))});
  check_case({"KD3151", "", "hubreset x", expected_out(kResets[0], hub_row("KD3151"), false), {}});
  check_case({"KD3555", "", "sd1reset 0x20", expected_out(kResets[1], sd1_row("KD3555"), false),
              expected_ops(sd1_row("KD3555"))});
  check_case({"KD3252", "", "ADRESET Off", expected_out(kResets[2], ad_row("KD3252"), false),
              expected_ops(ad_row("KD3252"))});
}

// A failed write changes nothing of the sequence: every wait still comes.
TEST(BoardReset, FailedWritesAreReportedAndThePulseGoesOn) {
  for (const ResetCmd& rc : kResets)
    for (const char* model : {"KD3454", "KD3555", "0"}) {
      Pulse p = rc.row(model);
      check_case({model, "QN_REG_ACCESS", rc.cmd, expected_out(rc, p, !p.line.empty()), expected_ops(p)});
    }
}

// The reset line leaves idle, holds the reset level for at least the hold
// time, returns to idle, and no other pin of any bank moves.
TEST(BoardReset, WaveformShowsOnePulseOnTheResetPinOnly) {
  for (const ResetCmd& rc : kResets)
    for (const char* model : kAllModels) {
      SCOPED_TRACE(std::string(model) + " " + rc.cmd);
      Pulse p = rc.row(model);
      std::map<int, int> start;
      if (p.pin >= 0) start[p.pin] = p.reset_level;  // so the first (idle) write shows too
      Board b(model, {{"QNSIM_PINS", pins_env(start)}});
      ASSERT_TRUE(b.ready());
      b.run(rc.cmd);
      Wave w = b.wave();
      ASSERT_TRUE(w.ok);
      if (p.pin < 0) {
        EXPECT_TRUE(w.changes.empty()) << changes_text(w);
        continue;
      }
      ASSERT_EQ(w.changes.size(), 3u) << changes_text(w);
      const int idle = !p.reset_level;
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w.changes[i].pin, p.pin) << changes_text(w);
        EXPECT_EQ(w.changes[i].level, i == 1 ? p.reset_level : idle) << changes_text(w);
      }
      EXPECT_GE(w.changes[1].t - w.changes[0].t, 10000) << changes_text(w);
      EXPECT_GE(w.changes[2].t - w.changes[1].t, 100000) << changes_text(w);
      EXPECT_EQ(w.final_level(p.pin), idle);
    }
}

}  // namespace
