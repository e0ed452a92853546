// The simulator's board link (QNSIM_LINK) end to end: a subscriber of
// "@events" receives every line the trace file gets, in the same order, plus
// the link's own "T pins BANK LL" lines.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pty_shell.h"

using namespace qntest;

namespace {

// A client of the link socket: one request line, then lines as they come.
class LinkClient {
  public:
    explicit LinkClient(const std::string &path)
    {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        if (path.size() >= sizeof sa.sun_path)
            return;
        std::strcpy(sa.sun_path, path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~LinkClient()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    LinkClient(const LinkClient &) = delete;
    LinkClient &operator=(const LinkClient &) = delete;

    bool ok() const
    {
        return fd_ >= 0;
    }
    bool send(const std::string &line)
    {
        std::string l = line + "\n";
        return ::send(fd_, l.data(), l.size(), MSG_NOSIGNAL) == ssize_t(l.size());
    }
    // The next line without its '\n'; false when none came in timeout_ms.
    bool line(std::string *out, int timeout_ms = 10000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t nl;
        while ((nl = buf_.find('\n')) == std::string::npos) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p = {fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
                return false;
            char tmp[65536];
            ssize_t n = read(fd_, tmp, sizeof tmp);
            if (n <= 0)
                return false;
            buf_.append(tmp, size_t(n));
        }
        *out = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
    }

  private:
    int fd_ = -1;
    std::string buf_;
};

bool is_kind(const std::string &line, const std::string &kind)
{
    std::vector<Event> e = events({line});
    return !e.empty() && e[0].kind == kind;
}

// The lines strictly between the last two "sync" lines.
std::vector<std::string> between_syncs(const std::vector<std::string> &lines)
{
    std::vector<size_t> at;
    for (size_t i = 0; i < lines.size(); ++i)
        if (is_kind(lines[i], "sync"))
            at.push_back(i);
    if (at.size() < 2)
        return {};
    size_t a = at[at.size() - 2], b = at.back();
    return std::vector<std::string>(lines.begin() + long(a) + 1, lines.begin() + long(b));
}

struct LinkCase {
    const char *name;
    const char *model;
    const char *cmd;
    std::map<std::string, size_t> kinds; // trace line kinds and their counts (0: at least one)
    size_t pins;                         // pins lines on the link (0: none)
};

const LinkCase kLinkCases[] = {
    // 1290 requests and a pause after each: 2580 lines.
    {"XmDecoder60", "KD3454", "xm 0x60", {{"ioctl", 1290}, {"usleep", 1290}}, 0},
    {"RtcsetOpensSetsAndRunsTools",
     "KD3454",
     "rtcset 2030 1 2 3 4 5",
     {{"open", 0}, {"close", 0}, {"ioctl", 0}, {"settimeofday", 1}, {"system", 0}},
     0},
    {"HubresetPulse", "KD3454", "hubreset", {{"ioctl", 3}, {"usleep", 3}}, 3},
    {"Kd3353HubresetPulse", "KD3353", "hubreset", {{"ioctl", 3}, {"usleep", 3}}, 2},
};

class LinkEvents : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkEvents, SubscriberGetsEveryTraceLine)
{
    const LinkCase &c = GetParam();
    PtyShell sh(PtyShell::with({{"QNSIM_MODEL", c.model}, {"QNSIM_LINK", "link.sock"}}));
    ASSERT_TRUE(sh.wait_prompt());
    const std::string path = sh.dir() + "/link.sock";
    ASSERT_TRUE(sh.eventually([&] { return access(path.c_str(), F_OK) == 0; }));
    LinkClient link(path);
    ASSERT_TRUE(link.ok());
    ASSERT_TRUE(link.send("@events"));
    std::string l;
    ASSERT_TRUE(link.line(&l));
    ASSERT_EQ(l, "ok");

    ASSERT_TRUE(sh.ctl_sync());
    PtyShell::Run r = sh.run(c.cmd, 30000);
    ASSERT_TRUE(r.prompt) << esc(r.drawn);
    ASSERT_TRUE(sh.ctl_sync());

    std::vector<std::string> got;
    size_t syncs = 0;
    while (syncs < 2) {
        ASSERT_TRUE(link.line(&l)) << "link so far:\n" << join(got);
        got.push_back(l);
        syncs += is_kind(l, "sync");
    }
    std::vector<std::string> linked, pins;
    for (const std::string &x : between_syncs(got))
        (is_kind(x, "pins") ? pins : linked).push_back(x);
    std::vector<std::string> traced = between_syncs(sh.trace());

    EXPECT_EQ(join(linked), join(traced));
    std::map<std::string, size_t> kinds;
    for (const Event &e : events(traced))
        ++kinds[e.kind];
    for (const auto &k : c.kinds) {
        if (k.second)
            EXPECT_EQ(kinds[k.first], k.second) << k.first;
        else
            EXPECT_GT(kinds[k.first], 0u) << k.first;
    }
    EXPECT_EQ(pins.size(), c.pins) << join(pins);
    for (const std::string &p : pins)
        EXPECT_EQ(traced.end(), std::find(traced.begin(), traced.end(), p)) << "the trace keeps no pins lines";
}

INSTANTIATE_TEST_SUITE_P(Link, LinkEvents, ::testing::ValuesIn(kLinkCases),
                         [](const ::testing::TestParamInfo<LinkCase> &i) { return std::string(i.param.name); });

// A shell on the simulator with its link socket, and one subscriber.
struct Linked {
    PtyShell sh;
    std::string path;
    explicit Linked(const char *model) : sh(PtyShell::with({{"QNSIM_MODEL", model}, {"QNSIM_LINK", "link.sock"}}))
    {
        path = sh.dir() + "/link.sock";
    }
    bool up()
    {
        return sh.wait_prompt() && sh.eventually([&] { return access(path.c_str(), F_OK) == 0; });
    }
    // The snapshot's lines, through a connection of its own.
    std::vector<std::string> state()
    {
        LinkClient q(path);
        std::vector<std::string> lines;
        std::string l;
        if (!q.send("@state"))
            return lines;
        while (q.line(&l) && l != "end")
            lines.push_back(l);
        return lines;
    }
};

// The wiring row of each model's hub reset names the pin the shell's pulse
// moves: to the active level and back.
struct PulseCase {
    const char *model;
    const char *part; // the snapshot's line of the part
    int bank, bit, active;
};

const PulseCase kPulseCases[] = {
    {"KD3252", "part reset hubreset 0_3 0", 0, 3, 0},
    {"KD3353", "part reset hubreset 0_3 1", 0, 3, 1},
    {"KD3454", "part reset hubreset 6_1 0", 6, 1, 0},
    {"KD3555", "part reset hubreset 0_6 1", 0, 6, 1},
};

class LinkHubReset : public ::testing::TestWithParam<PulseCase> {};

TEST_P(LinkHubReset, SnapshotNamesThePinThePulseMoves)
{
    const PulseCase &c = GetParam();
    Linked b(c.model);
    ASSERT_TRUE(b.up());
    std::vector<std::string> st = b.state();
    EXPECT_NE(std::find(st.begin(), st.end(), c.part), st.end()) << join(st);

    LinkClient link(b.path);
    std::string l;
    ASSERT_TRUE(link.send("@events") && link.line(&l) && l == "ok") << l;
    PtyShell::Run r = b.sh.run("hubreset");
    ASSERT_TRUE(r.prompt);
    ASSERT_TRUE(b.sh.ctl_sync());
    // the pin's levels, from its bank's pins lines, up to the sync
    std::vector<int> levels;
    while (link.line(&l) && !is_kind(l, "sync")) {
        std::vector<Event> e = events({l});
        unsigned bank = 0, lv = 0;
        if (e[0].kind == "pins" && std::sscanf(e[0].rest.c_str(), "%u %x", &bank, &lv) == 2 && int(bank) == c.bank)
            levels.push_back((lv >> c.bit) & 1);
    }
    ASSERT_FALSE(levels.empty()) << "no change of bank " << c.bank;
    std::vector<int> pulse;
    for (int v : levels)
        if (pulse.empty() || pulse.back() != v)
            pulse.push_back(v);
    if (pulse.front() != c.active)
        pulse.erase(pulse.begin()); // the idle level first, from a pin that stood at the other
    EXPECT_EQ(pulse, (std::vector<int>{c.active, 1 - c.active}));
}

INSTANTIATE_TEST_SUITE_P(Link, LinkHubReset, ::testing::ValuesIn(kPulseCases),
                         [](const ::testing::TestParamInfo<PulseCase> &i) { return std::string(i.param.model); });

// The snapshot names the fault rules the simulator accepts, and each is
// accepted as a control line; another name is refused.
TEST(LinkState, FaultsLineNamesWhatTheSimulatorAccepts)
{
    Linked b("KD3454");
    ASSERT_TRUE(b.up());
    std::vector<std::string> st = b.state();
    std::string faults;
    for (const std::string &l : st)
        if (starts_with(l, "faults "))
            faults = l;
    EXPECT_EQ(faults, "faults QN_REG_ACCESS QN_GET_MBINFO QN_BUZZER I2C_REG_READ I2C_REG_WRITE RTC_SET_TIME "
                      "settimeofday");
    LinkClient q(b.path);
    std::string l;
    std::istringstream words(faults);
    words >> l;
    for (std::string name; words >> name;) {
        ASSERT_TRUE(q.send("fail " + name + "@1000") && q.line(&l));
        EXPECT_EQ(l, "ok") << name;
    }
    ASSERT_TRUE(q.send("fail NO_SUCH_CALL") && q.line(&l));
    EXPECT_TRUE(starts_with(l, "error: ")) << l;
    ASSERT_TRUE(q.send("@bogus") && q.line(&l));
    EXPECT_EQ(l, "error: unknown request @bogus");
}

} // namespace
