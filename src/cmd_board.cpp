// Board outputs: lamps, alarm output, sounder, camera power and reset lines.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "add_func.h"
#include "board.h"
#include "console_seq.h"
#include "gpio.h"
#include "parse_cmd.h"

using gpio::pin_addr;
using gpio::pin_t;

namespace {

// ------------------------------------------------------------- lamps
// Lamps are active-low: level 0 lights them. Bit i of the bit map is lamp i.
// Messages with `value` print the bit map in hex after their text.
struct lamp_t {
    pin_t pin;
    const char *on_msg;
    const char *off_msg;
    bool value;
};

constexpr lamp_t KD3454_LAMPS[] = {
    {{0, 5}, SEQ_RED "Light on RecLED(P0.5) level=0", SEQ_GREEN "Light off RecLED(P0.5) level=1", false},
    {{8, 0}, SEQ_RED "Light on DoorLED(P8.0) level=0", SEQ_GREEN "Light off DoorLED(P8.0) level=1", false},
};
constexpr lamp_t KD3252_LAMPS[] = {
    {{0, 1}, SEQ_RED "RUN LED1(P0.1) light on!", SEQ_GREEN "RUN LED1(P0.1) light off!", false},
    {{1, 3}, SEQ_RED "RUN LED2(P1.3) light on value=", SEQ_GREEN "RUN LED2(P1.3) light off value=", true},
};
constexpr lamp_t KD3353_LAMPS[] = {
    {{2, 4}, SEQ_RED "Light on RecLED(P2.4) level=0", SEQ_GREEN "Light off RecLED(P2.4) level=1", false},
    {{2, 3}, SEQ_RED "Light on 3GLED(P2.3) level=0", SEQ_GREEN "Light off 3GLED(P2.3) level=1", false},
    {{2, 7}, SEQ_RED "Light on WifiLED(P2.7) level=0", SEQ_GREEN "Light off WifiLED(P2.7) level=1", false},
};
constexpr lamp_t KD3555_LAMPS[] = {
    {{2, 4}, SEQ_RED "Light on RecLED(P2.4) level=0", SEQ_GREEN "Light off RecLED(P2.4) level=1", false},
    {{2, 5}, SEQ_RED "Light on AlarmLED(P2.5) level=0", SEQ_GREEN "Light off AlarmLED(P2.5) level=1", false},
};

static_assert(pin_addr(KD3454_LAMPS[0].pin) == 0x20150080u && pin_addr(KD3454_LAMPS[1].pin) == 0x201D0004u,
              "KD3454 lamps");
static_assert(pin_addr(KD3252_LAMPS[0].pin) == 0x20150008u && pin_addr(KD3252_LAMPS[1].pin) == 0x20160020u,
              "KD3252 lamps");
static_assert(pin_addr(KD3353_LAMPS[0].pin) == 0x20170040u && pin_addr(KD3353_LAMPS[1].pin) == 0x20170020u &&
                  pin_addr(KD3353_LAMPS[2].pin) == 0x20170200u,
              "KD3353 lamps");
static_assert(pin_addr(KD3555_LAMPS[0].pin) == 0x20170040u && pin_addr(KD3555_LAMPS[1].pin) == 0x20170080u,
              "KD3555 lamps");

constexpr board::model_rows<lamp_t> LAMP_MODELS[] = {
    board::rows_of(HARDWARE_TYPE_KD3454, KD3454_LAMPS),
    board::rows_of(HARDWARE_TYPE_KD3252, KD3252_LAMPS),
    board::rows_of(HARDWARE_TYPE_KD3353, KD3353_LAMPS),
    board::rows_of(HARDWARE_TYPE_KD3555, KD3555_LAMPS),
};

// ------------------------------------------------------------- sounder
struct buzzer_line_t {
    uint32_t type;
    const char *line; // followed by the state, unless `plain`
    bool plain;
};

constexpr buzzer_line_t BUZZER_LINES[] = {
    {HARDWARE_TYPE_KD3454, SEQ_NORMAL "Pin: GPIO8_4 level=", false},
    {HARDWARE_TYPE_KD3555, SEQ_NORMAL "Pin: GPIO8_4 PWM Buzzer", true},
};
constexpr buzzer_line_t BUZZER_OTHER = {0, SEQ_NORMAL "Pin: GPIO8_2 level=", false};

// ------------------------------------------------------------- alarm
constexpr uint32_t ALARM_MODEL = HARDWARE_TYPE_KD3555;
constexpr pin_t ALARM_PIN = {0, 3};
static_assert(pin_addr(ALARM_PIN) == 0x20150020u, "alarm output GPIO0_3");

// ------------------------------------------------------------- camera power
struct campw_t {
    uint32_t type;
    pin_t pin;
    const char *line; // followed by the level
};

constexpr campw_t CAMPW[] = {
    {HARDWARE_TYPE_KD3454, {6, 3}, SEQ_NORMAL "HUB_PW:GPIO6_3  level="},
    {HARDWARE_TYPE_KD3353, {1, 4}, SEQ_NORMAL "HUB_PW:GPIO1_4  level="},
    {HARDWARE_TYPE_KD3555, {1, 4}, SEQ_NORMAL "HUB_PW:GPIO1_4  level="},
};
static_assert(pin_addr(CAMPW[0].pin) == 0x201B0020u && pin_addr(CAMPW[1].pin) == 0x20160040u, "camera power");

// ------------------------------------------------------------- reset pulses
// Idle level, wait 10 ms, reset level, wait 100 ms, idle level, and on some
// rows a last wait of 10 ms. The idle level is the other one.
struct pulse_t {
    uint32_t type;
    const char *line;
    pin_t pin;
    uint8_t reset_level;
    bool final_wait;
};

constexpr useconds_t EDGE_WAIT_US = 10000;
constexpr useconds_t RESET_HOLD_US = 100000;

constexpr pulse_t HUB_RESET[] = {
    {HARDWARE_TYPE_KD3454, SEQ_NORMAL "RST_Pin:GPIO6_1 ResetLevel=0", {6, 1}, 0, true},
    {HARDWARE_TYPE_KD3252, SEQ_NORMAL "RST_Pin:GPIO0_3 ResetLevel=0", {0, 3}, 0, true},
    // The line names GPIO0_3 and that is the pin the pulse drives.
    {HARDWARE_TYPE_KD3353, SEQ_NORMAL "RST_Pin:GPIO0_3 ResetLevel=1", {0, 3}, 1, true},
    {HARDWARE_TYPE_KD3555, SEQ_NORMAL "RST_Pin:GPIO0_6 ResetLevel=1", {0, 6}, 1, false},
};
static_assert(pin_addr(HUB_RESET[0].pin) == 0x201B0008u && pin_addr(HUB_RESET[1].pin) == 0x20150020u &&
                  pin_addr(HUB_RESET[2].pin) == 0x20150020u && pin_addr(HUB_RESET[3].pin) == 0x20150100u,
              "hub reset pins");

constexpr pulse_t SD1_RESET[] = {
    {HARDWARE_TYPE_KD3454, SEQ_NORMAL "SD1_RST_Pin:GPIO6_5 ResetLevel=1", {6, 5}, 1, false},
    {HARDWARE_TYPE_KD3555, SEQ_NORMAL "SD1_RST_Pin:GPIO0_6 ResetLevel=1", {0, 6}, 1, false},
};
constexpr pulse_t SD1_RESET_OTHER = {0, SEQ_NORMAL "SD1_RST_Pin:GPIO0_7 ResetLevel=1", {0, 7}, 1, false};
static_assert(pin_addr(SD1_RESET[0].pin) == 0x201B0080u && pin_addr(SD1_RESET[1].pin) == 0x20150100u &&
                  pin_addr(SD1_RESET_OTHER.pin) == 0x20150200u,
              "sd1 reset pins");

constexpr pulse_t AD_RESET[] = {
    {HARDWARE_TYPE_KD3454, SEQ_NORMAL "AD_RST:GPIO1_4 ResetLevel=0", {1, 4}, 0, false},
    {HARDWARE_TYPE_KD3555, SEQ_NORMAL "AD_RST:GPIO8_2 ResetLevel=0", {8, 2}, 0, false},
};
constexpr pulse_t AD_RESET_OTHER = {0, SEQ_NORMAL "AD_RST:GPIO8_4 ResetLevel=0", {8, 4}, 0, false};
static_assert(pin_addr(AD_RESET[0].pin) == 0x20160040u && pin_addr(AD_RESET[1].pin) == 0x201D0010u &&
                  pin_addr(AD_RESET_OTHER.pin) == 0x201D0040u,
              "ad reset pins");

void reset_pulse(const char *header, const pulse_t *row)
{
    puts(header);
    if (row == NULL)
        return;
    puts(row->line);
    const int idle = !row->reset_level;
    gpio::pin_write(row->pin, idle);
    usleep(EDGE_WAIT_US);
    gpio::pin_write(row->pin, row->reset_level);
    usleep(RESET_HOLD_US);
    gpio::pin_write(row->pin, idle);
    if (row->final_wait)
        usleep(EDGE_WAIT_US);
}

template <size_t N>
const pulse_t *row_or(const pulse_t (&rows)[N], const pulse_t *other)
{
    const pulse_t *row = board::for_model(rows);
    return row ? row : other;
}

} // namespace

void led_command(int argc, char **argv)
{
    uint32_t buf[1];
    if (check_args(argc, argv, buf, 1) != 0)
        return;
    const uint32_t bitmap = buf[0] & 0xFFu;
    const board::model_rows<lamp_t> *set = board::for_model(LAMP_MODELS);
    for (size_t i = 0; set && i < set->count; ++i) {
        const lamp_t &lamp = set->rows[i];
        const bool on = (bitmap >> i) & 1u;
        gpio::pin_write(lamp.pin, on ? 0 : 1);
        const char *msg = on ? lamp.on_msg : lamp.off_msg;
        if (lamp.value)
            printf("%s%x!\n", msg, bitmap);
        else
            puts(msg);
    }
    puts(SEQ_NORMAL " ");
}

void alarm_out(int argc, char **argv)
{
    if (gb_hardInfo.hardware_type != ALARM_MODEL || argc < 1)
        return;
    const char *w = argv[0];
    int level;
    if (w[0] == 'o' && w[1] == 'f') {
        level = 0;
        puts(SEQ_RED "alarm not trigger");
    } else if (strcmp(w, "on") == 0) {
        level = 1;
        puts(SEQ_GREEN "alarm trigger");
    } else {
        return;
    }
    printf(SEQ_NORMAL "Pin:GPIO0_3  level=%d\n", level);
    gpio::pin_write(ALARM_PIN, level);
}

void buzzer_ctrl(int argc, char **argv)
{
    if (argc < 1)
        return;
    const int state = board::on_off_word(argv[0]);
    if (state < 0)
        return;
    puts(state ? SEQ_RED "Buzzer honking" : SEQ_GREEN "Buzzer no honking");
    qn_req_t req;
    add_func(QN_BUZZER, &req, qn_req_t{(uint32_t)state, 0, 0, 0, 0}, "buzzer_ctrl error!");
    const buzzer_line_t *row = board::for_model(BUZZER_LINES);
    if (row == NULL)
        row = &BUZZER_OTHER;
    if (row->plain)
        puts(row->line);
    else
        printf("%s%d\n", row->line, state);
}

void campw_ctl(int argc, char **argv)
{
    const campw_t *row = board::for_model(CAMPW);
    if (row == NULL || argc < 1)
        return;
    const int level = board::on_off_word(argv[0]);
    if (level < 0)
        return;
    puts(level ? SEQ_RED "Open camera power" : SEQ_GREEN "Close camera power");
    printf("%s%d\n", row->line, level);
    gpio::pin_write(row->pin, level);
}

void hub_reset_ctl(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    reset_pulse(SEQ_RED "usbhub reset control", board::for_model(HUB_RESET));
}

void sd1_reset_ctl(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    reset_pulse(SEQ_RED "sd1 reset control", row_or(SD1_RESET, &SD1_RESET_OTHER));
}

void ad_reset_ctl(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    reset_pulse(SEQ_RED "ad reset ctl", row_or(AD_RESET, &AD_RESET_OTHER));
}
