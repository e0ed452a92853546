// Checks that the harness itself can drive the shell.
#include <gtest/gtest.h>
#include <signal.h>

#include "pty_shell.h"

using qntest::esc;
using qntest::PtyShell;

TEST(Harness, PromptAppearsAfterClearScreen) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  std::string out = sh.take();
  size_t clear = out.find("\x1b[2J\x1b[1;1H");
  size_t prompt = out.find("quenta $: ");
  ASSERT_NE(clear, std::string::npos) << esc(out);
  EXPECT_LT(clear, prompt) << esc(out);
}

TEST(Harness, ConsoleIsRawAfterStart) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  struct termios t = sh.console();
  EXPECT_EQ(t.c_lflag & ICANON, 0u);
  EXPECT_EQ(t.c_lflag & ECHO, 0u);
}

TEST(Harness, TypedKeyIsRedrawn) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  sh.take();
  std::string out = sh.key("h");
  EXPECT_EQ(out, qntest::redraw("h", 11)) << esc(out);
}

TEST(Harness, ExitReturnsZero) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  sh.type("exit");
  sh.send("\r");
  EXPECT_EQ(sh.wait_exit(), 0) << esc(sh.take());
}

TEST(Harness, KillReportsSignal) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  sh.kill(SIGKILL);
  EXPECT_EQ(sh.wait_exit(), 128 + SIGKILL);
}

TEST(Harness, TraceRecordsOpens) {
  PtyShell sh;
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  ASSERT_TRUE(sh.ctl_sync());
  std::vector<qntest::Event> ev = qntest::events(sh.trace());
  bool opened = false;
  for (const auto& e : ev) opened |= e.kind == "open";
  EXPECT_TRUE(opened) << "no open in trace at " << sh.dir();
  sh.ctl("clock");
  ASSERT_TRUE(sh.ctl_sync());
  EXPECT_FALSE(sh.trace_grep(" clock sys=").empty());
}

TEST(Harness, SplitStdoutSeparatesCommandOutput) {
  PtyShell::Options o;
  o.split_stdout = true;
  o.env["QNSIM_MODEL"] = "KD3151";
  PtyShell sh(o);
  ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
  std::string out = sh.line("mbinfo");
  EXPECT_EQ(out, qntest::prompt_draw(true)) << esc(out);
  std::string text = sh.stdout_text();
  EXPECT_EQ(text.substr(0, 1), "\n") << esc(text);
  EXPECT_NE(text.find("KD3151"), std::string::npos) << esc(text);
}

TEST(TraceParse, EventsAndIoctls) {
  std::vector<std::string> tr = {
      "12 open /dev/qn fd=3",
      "40 ioctl QN_REG_ACCESS in=0x00000001,0x2011002c,0x00000000,0x00000000,0x00000000 "
      "out=0x00000001,0x2011002c,0x00000032,0x00000000,0x00000000 ret=0",
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
  EXPECT_EQ(io[0].ret, 0);
  EXPECT_EQ(qntest::usleeps(tr), std::vector<long long>{1000});
  EXPECT_EQ(esc("\x1b[K\r\n\x01"), "\\e[K\\r\\n\\x01");
  EXPECT_EQ(qntest::prompt_draw(true), "\x1b[?25l\r\n\x1b[100D\x1b[K\rquenta $: \x1b[?25h");
}
