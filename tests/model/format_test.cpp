// Trace lines and VCD text of every event kind, byte for byte.
#include "board.h"

namespace {

std::string line(int64_t t, const qnm_event &ev, size_t size = QNM_TRACE_MAX)
{
    std::vector<char> buf(size);
    size_t n = qnm_format_trace(buf.data(), size, t, &ev);
    EXPECT_LT(n, size);
    if (n) {
        EXPECT_EQ(buf[n], '\0');
    }
    return std::string(buf.data(), n);
}

TEST(ModelFormat, TraceLines)
{
    qnm_event ev{};
    ev.kind = QNM_EV_REQUEST;
    ev.u.req.call = QNM_CALL_I2C_RD;
    uint32_t in[5] = {100, 0x50, 0x1FF, 0, 0}, out[5] = {0x1234, 0x50, 0x1FF, 0, 0};
    memcpy(ev.u.req.in, in, sizeof in);
    memcpy(ev.u.req.out, out, sizeof out);
    EXPECT_EQ(line(123, ev), "123 ioctl I2C_REG_READ in=0x00000064,0x00000050,0x000001ff,0x00000000,0x00000000 "
                             "out=0x00001234,0x00000050,0x000001ff,0x00000000,0x00000000 ret=0\n");
    ev.u.req.call = QNM_CALL_NONE;
    ev.u.req.code = 0xDEADBEEF;
    ev.u.req.ret = -ENOTTY;
    EXPECT_EQ(line(-5, ev), "-5 ioctl 0xdeadbeef in=0x00000064,0x00000050,0x000001ff,0x00000000,0x00000000 "
                            "out=0x00001234,0x00000050,0x000001ff,0x00000000,0x00000000 ret=-1\n");

    struct Case {
        qnm_event ev;
        const char *want;
    };
    std::vector<Case> cases;
    auto add = [&](auto fill, const char *want) {
        qnm_event e{};
        fill(e);
        cases.push_back({e, want});
    };
    static const uint8_t bytes[] = {0xFD, 0x0C, 0x00};
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_BUZZER;
            e.u.buzzer.on = 1;
        },
        "9 buzzer 1\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_PANEL_FEED;
            e.u.panel.bytes = bytes;
            e.u.panel.len = 3;
        },
        "9 panel-feed fd 0c 00\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_PANEL_READ;
            e.u.panel.bytes = bytes;
            e.u.panel.len = 3;
        },
        "9 panel-read fd0c00\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_PANEL_DROP;
            e.u.panel.len = 14;
        },
        "9 panel-drop 14\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_CTL_ERROR;
            e.u.ctl.line = "pin 9_9 1 and more";
            e.u.ctl.len = 9;
        },
        "9 ctl-error pin 9_9 1\n");
    add([](qnm_event &e) { e.kind = QNM_EV_SYNC; }, "9 sync\n");
    add([](qnm_event &e) { e.kind = QNM_EV_RESET; }, "9 reset\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_CLOCK;
            e.u.clock.sys_s = 1700000000;
            e.u.clock.rtc_text = "2023-11-14 22:13:20";
        },
        "9 clock sys=1700000000 rtc=2023-11-14 22:13:20\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_TABLE_FULL;
            e.u.full.addr = 0x40;
            e.u.full.val = 1;
        },
        "9 table-full reg 0x00000040=0x00000001\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_TABLE_FULL;
            e.u.full.i2c = 1;
            e.u.full.dev = 0x5;
            e.u.full.addr = 2;
            e.u.full.val = 3;
        },
        "9 table-full i2c 0x05 0x00000002=0x00000003\n");
    add(
        [](qnm_event &e) {
            e.kind = QNM_EV_PINS;
            e.u.pins.old_levels = 0;
            e.u.pins.levels = 1;
        },
        "");
    for (const Case &c : cases)
        EXPECT_EQ(line(9, c.ev), c.want);
}

TEST(ModelFormat, LongLinesAreCut)
{
    std::string text(5000, 'x');
    qnm_event ev{};
    ev.kind = QNM_EV_CTL_ERROR;
    ev.u.ctl.line = text.c_str();
    ev.u.ctl.len = text.size();
    std::string l = line(1, ev);
    ASSERT_EQ(l.size(), 4095u); // 4094 characters and the newline
    EXPECT_EQ(l.substr(0, 14), "1 ctl-error xx");
    EXPECT_EQ(l.substr(4090), "xxxx\n");
    EXPECT_EQ(line(1, ev, 20), "1 ctl-error xxxxxx\n");
    std::vector<uint8_t> many(2000, 0xAB);
    ev.kind = QNM_EV_PANEL_READ;
    ev.u.panel.bytes = many.data();
    ev.u.panel.len = many.size();
    EXPECT_EQ(line(1, ev).size(), 2u + 11 + 2048 + 1); // the first 1024 bytes
}

TEST(ModelFormat, VcdHeaderAndChanges)
{
    qnmtest::Board b;
    ASSERT_EQ(qnm_set_pin(b.m(), 0, 0, 1), 0);
    ASSERT_EQ(qnm_set_pin(b.m(), 8, 7, 1), 0);
    qnm_vcd vcd{};
    vcd.last_us = 77;
    std::vector<char> buf(QNM_VCD_HEADER_MAX);
    size_t n = qnm_format_vcd_header(buf.data(), buf.size(), &vcd, "2026-01-02 03:04:05", b.m());
    std::string h(buf.data(), n);
    EXPECT_EQ(vcd.last_us, 0);
    EXPECT_EQ(h.substr(0, 122),
              "$date 2026-01-02 03:04:05 $end\n$version qnsim $end\n$timescale 1us $end\n$scope module gpio $end\n"
              "$var wire 1 % gpio0_0 $end\n");
    EXPECT_NE(h.find("$var wire 1 [ gpio6_6 $end\n$var wire 1 \\ gpio6_7 $end\n"), std::string::npos);
    EXPECT_NE(h.find("$var wire 1 l gpio8_7 $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n1%\n0&\n"),
              std::string::npos);
    EXPECT_EQ(h.substr(h.size() - 11), "0k\n1l\n$end\n");
    EXPECT_EQ(n, 2308u);
    EXPECT_EQ(qnm_format_vcd_header(buf.data(), 2000, &vcd, "x", b.m()), 0u);

    qnm_event ev{};
    ev.kind = QNM_EV_PINS;
    ev.u.pins.bank = 6;
    ev.u.pins.old_levels = 0x41;
    ev.u.pins.levels = 0x82;
    char out[64];
    n = qnm_format_vcd_change(out, sizeof out, &vcd, 100, &ev);
    EXPECT_EQ(std::string(out, n), "#100\n0U\n1V\n0[\n1\\\n");
    ev.u.pins.old_levels = 0x82;
    ev.u.pins.levels = 0x80;
    n = qnm_format_vcd_change(out, sizeof out, &vcd, 100, &ev); // same time: no new stamp
    EXPECT_EQ(std::string(out, n), "0V\n");
    n = qnm_format_vcd_change(out, sizeof out, &vcd, 50, &ev); // never back in time
    EXPECT_EQ(std::string(out, n), "0V\n");
    ev.kind = QNM_EV_SYNC;
    EXPECT_EQ(qnm_format_vcd_change(out, sizeof out, &vcd, 200, &ev), 0u);
}

// The one bounded append every formatter and the transport's lines use:
// cut at size - 2 characters, NUL terminated after each append, the cut
// told, and a line closed with '\n'.
struct TextCase {
    const char *name;
    size_t size;
    std::vector<std::string> adds;
    std::string text; // after the adds
    bool cut;
    std::string line; // after qnm_text_line ("" for a length of 0)
};

class Text : public testing::TestWithParam<TextCase> {};

TEST_P(Text, AppendsCutsAndEndsTheLine)
{
    const TextCase &c = GetParam();
    std::vector<char> buf(c.size + 4, '#');
    qnm_text t;
    qnm_text_init(&t, buf.data(), c.size);
    for (const std::string &a : c.adds)
        qnm_text_add(&t, "%s", a.c_str());
    if (c.size) {
        EXPECT_EQ(std::string(buf.data()), c.text);
    }
    EXPECT_EQ(t.len, c.text.size());
    EXPECT_EQ(t.cut != 0, c.cut);
    size_t n = qnm_text_line(&t);
    EXPECT_EQ(std::string(buf.data(), n), c.line);
    EXPECT_EQ(buf[c.size], '#') << "nothing written past size";
    if (n) {
        EXPECT_EQ(buf[n], '\0');
    }
}

INSTANTIATE_TEST_SUITE_P(Model, Text,
                         testing::Values(TextCase{"Fits", 16, {"ab", "cd"}, "abcd", false, "abcd\n"},
                                         TextCase{"FillsToSizeLessTwo", 6, {"abcd"}, "abcd", false, "abcd\n"},
                                         TextCase{"CutInTheMiddle", 6, {"ab", "cdef"}, "abcd", true, "abcd\n"},
                                         TextCase{"NothingAfterACut", 6, {"abcde", "x"}, "abcd", true, "abcd\n"},
                                         TextCase{"EmptyAppendKeepsIt", 8, {"", "a", ""}, "a", false, "a\n"},
                                         TextCase{"RoomForTheNewlineOnly", 2, {"a"}, "", true, "\n"},
                                         TextCase{"TooSmallForALine", 1, {"a"}, "", true, ""}),
                         [](const testing::TestParamInfo<TextCase> &i) { return std::string(i.param.name); });

TEST(ModelFormat, DroppedNoteOfEachSink)
{
    char buf[64];
    EXPECT_EQ(std::string(buf, qnm_format_dropped(buf, sizeof buf, 12, QNM_DROPPED_TRACE, 4)), "12 trace-dropped 4\n");
    EXPECT_EQ(std::string(buf, qnm_format_dropped(buf, sizeof buf, -1, QNM_DROPPED_LINK, 70000)), "-1 dropped 70000\n");
    EXPECT_EQ(std::string(buf, qnm_format_dropped(buf, 8, 12, QNM_DROPPED_LINK, 4)), "12 dro\n");
    EXPECT_EQ(qnm_format_dropped(buf, 1, 12, QNM_DROPPED_LINK, 4), 0u);
}

} // namespace
