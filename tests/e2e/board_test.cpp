// Board outputs end to end: lamps (ctlled), sounder (buzzer), alarm output,
// camera power (campw) and the three reset pulses, on every board model.
// Each case checks the exact console text, the exact register writes and
// waits the board driver sees, and the pin changes in the simulator's
// waveform.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::kGreen;
using qntest::kNorm;
using qntest::kPins;
using qntest::kRed;
using qntest::PtyShell;

namespace {

const std::string CLOSING = "\x1b[m \n";
const std::string WR_ERR = "hs3515_wr error!\n";

// One register write, one sounder request, one wait, as the driver sees
// them; the F forms are refused by the driver.
std::string W(uint32_t addr, uint32_t val)
{
    return qntest::block("QN_REG_ACCESS", 0, addr, val, 0, 0) + " ret=0";
}
std::string WF(uint32_t addr, uint32_t val)
{
    return qntest::block("QN_REG_ACCESS", 0, addr, val, 0, 0) + " ret=-1";
}
std::string BZ(uint32_t state)
{
    return qntest::block("QN_BUZZER", state, 0, 0, 0, 0) + " ret=0";
}
std::string BZF(uint32_t state)
{
    return qntest::block("QN_BUZZER", state, 0, 0, 0, 0) + " ret=-1";
}
std::string S(long long us)
{
    return "usleep " + std::to_string(us);
}

int pin(int bank, int bit)
{
    return bank * 8 + bit;
}

// A mixed start level for every pin, so that a write that reaches the wrong
// pins of a bank shows as a change; `start` overrides single pins.
std::string pins_env(const std::map<int, int> &start)
{
    std::string s;
    for (int p = 0; p < kPins; ++p) {
        auto it = start.find(p);
        int level = it == start.end() ? ((p * 5 + p / 8) % 3 == 0) : it->second;
        s += (s.empty() ? "" : ",") + std::to_string(p / 8) + "_" + std::to_string(p % 8) + "=" + std::to_string(level);
    }
    return s;
}

using qntest::Move;

// One command on a fresh board: expected standard output (after the
// dispatcher's newline), the exact driver requests with their results and
// the waits, and the pin changes in order (a moved pin starts at the other
// level than its first change; no other pin may change; a refused write
// moves nothing).
struct Case {
    std::string model;
    std::string fail; // QNSIM_FAIL, or empty
    std::string cmd;
    std::string out;
    std::vector<std::string> ops;
    std::vector<Move> moves = {};
};

void check_case(const Case &c)
{
    SCOPED_TRACE("model " + c.model + (c.fail.empty() ? "" : " failing " + c.fail));
    std::map<int, int> start;
    for (auto m = c.moves.rbegin(); m != c.moves.rend(); ++m)
        start[m->pin] = !m->level;
    std::map<std::string, std::string> env = {{"QNSIM_MODEL", c.model}, {"QNSIM_PINS", pins_env(start)}};
    if (!c.fail.empty())
        env["QNSIM_FAIL"] = c.fail;
    qntest::run_session(PtyShell::with(env, true), {{c.cmd, c.out, c.ops, {}, c.moves}});
}

// ================================================================= ctlled

std::string on(const std::string &text)
{
    return kRed + text + "\n";
}
std::string off(const std::string &text)
{
    return kGreen + text + "\n";
}

TEST(BoardLamps, EveryModelWritesItsLampsAndPrintsTheirStates)
{
    const std::vector<Case> cases = {
        {"KD3454",
         "",
         "ctlled 3",
         on("Light on RecLED(P0.5) level=0") + on("Light on DoorLED(P8.0) level=0") + CLOSING,
         {W(0x20150080, 0x00), W(0x201D0004, 0x00)},
         {{pin(0, 5), 0}, {pin(8, 0), 0}}},
        {"KD3454",
         "",
         "ctlled 2",
         off("Light off RecLED(P0.5) level=1") + on("Light on DoorLED(P8.0) level=0") + CLOSING,
         {W(0x20150080, 0x20), W(0x201D0004, 0x00)},
         {{pin(0, 5), 1}, {pin(8, 0), 0}}},
        // Only the low eight bits are the bit map: 256 darkens every lamp.
        {"KD3454",
         "",
         "ctlled 256",
         off("Light off RecLED(P0.5) level=1") + off("Light off DoorLED(P8.0) level=1") + CLOSING,
         {W(0x20150080, 0x20), W(0x201D0004, 0x01)},
         {{pin(0, 5), 1}, {pin(8, 0), 1}}},
        {"KD3353",
         "",
         "ctlled 0x104",
         off("Light off RecLED(P2.4) level=1") + off("Light off 3GLED(P2.3) level=1") +
             on("Light on WifiLED(P2.7) level=0") + CLOSING,
         {W(0x20170040, 0x10), W(0x20170020, 0x08), W(0x20170200, 0x00)},
         {{pin(2, 4), 1}, {pin(2, 3), 1}, {pin(2, 7), 0}}},
        {"KD3353",
         "",
         "ctlled 3",
         on("Light on RecLED(P2.4) level=0") + on("Light on 3GLED(P2.3) level=0") +
             off("Light off WifiLED(P2.7) level=1") + CLOSING,
         {W(0x20170040, 0x00), W(0x20170020, 0x00), W(0x20170200, 0x80)},
         {{pin(2, 4), 0}, {pin(2, 3), 0}, {pin(2, 7), 1}}},
        {"KD3252",
         "",
         "ctlled 0x1ff",
         on("RUN LED1(P0.1) light on!") + kRed + "RUN LED2(P1.3) light on value=ff!\n" + CLOSING,
         {W(0x20150008, 0x00), W(0x20160020, 0x00)},
         {{pin(0, 1), 0}, {pin(1, 3), 0}}},
        {"KD3252",
         "",
         "ctlled 0x0C",
         off("RUN LED1(P0.1) light off!") + kGreen + "RUN LED2(P1.3) light off value=c!\n" + CLOSING,
         {W(0x20150008, 0x02), W(0x20160020, 0x08)},
         {{pin(0, 1), 1}, {pin(1, 3), 1}}},
        {"KD3252",
         "",
         "ctlled 0",
         off("RUN LED1(P0.1) light off!") + kGreen + "RUN LED2(P1.3) light off value=0!\n" + CLOSING,
         {W(0x20150008, 0x02), W(0x20160020, 0x08)},
         {{pin(0, 1), 1}, {pin(1, 3), 1}}},
        {"KD3555",
         "",
         "ctlled 5",
         on("Light on RecLED(P2.4) level=0") + off("Light off AlarmLED(P2.5) level=1") + CLOSING,
         {W(0x20170040, 0x00), W(0x20170080, 0x20)},
         {{pin(2, 4), 0}, {pin(2, 5), 1}}},
        // Words after the bit map are ignored.
        {"KD3555",
         "",
         "ctlled 2 1 3",
         off("Light off RecLED(P2.4) level=1") + on("Light on AlarmLED(P2.5) level=0") + CLOSING,
         {W(0x20170040, 0x10), W(0x20170080, 0x00)},
         {{pin(2, 4), 1}, {pin(2, 5), 0}}},
        // Boards without lamps print the closing line only.
        {"KD3151", "", "ctlled 0xff", CLOSING, {}},
        {"0", "", "ctlled 3", CLOSING, {}},
        {"0x20D97006", "", "ctlled 1", CLOSING, {}},
        // A missing or bad argument ends the command before any lamp.
        {"KD3454", "", "ctlled", "", {}},
        {"KD3454", "", "ctlled abc", "\nwrong arg 0:(abc)\n", {}},
        {"KD3353", "", "ctlled 12x", "\nwrong arg 0:(12x)\n", {}},
        // A failed write is reported before its lamp's line, and the command
        // goes on; with @2 only the second write fails.
        {"KD3454",
         "QN_REG_ACCESS",
         "ctlled 1",
         WR_ERR + on("Light on RecLED(P0.5) level=0") + WR_ERR + off("Light off DoorLED(P8.0) level=1") + CLOSING,
         {WF(0x20150080, 0x00), WF(0x201D0004, 0x01)}},
        {"KD3252",
         "QN_REG_ACCESS",
         "ctlled 2",
         WR_ERR + off("RUN LED1(P0.1) light off!") + WR_ERR + kRed + "RUN LED2(P1.3) light on value=2!\n" + CLOSING,
         {WF(0x20150008, 0x02), WF(0x20160020, 0x00)}},
        {"KD3353",
         "QN_REG_ACCESS@2",
         "ctlled 7",
         on("Light on RecLED(P2.4) level=0") + WR_ERR + on("Light on 3GLED(P2.3) level=0") + WR_ERR +
             on("Light on WifiLED(P2.7) level=0") + CLOSING,
         {W(0x20170040, 0x00), WF(0x20170020, 0x00), WF(0x20170200, 0x00)},
         {{pin(2, 4), 0}}},
    };
    for (const Case &c : cases)
        check_case(c);
}

// ================================================================= buzzer

std::string honk(int state)
{
    return state ? kRed + "Buzzer honking\n" : kGreen + "Buzzer no honking\n";
}
std::string gpio82(int state)
{
    return kNorm + "Pin: GPIO8_2 level=" + std::to_string(state) + "\n";
}
std::string gpio84(int state)
{
    return kNorm + "Pin: GPIO8_4 level=" + std::to_string(state) + "\n";
}
const std::string PWM = kNorm + "Pin: GPIO8_4 PWM Buzzer\n";
const std::string BZ_ERR = "buzzer_ctrl error!\n";

// The sounder is the driver's business: no GPIO pin moves. A refused
// request is reported between the two lines.
TEST(BoardSounder, OnOffWordsAndPinLinePerModel)
{
    const std::vector<Case> cases = {
        {"KD3454", "", "buzzer on", honk(1) + gpio84(1), {BZ(1)}},
        {"KD3454", "", "buzzer off", honk(0) + gpio84(0), {BZ(0)}},
        {"KD3454", "", "buzzer onward", honk(1) + gpio84(1), {BZ(1)}},
        {"KD3454", "", "buzzer offset", honk(0) + gpio84(0), {BZ(0)}},
        {"KD3454", "", "BUZZER ON", honk(1) + gpio84(1), {BZ(1)}},
        {"KD3454", "", "buzzer on off", honk(1) + gpio84(1), {BZ(1)}},
        {"KD3454", "", "buzzer of", "", {}},
        {"KD3454", "", "buzzer 1", "", {}},
        {"KD3454", "", "buzzer", "", {}},
        {"KD3555", "", "buzzer on", honk(1) + PWM, {BZ(1)}},
        {"KD3555", "", "buzzer off", honk(0) + PWM, {BZ(0)}},
        {"KD3555", "", "buzzer of", "", {}},
        {"KD3252", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
        {"KD3252", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
        {"KD3353", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
        {"KD3151", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
        {"0", "", "buzzer on", honk(1) + gpio82(1), {BZ(1)}},
        {"0x20D97006", "", "buzzer off", honk(0) + gpio82(0), {BZ(0)}},
        {"KD3454", "QN_BUZZER", "buzzer off", honk(0) + BZ_ERR + gpio84(0), {BZF(0)}},
        {"KD3555", "QN_BUZZER", "buzzer on", honk(1) + BZ_ERR + PWM, {BZF(1)}},
        {"KD3151", "QN_BUZZER", "buzzer on", honk(1) + BZ_ERR + gpio82(1), {BZF(1)}},
    };
    for (const Case &c : cases)
        check_case(c);
}

// ================================================================= alarm

// Only KD3555 drives the alarm output, GPIO0_3; the write comes after both
// lines, so its failure report is printed last.
TEST(BoardAlarm, OnlyKD3555DrivesTheAlarmOutput)
{
    const std::string trig = kGreen + "alarm trigger\n" + kNorm + "Pin:GPIO0_3  level=1\n";
    const std::string rel = kRed + "alarm not trigger\n" + kNorm + "Pin:GPIO0_3  level=0\n";
    const std::string on_w = W(0x20150020, 0x08), off_w = W(0x20150020, 0x00);
    const Move up = {pin(0, 3), 1}, down = {pin(0, 3), 0};
    const std::vector<Case> cases = {
        {"KD3555", "", "alarm on", trig, {on_w}, {up}},
        {"KD3555", "", "alarm off", rel, {off_w}, {down}},
        {"KD3555", "", "alarm of", rel, {off_w}, {down}},
        {"KD3555", "", "alarm offline", rel, {off_w}, {down}},
        {"KD3555", "", "ALARM ON", trig, {on_w}, {up}},
        {"KD3555", "", "alarm on off", trig, {on_w}, {up}},
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
        {"KD3555", "QN_REG_ACCESS", "alarm on", trig + WR_ERR, {WF(0x20150020, 0x08)}},
        {"KD3555", "QN_REG_ACCESS", "alarm off", rel + WR_ERR, {WF(0x20150020, 0x00)}},
    };
    for (const Case &c : cases)
        check_case(c);
}

// ================================================================= campw

std::string cam(int level)
{
    return level ? kRed + "Open camera power\n" : kGreen + "Close camera power\n";
}
std::string hub63(int level)
{
    return kNorm + "HUB_PW:GPIO6_3  level=" + std::to_string(level) + "\n";
}
std::string hub14(int level)
{
    return kNorm + "HUB_PW:GPIO1_4  level=" + std::to_string(level) + "\n";
}

// The write follows the pin line: its failure report comes last.
TEST(BoardCameraPower, PinPerModelAndWords)
{
    const std::string on63 = W(0x201B0020, 0x08), off63 = W(0x201B0020, 0x00);
    const std::string on14 = W(0x20160040, 0x10), off14 = W(0x20160040, 0x00);
    const std::vector<Case> cases = {
        {"KD3454", "", "campw on", cam(1) + hub63(1), {on63}, {{pin(6, 3), 1}}},
        {"KD3454", "", "campw off", cam(0) + hub63(0), {off63}, {{pin(6, 3), 0}}},
        {"KD3353", "", "campw on", cam(1) + hub14(1), {on14}, {{pin(1, 4), 1}}},
        {"KD3353", "", "campw off", cam(0) + hub14(0), {off14}, {{pin(1, 4), 0}}},
        {"KD3555", "", "campw on", cam(1) + hub14(1), {on14}, {{pin(1, 4), 1}}},
        {"KD3555", "", "campw off", cam(0) + hub14(0), {off14}, {{pin(1, 4), 0}}},
        {"KD3454", "", "campw offset", cam(0) + hub63(0), {off63}, {{pin(6, 3), 0}}},
        {"KD3454", "", "CAMPW ON", cam(1) + hub63(1), {on63}, {{pin(6, 3), 1}}},
        {"KD3454", "", "campw on off", cam(1) + hub63(1), {on63}, {{pin(6, 3), 1}}},
        {"KD3454", "", "campw of", "", {}},
        {"KD3555", "", "campw of", "", {}},
        {"KD3454", "", "campw 1", "", {}},
        {"KD3454", "", "campw", "", {}},
        {"KD3252", "", "campw on", "", {}},
        {"KD3252", "", "campw off", "", {}},
        {"KD3151", "", "campw on", "", {}},
        {"0", "", "campw on", "", {}},
        {"0x20D97006", "", "campw on", "", {}},
        {"KD3454", "QN_REG_ACCESS", "campw on", cam(1) + hub63(1) + WR_ERR, {WF(0x201B0020, 0x08)}},
        {"KD3353", "QN_REG_ACCESS", "campw off", cam(0) + hub14(0) + WR_ERR, {WF(0x20160040, 0x00)}},
    };
    for (const Case &c : cases)
        check_case(c);
}

// ================================================================= resets

// A reset command prints its header, then the pin line of the model (if it
// has the line), and pulses the pin: idle level, 10 ms, reset level for
// 100 ms, idle again; some models wait 10 ms more. A refused write is
// reported after the pin line, and every wait still comes.
const std::string HUB = kRed + "usbhub reset control\n", SD1 = kRed + "sd1 reset control\n",
                  AD = kRed + "ad reset ctl\n";
std::string pin_line(const std::string &text)
{
    return kNorm + text + "\n";
}

// The three changes of a pulse on one pin that rests at `idle`.
std::vector<Move> pulse(int p, int idle)
{
    return {{p, idle}, {p, !idle, 10000}, {p, idle, 100000}};
}

TEST(BoardReset, HeaderPinLineWritesWaitsAndOnePulseOnEveryModel)
{
    const std::vector<Case> cases = {
        {"KD3454",
         "",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO6_1 ResetLevel=0"),
         {W(0x201B0008, 0x02), S(10000), W(0x201B0008, 0x00), S(100000), W(0x201B0008, 0x02), S(10000)},
         pulse(pin(6, 1), 1)},
        {"KD3252",
         "",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO0_3 ResetLevel=0"),
         {W(0x20150020, 0x08), S(10000), W(0x20150020, 0x00), S(100000), W(0x20150020, 0x08), S(10000)},
         pulse(pin(0, 3), 1)},
        // KD3353 drives the pin its line names.
        {"KD3353",
         "",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO0_3 ResetLevel=1"),
         {W(0x20150020, 0x00), S(10000), W(0x20150020, 0x08), S(100000), W(0x20150020, 0x00), S(10000)},
         pulse(pin(0, 3), 0)},
        {"KD3555",
         "",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO0_6 ResetLevel=1"),
         {W(0x20150100, 0x00), S(10000), W(0x20150100, 0x40), S(100000), W(0x20150100, 0x00)},
         pulse(pin(0, 6), 0)},
        {"KD3151", "", "hubreset", HUB, {}},
        {"0", "", "hubreset", HUB, {}},
        {"0x20D97006", "", "hubreset", HUB, {}},

        {"KD3454",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO6_5 ResetLevel=1"),
         {W(0x201B0080, 0x00), S(10000), W(0x201B0080, 0x20), S(100000), W(0x201B0080, 0x00)},
         pulse(pin(6, 5), 0)},
        {"KD3555",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_6 ResetLevel=1"),
         {W(0x20150100, 0x00), S(10000), W(0x20150100, 0x40), S(100000), W(0x20150100, 0x00)},
         pulse(pin(0, 6), 0)},
        {"KD3151",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1"),
         {W(0x20150200, 0x00), S(10000), W(0x20150200, 0x80), S(100000), W(0x20150200, 0x00)},
         pulse(pin(0, 7), 0)},
        {"KD3252",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1"),
         {W(0x20150200, 0x00), S(10000), W(0x20150200, 0x80), S(100000), W(0x20150200, 0x00)},
         pulse(pin(0, 7), 0)},
        {"KD3353",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1"),
         {W(0x20150200, 0x00), S(10000), W(0x20150200, 0x80), S(100000), W(0x20150200, 0x00)},
         pulse(pin(0, 7), 0)},
        {"0",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1"),
         {W(0x20150200, 0x00), S(10000), W(0x20150200, 0x80), S(100000), W(0x20150200, 0x00)},
         pulse(pin(0, 7), 0)},
        {"0x20D97006",
         "",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1"),
         {W(0x20150200, 0x00), S(10000), W(0x20150200, 0x80), S(100000), W(0x20150200, 0x00)},
         pulse(pin(0, 7), 0)},

        {"KD3454",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO1_4 ResetLevel=0"),
         {W(0x20160040, 0x10), S(10000), W(0x20160040, 0x00), S(100000), W(0x20160040, 0x10)},
         pulse(pin(1, 4), 1)},
        {"KD3555",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_2 ResetLevel=0"),
         {W(0x201D0010, 0x04), S(10000), W(0x201D0010, 0x00), S(100000), W(0x201D0010, 0x04)},
         pulse(pin(8, 2), 1)},
        {"KD3151",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},
        {"KD3252",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},
        {"KD3353",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},
        {"0",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},
        {"0x20D97006",
         "",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},
    };
    for (const Case &c : cases)
        check_case(c);
}

TEST(BoardReset, ExtraWordsAreIgnoredAndFailedWritesAreReported)
{
    const std::string E3 = WR_ERR + WR_ERR + WR_ERR;
    const std::vector<Case> cases = {
        {"KD3454",
         "",
         "hubreset now 1 2",
         HUB + pin_line("RST_Pin:GPIO6_1 ResetLevel=0"),
         {W(0x201B0008, 0x02), S(10000), W(0x201B0008, 0x00), S(100000), W(0x201B0008, 0x02), S(10000)},
         pulse(pin(6, 1), 1)},
        {"KD3151", "", "hubreset x", HUB, {}},
        {"KD3555",
         "",
         "sd1reset 0x20",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_6 ResetLevel=1"),
         {W(0x20150100, 0x00), S(10000), W(0x20150100, 0x40), S(100000), W(0x20150100, 0x00)},
         pulse(pin(0, 6), 0)},
        {"KD3252",
         "",
         "ADRESET Off",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0"),
         {W(0x201D0040, 0x10), S(10000), W(0x201D0040, 0x00), S(100000), W(0x201D0040, 0x10)},
         pulse(pin(8, 4), 1)},

        {"KD3454",
         "QN_REG_ACCESS",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO6_1 ResetLevel=0") + E3,
         {WF(0x201B0008, 0x02), S(10000), WF(0x201B0008, 0x00), S(100000), WF(0x201B0008, 0x02), S(10000)}},
        {"KD3555",
         "QN_REG_ACCESS",
         "hubreset",
         HUB + pin_line("RST_Pin:GPIO0_6 ResetLevel=1") + E3,
         {WF(0x20150100, 0x00), S(10000), WF(0x20150100, 0x40), S(100000), WF(0x20150100, 0x00)}},
        {"0", "QN_REG_ACCESS", "hubreset", HUB, {}},
        {"KD3454",
         "QN_REG_ACCESS",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO6_5 ResetLevel=1") + E3,
         {WF(0x201B0080, 0x00), S(10000), WF(0x201B0080, 0x20), S(100000), WF(0x201B0080, 0x00)}},
        {"KD3555",
         "QN_REG_ACCESS",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_6 ResetLevel=1") + E3,
         {WF(0x20150100, 0x00), S(10000), WF(0x20150100, 0x40), S(100000), WF(0x20150100, 0x00)}},
        {"0",
         "QN_REG_ACCESS",
         "sd1reset",
         SD1 + pin_line("SD1_RST_Pin:GPIO0_7 ResetLevel=1") + E3,
         {WF(0x20150200, 0x00), S(10000), WF(0x20150200, 0x80), S(100000), WF(0x20150200, 0x00)}},
        {"KD3454",
         "QN_REG_ACCESS",
         "adreset",
         AD + pin_line("AD_RST:GPIO1_4 ResetLevel=0") + E3,
         {WF(0x20160040, 0x10), S(10000), WF(0x20160040, 0x00), S(100000), WF(0x20160040, 0x10)}},
        {"KD3555",
         "QN_REG_ACCESS",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_2 ResetLevel=0") + E3,
         {WF(0x201D0010, 0x04), S(10000), WF(0x201D0010, 0x00), S(100000), WF(0x201D0010, 0x04)}},
        {"0",
         "QN_REG_ACCESS",
         "adreset",
         AD + pin_line("AD_RST:GPIO8_4 ResetLevel=0") + E3,
         {WF(0x201D0040, 0x10), S(10000), WF(0x201D0040, 0x00), S(100000), WF(0x201D0040, 0x10)}},
    };
    for (const Case &c : cases)
        check_case(c);
}

} // namespace
