// The step runner of the end-to-end suites: types a line, then compares
// what it printed, the requests it made and the pins it moved.
#include <gtest/gtest.h>

#include "pty_shell.h"

namespace qntest {

namespace {

// Pin changes of a waveform from the index `from` on, one "GPIOb_i=L" a line.
std::string moves_text(const std::vector<Wave::Change> &changes, size_t from)
{
    std::string s;
    for (size_t i = from; i < changes.size(); ++i)
        s += pin_name(changes[i].pin) + "=" + std::to_string(changes[i].level) + "\n";
    return s;
}

} // namespace

PtyShell::Run run_step(PtyShell &sh, const Step &st)
{
    SCOPED_TRACE("line '" + st.line + "'");
    for (const std::string &c : st.ctl) {
        const size_t refused = sh.trace_grep(" ctl-error ").size();
        sh.ctl(c);
        EXPECT_TRUE(sh.ctl_sync()) << "control line '" << c << "' not taken";
        EXPECT_EQ(sh.trace_grep(" ctl-error ").size(), refused) << "control line '" << c << "' refused";
    }
    const bool moves = !(st.skip & kAnyMoves);
    const size_t changes_before = moves ? parse_vcd(sh.vcd()).changes.size() : 0;
    PtyShell::Run r = sh.run(st.line, st.timeout_ms);
    EXPECT_TRUE(r.prompt) << "no prompt: " << esc(r.out);
    EXPECT_FALSE(sanitizer_text(r.out)) << r.out;
    if (!(st.skip & kAnyOut))
        EXPECT_EQ(esc(r.out), esc("\n" + st.out));
    if (!(st.skip & kAnyRequests))
        EXPECT_EQ(join(requests(r.trace, true)), join(st.reqs));
    if (moves) {
        Wave w = parse_vcd(sh.vcd());
        EXPECT_TRUE(w.ok) << "waveform incomplete";
        std::vector<Wave::Change> want;
        for (const Move &m : st.moves)
            want.push_back({0, m.pin, m.level});
        EXPECT_EQ(moves_text(w.changes, changes_before), moves_text(want, 0)) << w.text();
        for (size_t i = 1; i < st.moves.size() && changes_before + i < w.changes.size(); ++i)
            EXPECT_GE(w.changes[changes_before + i].t - w.changes[changes_before + i - 1].t, st.moves[i].after_us)
                << "change " << i << " came early\n"
                << w.text();
    }
    return r;
}

void run_steps(PtyShell &sh, const std::vector<Step> &steps)
{
    for (const Step &st : steps)
        run_step(sh, st);
}

void run_session(const PtyShell::Options &opts, const std::vector<Step> &steps)
{
    PtyShell sh(opts);
    ASSERT_TRUE(sh.wait_prompt()) << esc(sh.peek());
    run_steps(sh, steps);
}

} // namespace qntest
