// In-process fixture for the board model: one model, an observer that keeps
// every trace line (time stamps from a counter the test sets) and every
// pin change.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qn_model.h"

namespace qnmtest {

struct PinChange {
    unsigned bank;
    unsigned old_levels, levels;
};

class Board {
  public:
    explicit Board(uint32_t model = 0x20D97004, uint32_t gp_id = 0, uint32_t mb_version = 1) : m_(new qn_model)
    {
        qnm_init(m_.get(), model, gp_id, mb_version);
        qnm_observer o{};
        o.ctx = this;
        o.now_us = [](void *ctx) -> int64_t { return static_cast<Board *>(ctx)->now; };
        o.event = [](void *ctx, int64_t t, const qnm_event *ev) { static_cast<Board *>(ctx)->note(t, *ev); };
        qnm_set_observer(m_.get(), &o);
    }
    qn_model *m()
    {
        return m_.get();
    }

    int64_t now = 1000;
    std::vector<std::string> lines; // trace lines, without time stamp and '\n'
    std::vector<PinChange> pins;

    // Lines and pin changes since the last call.
    std::vector<std::string> take_lines()
    {
        std::vector<std::string> l;
        l.swap(lines);
        return l;
    }
    std::vector<PinChange> take_pins()
    {
        std::vector<PinChange> p;
        p.swap(pins);
        return p;
    }

    // A request of a call on its node, on a block given as five words; *out
    // gets the block after.
    int request(qnm_call call, std::vector<uint32_t> in, std::vector<uint32_t> *out = nullptr)
    {
        uint32_t w[5] = {};
        for (size_t i = 0; i < 5 && i < in.size(); ++i)
            w[i] = in[i];
        qnm_node node = call == QNM_CALL_I2C_RD || call == QNM_CALL_I2C_WR ? QNM_NODE_TW
                        : call == QNM_CALL_RTC_SET                         ? QNM_NODE_RTC
                                                                           : QNM_NODE_KD;
        int r = qnm_ioctl(m(), node, qnm_call_code(call), w);
        if (out)
            out->assign(w, w + 5);
        return r;
    }
    int ctl(const std::string &line)
    {
        return qnm_control(m(), line.data(), line.size(), err, sizeof err);
    }
    char err[256] = "";

  private:
    void note(int64_t t, const qnm_event &ev)
    {
        if (ev.kind == QNM_EV_PINS) {
            pins.push_back({ev.u.pins.bank, ev.u.pins.old_levels, ev.u.pins.levels});
            return;
        }
        char buf[QNM_TRACE_MAX];
        size_t n = qnm_format_trace(buf, sizeof buf, t, &ev);
        std::string l(buf, n);
        std::string stamp = std::to_string(t) + " ";
        EXPECT_EQ(l.compare(0, stamp.size(), stamp), 0) << l;
        EXPECT_EQ(l.back(), '\n') << l;
        lines.push_back(l.substr(stamp.size(), l.size() - stamp.size() - 1));
    }
    std::unique_ptr<qn_model> m_;
};

inline std::vector<uint8_t> bytes_of(const qn_model *m)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>(m);
    return std::vector<uint8_t>(p, p + sizeof *m);
}

} // namespace qnmtest
