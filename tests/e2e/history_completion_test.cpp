// Command history (Up/Down) and command-name completion (Tab) through the
// terminal, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pty_shell.h"

using qntest::esc;
using qntest::prompt_draw;
using qntest::PtyShell;
using qntest::redraw;

namespace {

using qntest::kDown;
using qntest::kLeft;
using qntest::kUp;

const char *const kWords[] = {"mbinfo", "hr",     "hw",     "nrd",      "nwr",      "nmrd",    "ird",    "iwr",
                              "imrd",   "buzzer", "campw",  "hubreset", "sd1reset", "adreset", "status", "ctlled",
                              "alarm",  "revkey", "rtcset", "time",     "xm",       "ddrsize"};

// What Tab draws when several words match: the list, then prompt and line.
std::string listing(const std::vector<std::string> &words, const std::string &line, int col)
{
    std::string s = "\n\r";
    for (const std::string &w : words)
        s += w + "\t";
    return s + "\n\rquenta $: " + redraw(line, col);
}

int col_after(const std::string &text)
{
    return 10 + static_cast<int>(text.size());
}

// Sends one key and collects whatever comes within 200 ms.
std::string quiet_key(PtyShell &sh, const std::string &bytes)
{
    sh.take();
    sh.send(bytes);
    sh.settle(200);
    return sh.take();
}

void rub_out(PtyShell &sh, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sh.key("\x08");
    sh.take();
}

class Shell : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    }
    // Enters a line that the interpreter answers with its unknown-word message.
    void enter(const std::string &text)
    {
        std::string out = sh.line(text);
        ASSERT_NE(out.find(qntest::prompt_draw(true)), std::string::npos) << esc(out);
    }
    // Sends an arrow key and checks that it shows text with the cursor at its end.
    void shows(const std::string &key, const std::string &text)
    {
        std::string out = sh.key(key);
        EXPECT_EQ(out, redraw(text, col_after(text))) << "after " << esc(key) << ": " << esc(out);
    }
    PtyShell sh;
};

class HistoryWalk : public Shell {};
class Completion : public Shell {};

} // namespace

// ---------------------------------------------------------------- history

TEST_F(HistoryWalk, UpAndDownReplaceTheLine)
{
    enter("aa");
    enter("bbb");
    enter("c");
    sh.type("zz");
    shows(kUp, "c");
    shows(kUp, "bbb");
    shows(kUp, "aa");
    shows(kUp, "aa"); // past the oldest line of a ring that is not full
    shows(kDown, "bbb");
    shows(kDown, "c");
    shows(kDown, "");
    shows(kDown, "");
    shows(kUp, "c");
    // The cursor stands at the end of the recalled line.
    std::string out = sh.key("x");
    EXPECT_EQ(out, redraw("cx", 12)) << esc(out);
}

TEST_F(HistoryWalk, EmptyHistoryGivesAnEmptyLine)
{
    shows(kUp, "");
    shows(kDown, "");
    sh.type("abc");
    shows(kUp, "");
    sh.type("d");
    shows(kDown, "");
}

// Only a repeat of the newest line is skipped, a recalled newest line
// included; a repeat of an older line is stored again.
TEST_F(HistoryWalk, RepeatsOfTheNewestLineAreStoredOnce)
{
    struct Case {
        std::vector<std::string> entered; // "" is Enter on the recalled line
        std::vector<std::string> ups;
    };
    const Case cases[] = {
        {{"bb", "aa", "aa"}, {"aa", "bb", "bb"}},
        {{"xx", "yy", "<up>", ""}, {"yy", "xx"}},
        {{"aa", "bb", "aa"}, {"aa", "bb", "aa"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.entered));
        for (const std::string &l : c.entered) {
            if (l == "<up>")
                sh.key(kUp);
            else
                enter(l);
        }
        for (const std::string &u : c.ups)
            shows(kUp, u);
        for (size_t i = 0; i < 110; ++i)
            sh.key(kDown);
    }
}

TEST_F(HistoryWalk, StoringEndsTheWalk)
{
    enter("aa");
    enter("bb");
    enter("cc");
    shows(kUp, "cc");
    shows(kUp, "bb");
    enter("x"); // the line is now "bbx"
    shows(kUp, "bbx");
    shows(kUp, "cc");
    shows(kUp, "bb");
    shows(kDown, "cc");
    shows(kDown, "bbx");
    shows(kDown, "");
}

TEST_F(HistoryWalk, WalkSurvivesBuiltInLines)
{
    enter("aa");
    enter("bb");
    enter("cc");
    enter("dd");
    shows(kUp, "dd");
    shows(kUp, "cc");
    rub_out(sh, 2);
    std::string out = sh.line("");
    EXPECT_EQ(out, "\n\r" + prompt_draw(false)) << esc(out);
    shows(kUp, "bb");
    rub_out(sh, 2);
    out = sh.line("help");
    EXPECT_NE(out.find("\nhelp or ?\t: help\n"), std::string::npos) << esc(out);
    shows(kUp, "aa");
    shows(kDown, "bb");
}

TEST_F(HistoryWalk, LinesAreStoredAsTyped)
{
    std::string out = sh.line("Foo BAR");
    EXPECT_EQ(out, "\nunsupport cmd! cmd = foo\n" + prompt_draw(true)) << esc(out);
    shows(kUp, "Foo BAR");
}

TEST_F(HistoryWalk, ByteRunsSummingToTheArrowCodesWalk)
{
    enter("ab");
    shows("\xb7", "ab"); // 183 in one byte
    shows("\xb8", "");   // 184
}

TEST_F(HistoryWalk, FullRingDropsTheOldestLine)
{
    for (int i = 0; i <= 100; ++i)
        enter("l" + std::to_string(i));
    shows(kUp, "l100");
    for (int i = 99; i >= 2; --i) {
        std::string out = sh.key(kUp);
        ASSERT_EQ(out, redraw("l" + std::to_string(i), col_after("l" + std::to_string(i)))) << esc(out);
    }
    shows(kUp, "l1"); // the 100th step reaches the oldest line; l0 is gone
    shows(kUp, "l1");
    shows(kDown, "l2");
}

// ---------------------------------------------------------------- completion

TEST_F(Completion, EmptyLineListsEveryWordInTableOrder)
{
    std::vector<std::string> all(std::begin(kWords), std::end(kWords));
    std::string out = sh.key("\t");
    EXPECT_EQ(out, listing(all, "", 10)) << esc(out);
    out = sh.key("m");
    EXPECT_EQ(out, redraw("m", 11)) << esc(out);
}

TEST_F(Completion, SharedPrefixListsTheCandidates)
{
    struct Case {
        const char *prefix;
        std::vector<std::string> words;
    };
    const std::vector<Case> cases = {
        {"h", {"hr", "hw", "hubreset"}}, {"n", {"nrd", "nwr", "nmrd"}}, {"i", {"ird", "iwr", "imrd"}},
        {"s", {"sd1reset", "status"}},   {"r", {"revkey", "rtcset"}},   {"a", {"adreset", "alarm"}},
        {"c", {"campw", "ctlled"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.prefix);
        sh.type(c.prefix);
        std::string out = sh.key("\t");
        EXPECT_EQ(out, listing(c.words, c.prefix, col_after(c.prefix))) << esc(out);
        rub_out(sh, std::string(c.prefix).size());
    }
    // The cursor column is kept where it stood.
    sh.type("h");
    sh.key(kLeft);
    std::string out = sh.key("\t");
    EXPECT_EQ(out, listing({"hr", "hw", "hubreset"}, "h", 10)) << esc(out);
}

TEST_F(Completion, SingleCandidateCompletesWithABlank)
{
    struct Case {
        const char *prefix;
        const char *word;
    };
    const Case cases[] = {{"hu", "hubreset"}, {"t", "time"},      {"x", "xm"},    {"d", "ddrsize"},
                          {"m", "mbinfo"},    {"b", "buzzer"},    {"nm", "nmrd"}, {"sd", "sd1reset"},
                          {"hr", "hr"},       {"ctlle", "ctlled"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.prefix);
        sh.type(c.prefix);
        std::string done = std::string(c.word) + " ";
        std::string out = sh.key("\t");
        EXPECT_EQ(out, redraw(done, col_after(done))) << esc(out);
        // No word starts with a word and a blank: a second Tab does nothing.
        out = quiet_key(sh, "\t");
        EXPECT_EQ(out, "") << esc(out);
        rub_out(sh, done.size());
    }
}

TEST_F(Completion, NoMatchDrawsNothing)
{
    const char *lines[] = {"H", "HU", "hr 1", "e", "q", "exit", "?", "hubreset1", "z"};
    for (const char *l : lines) {
        SCOPED_TRACE(esc(l));
        std::string text = l;
        sh.type(text);
        std::string out = quiet_key(sh, "\t");
        EXPECT_EQ(out, "") << esc(out);
        // Line and cursor are as they were.
        out = sh.key("!");
        EXPECT_EQ(out, redraw(text + "!", col_after(text) + 1)) << esc(out);
        rub_out(sh, text.size() + 1);
    }
}

TEST_F(Completion, CursorInsideThePrefixMovesToTheEnd)
{
    sh.type("hu");
    std::string out = sh.key(kLeft);
    EXPECT_EQ(out, redraw("hu", 11)) << esc(out);
    out = sh.key("\t");
    EXPECT_EQ(out, redraw("hubreset ", 19)) << esc(out);
    out = sh.key("1");
    EXPECT_EQ(out, redraw("hubreset 1", 20)) << esc(out);
}

TEST_F(Completion, CompletedLineRunsAndIsStored)
{
    sh.type("m");
    sh.key("\t");
    std::string out = sh.line("");
    EXPECT_EQ(out, "\n\x1b[0;32;32mhardware=KD3454, custom=0, mb_version=1\x1b[m  \n" + prompt_draw(true)) << esc(out);
    shows(kUp, "mbinfo ");
}
