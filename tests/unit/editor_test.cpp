// Line editing, history ring and completion, driven through the editor's own
// functions; the drawing is captured from standard error.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "capture.h"
#include "console_seq.h"
#include "qn_shell.h"

#include "../param_name.h"

namespace {

constexpr int P = 10; // prompt length

std::string redraw(const std::string &text, int col)
{
    return SEQ_HIDE_CURSOR "\r" SEQ_CSI "10" SEQ_RIGHT_END SEQ_ERASE_TO_EOL + text + "\r" SEQ_CSI +
           std::to_string(col) + SEQ_RIGHT_END SEQ_SHOW_CURSOR;
}

struct Line {
    char buf[CMD_LEN];
    Line(const char *text, int cursor)
    {
        memset(buf, 0, sizeof buf);
        strcpy(buf, text);
        cursor_x = P + cursor;
    }
    int edit(int key)
    {
        return cmd_edit(buf, key);
    }
    int pos() const
    {
        return cursor_x - P;
    }
};

struct EditCase {
    const char *text;
    int cursor;
    int key;
    const char *after;
    int cursor_after;
};

class Edit : public ::testing::TestWithParam<EditCase> {};

TEST_P(Edit, AppliesKey)
{
    const EditCase &c = GetParam();
    Line l(c.text, c.cursor);
    EXPECT_EQ(l.edit(c.key), 0);
    EXPECT_STREQ(l.buf, c.after);
    EXPECT_EQ(l.pos(), c.cursor_after);
    // Every byte after the text stays zero.
    for (size_t i = strlen(l.buf); i < sizeof l.buf; ++i)
        ASSERT_EQ(l.buf[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Keys, Edit,
                         ::testing::Values(EditCase{"abc", 0, KEY_BACKSPACE, "abc", 0}, // backspace at start
                                           EditCase{"abc", 2, KEY_BACKSPACE, "ac", 1},  // left of the cursor
                                           EditCase{"abc", 3, KEY_DEL, "abc", 3},       // DEL at the end
                                           EditCase{"abc", 1, KEY_DEL, "ac", 1},        // under the cursor
                                           EditCase{"", 0, KEY_DEL, "", 0}, EditCase{"abc", 1, KEY_END, "abc", 3},
                                           EditCase{"abc", 2, KEY_HOME, "abc", 0},
                                           EditCase{"abc", 3, KEY_RIGHT, "abc", 3}, // right at the end
                                           EditCase{"abc", 1, KEY_RIGHT, "abc", 2},
                                           EditCase{"abc", 0, KEY_LEFT, "abc", 0}, // left at the start
                                           EditCase{"abc", 2, KEY_LEFT, "abc", 1},
                                           EditCase{"abc", 1, 'X', "aXbc", 2}, // insert before the cursor
                                           EditCase{"abc", 0, '~', "~abc", 1}, EditCase{"abc", 3, ' ', "abc ", 4},
                                           EditCase{"abc", 1, 195, "abc", 1}, // two pasted letters
                                           EditCase{"abc", 1, 31, "abc", 1}, EditCase{"abc", 1, 0, "abc", 1},
                                           EditCase{"abc", 1, 295, "abc", 1}), // ESC [ 3 ~ has no binding
                         [](const ::testing::TestParamInfo<EditCase> &i) {
                             return qntest::param_name(std::string("key ") + std::to_string(i.param.key) + " at " +
                                                           std::to_string(i.param.cursor) + " of " + i.param.text,
                                                       i.index);
                         });

TEST(Edit, FullLineIgnoresPrintableKeys)
{
    std::string full(CMD_LEN - 1, 'x');
    Line l(full.c_str(), 50);
    l.edit('y');
    EXPECT_EQ(std::string(l.buf), full);
    EXPECT_EQ(l.pos(), 50);
    EXPECT_EQ(l.buf[CMD_LEN - 1], 0);
}

TEST(Edit, InsertAndDeleteCheckTheirRange)
{
    char buf[CMD_LEN] = "ab";
    EXPECT_EQ(cmd_insert(buf, -1, 'x'), -1);
    EXPECT_EQ(cmd_insert(buf, 3, 'x'), -1);
    EXPECT_EQ(cmd_insert(buf, 2, 'x'), 0);
    EXPECT_STREQ(buf, "abx");
    EXPECT_EQ(cmd_delete(buf, 3), -1);
    EXPECT_EQ(cmd_delete(buf, -1), -1);
    EXPECT_EQ(cmd_delete(buf, 0), 0);
    EXPECT_STREQ(buf, "bx");
    char empty[CMD_LEN] = "";
    EXPECT_EQ(cmd_delete(empty, 0), -1);
}

TEST(Drawing, EchoRedrawsTheWholeLine)
{
    char buf[CMD_LEN] = "hr 0x10";
    cursor_x = P + 3;
    qntest::CaptureFd cap(2);
    cmd_echo(buf);
    EXPECT_EQ(cap.finish(), redraw("hr 0x10", 13));
}

TEST(Drawing, PromptStartsANewRowOnlyPastThePrompt)
{
    const int cols[] = {0, P, P + 2};
    for (int col : cols) {
        SCOPED_TRACE(col);
        cursor_x = col;
        qntest::CaptureFd cap(2);
        usr_echo();
        EXPECT_EQ(cap.finish(), std::string(SEQ_HIDE_CURSOR "\r") + (col > P ? "\n" : "") +
                                    SEQ_LEFT_100 SEQ_ERASE_TO_EOL "\rquenta $: " SEQ_SHOW_CURSOR);
        EXPECT_EQ(cursor_x, P);
    }
}

// The names stand for the bytes a VT100 terminal knows; written out here
// once, so that a slip in the header cannot hide behind the names.
TEST(Drawing, SequenceNamesAreTheTerminalsBytes)
{
    const struct {
        const char *name, *seq, *bytes;
    } rows[] = {
        {"HIDE_CURSOR", SEQ_HIDE_CURSOR, "\x1b[?25l"}, {"SHOW_CURSOR", SEQ_SHOW_CURSOR, "\x1b[?25h"},
        {"ERASE_TO_EOL", SEQ_ERASE_TO_EOL, "\x1b[K"},  {"LEFT_100", SEQ_LEFT_100, "\x1b[100D"},
        {"RIGHT_FMT", SEQ_RIGHT_FMT, "\x1b[%dC"},      {"CLEAR_SCREEN", SEQ_CLEAR_SCREEN, "\x1b[2J"},
        {"CURSOR_HOME", SEQ_CURSOR_HOME, "\x1b[1;1H"}, {"RED", SEQ_RED, "\x1b[0;32;31m"},
        {"GREEN", SEQ_GREEN, "\x1b[0;32;32m"},         {"NORMAL", SEQ_NORMAL, "\x1b[m"},
    };
    for (const auto &r : rows)
        EXPECT_STREQ(r.seq, r.bytes) << r.name;
}

// ------------------------------------------------------------------ completion

// Completion over a table of its own, as the interpreter's tests do: no
// terminal needed, the drawing is captured from standard error.
const sub_fun_t kCompletionTable[] = {
    {"alpha", nullptr, ""}, {"alps", nullptr, ""}, {"beta", nullptr, ""}, {nullptr, nullptr, nullptr}};

struct CompletionCase {
    const char *typed;
    int cursor;
    const char *after; // the line afterwards
    int cursor_after;
    std::string drawn;
};

TEST(CompletionTable, CompletesAndListsOverAGivenTable)
{
    const CompletionCase cases[] = {
        {"b", 1, "beta ", 5, redraw("beta ", P + 5)},
        {"al", 1, "al", 1, "\n\ralpha\talps\t\n\rquenta $: " + redraw("al", P + 1)},
        {"", 0, "", 0, "\n\ralpha\talps\tbeta\t\n\rquenta $: " + redraw("", P)},
        {"alpha", 5, "alpha ", 6, redraw("alpha ", P + 6)},
        {"alpha ", 6, "alpha ", 6, ""},
        {"Beta", 4, "Beta", 4, ""},
        {"x", 1, "x", 1, ""},
    };
    for (const CompletionCase &c : cases) {
        SCOPED_TRACE(c.typed);
        Line l(c.typed, c.cursor);
        qntest::CaptureFd cap(2);
        EXPECT_EQ(complete_line(l.buf, kCompletionTable), 0);
        EXPECT_EQ(cap.finish(), c.drawn);
        EXPECT_STREQ(l.buf, c.after);
        EXPECT_EQ(l.pos(), c.cursor_after);
    }
}

// ------------------------------------------------------------------ history

class History : public ::testing::Test {
  protected:
    void SetUp() override
    {
        history_reset();
    }
    void store(const std::string &s)
    {
        save_cmd(s.c_str());
    }
    std::string up()
    {
        return cmd_history(KEY_UP);
    }
    std::string down()
    {
        return cmd_history(KEY_DOWN);
    }
    void invariant()
    {
        ASSERT_GE(history_up_index, 0);
        ASSERT_LE(history_up_index, HISTORY_NUM);
        ASSERT_GE(history_cmd_index, 0);
        ASSERT_LT(history_cmd_index, HISTORY_NUM);
    }
};

TEST_F(History, EmptyGivesEmptyLines)
{
    EXPECT_EQ(up(), "");
    EXPECT_EQ(down(), "");
    EXPECT_EQ(history_up_index, 0);
}

TEST_F(History, UpDownUp)
{
    store("a");
    EXPECT_EQ(up(), "a");
    EXPECT_EQ(down(), "");
    EXPECT_EQ(up(), "a");
}

TEST_F(History, NotFullStaysOnTheOldest)
{
    store("a");
    store("b");
    EXPECT_EQ(up(), "b");
    EXPECT_EQ(up(), "a");
    EXPECT_EQ(up(), "a");
    EXPECT_EQ(down(), "b");
    EXPECT_EQ(down(), "");
    EXPECT_EQ(down(), "");
    invariant();
}

TEST_F(History, OnlyARepeatOfTheNewestIsSkipped)
{
    store("a");
    store("a");
    EXPECT_EQ(history_cmd_count, 1);
    store("b");
    store("a");
    EXPECT_EQ(history_cmd_count, 3);
    // A recalled line equal to the newest is not stored again.
    EXPECT_EQ(up(), "a");
    store("a");
    EXPECT_EQ(history_cmd_count, 3);
    EXPECT_EQ(history_up_index, 0);
}

TEST_F(History, ARecalledOlderLineIsStoredAgainAndEndsTheWalk)
{
    store("a");
    store("b");
    EXPECT_EQ(up(), "b");
    EXPECT_EQ(up(), "a");
    store("a");
    EXPECT_EQ(history_cmd_count, 3);
    EXPECT_EQ(up(), "a");
    EXPECT_EQ(up(), "b");
}

TEST_F(History, AWalkSurvivesBuiltInLines)
{
    store("a");
    store("b");
    store("c");
    EXPECT_EQ(up(), "c");
    EXPECT_EQ(up(), "b");
    // Enter on an empty line or a built-in word stores nothing.
    EXPECT_EQ(up(), "a");
}

TEST_F(History, FullRingOverwritesTheOldest)
{
    for (int i = 1; i <= 101; ++i)
        store("l" + std::to_string(i));
    EXPECT_EQ(history_cmd_count, 100);
    EXPECT_EQ(up(), "l101");
    for (int i = 2; i <= 99; ++i)
        up();
    EXPECT_EQ(up(), "l2"); // 100th Up: the oldest
    EXPECT_EQ(up(), "l2"); // 101st Up stays there
    EXPECT_EQ(down(), "l3");
    invariant();
    for (int i = 4; i <= 101; ++i)
        EXPECT_EQ(down(), "l" + std::to_string(i));
    EXPECT_EQ(down(), "");
    store("l102");
    EXPECT_EQ(up(), "l102");
    invariant();
}

TEST_F(History, StoredLinesAreKeptAsTyped)
{
    char line[CMD_LEN] = "HR 0X10";
    save_cmd(line);
    line[0] = 'h';
    EXPECT_EQ(up(), "HR 0X10");
}

} // namespace
