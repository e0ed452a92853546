// Checks of the harness itself: its parsers, its string helpers and waits,
// the step runner's reports, and its report of a killed shell.
// (Driving the shell is checked byte for byte by every other suite.)
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

TEST(Harness, KillReportsSignal)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    sh.kill(SIGKILL);
    EXPECT_EQ(sh.wait_exit(), 128 + SIGKILL);
}

TEST(Harness, TraceAndWaveParsers)
{
    std::vector<std::string> tr = {
        "12 open /dev/qn fd=3",
        "40 ioctl QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
        "out=0x00000001,0x2011002c,0x00000032,0x00000000,0x00000000 ret=-1",
        "55 usleep 1000",
        "60 sync",
    };
    auto ev = qntest::events(tr);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].t, 12);
    EXPECT_EQ(ev[0].kind, "open");
    EXPECT_EQ(ev[0].rest, "/dev/qn fd=3");
    auto io = qntest::ioctls(tr);
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].name, "QN_REG_ACCESS");
    EXPECT_EQ(io[0].in[1], 0x2011002cu);
    EXPECT_EQ(io[0].out[2], 0x32u);
    EXPECT_EQ(io[0].ret, -1);
    EXPECT_EQ(qntest::usleeps(tr), std::vector<long long>{1000});
    EXPECT_EQ(qntest::join(qntest::requests(tr, true)),
              "QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 ret=-1\nusleep 1000\n");
    EXPECT_EQ(esc("\x1b[K\r\n\x01"), "\\e[K\\r\\n\\x01");
    EXPECT_EQ(qntest::prompt_draw(true), "\x1b[?25l\r\n\x1b[100D\x1b[K\rquenta $: \x1b[?25h");
    EXPECT_EQ(qntest::strip_prompt("x" + qntest::prompt_draw(true)), "x");

    std::string vcd;
    for (int p = 0; p < qntest::kPins; ++p)
        vcd += "$var wire 1 " + std::string(1, char('!' + p)) + " gpio" + std::to_string(p / 8) + "_" +
               std::to_string(p % 8) + " $end\n";
    vcd += "$dumpvars\n";
    for (int p = 0; p < qntest::kPins; ++p)
        vcd += std::string(p == 3 ? "1" : "0") + char('!' + p) + "\n";
    vcd += "$end\n#10\n0$\n#25\n1*\n";
    qntest::Wave w = qntest::parse_vcd(vcd);
    EXPECT_TRUE(w.ok);
    EXPECT_EQ(w.init[3], 1);
    EXPECT_EQ(w.text(), "#10 GPIO0_3=0\n#25 GPIO1_1=1\n");
    EXPECT_EQ(w.final_level(3), 0);
    EXPECT_EQ(w.final_level(9), 1);
}

TEST(Harness, StringHelpersAndEventually)
{
    EXPECT_EQ(qntest::split_lines("a\nb\n"), (std::vector<std::string>{"a", "b", ""}));
    EXPECT_EQ(qntest::count_of("xaxaax", "ax"), 2u);
    EXPECT_EQ(qntest::without("key\nXkey\n", "key\n"), "X");
    EXPECT_TRUE(qntest::starts_with("quenta", "que"));
    EXPECT_FALSE(qntest::ends_with("ta", "quenta"));
    EXPECT_EQ(qntest::format("0x%08X|%s", 0x22u, "a"), "0x00000022|a");
    EXPECT_TRUE(qntest::sanitizer_text("==1==ERROR: AddressSanitizer: heap"));
    int tries = 0;
    EXPECT_TRUE(qntest::eventually([&] { return ++tries == 3; }, 1000));
    EXPECT_EQ(tries, 3);
    EXPECT_FALSE(qntest::eventually([] { return false; }, 20));
}

// The step runner reports each kind of difference: output, requests, pin
// changes, and a control line the simulator never took.
TEST(Harness, StepRunnerReportsEachDifference)
{
    PtyShell sh;
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    const std::string hr = "QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 ret=0";
    qntest::run_step(sh, {"hr 0x2011002c", "read : 0x00000022\n", {hr}});
    EXPECT_NONFATAL_FAILURE(qntest::run_step(sh, {"hr 0x2011002c", "read : 0x00000023\n", {hr}}), "esc(r.out)");
    EXPECT_NONFATAL_FAILURE(qntest::run_step(sh, {"hr 0x2011002c", "read : 0x00000022\n", {}}), "requests");
    // KD3454 lamps: Rec on GPIO0_5, Door on GPIO8_0, both lit at level 0.
    const int any = qntest::kAnyOut | qntest::kAnyRequests;
    EXPECT_NONFATAL_FAILURE(qntest::run_step(sh, {"ctlled 0", "", {}, {}, {}, any}), "moves_text");
    EXPECT_NONFATAL_FAILURE(qntest::run_step(sh, {"ctlled 3", "", {}, {}, {{5, 0}, {64, 0, 1000000}}, any}),
                            "came early");
    EXPECT_NONFATAL_FAILURE(qntest::run_step(sh, {"hr 0x2011002c", "", {}, {"no such control line"}, {}, any}),
                            "control line");
}
