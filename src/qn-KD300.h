// Interface of the board's kernel drivers: device nodes, request codes, the
// five-word request block and the board model codes.
#ifndef QN_KD300_H
#define QN_KD300_H

#include <stdint.h>

namespace qn {

// Linux ioctl request encoding: direction(2) size(14) type(8) number(8).
constexpr uint32_t IOC_WRITE = 1u;
constexpr uint32_t IOC_READ = 2u;
constexpr uint32_t ioc(uint32_t dir, uint32_t type, uint32_t nr, uint32_t size)
{
    return (dir << 30) | (size << 16) | (type << 8) | nr;
}

} // namespace qn

// The drivers declare every request with a size field of 4, although the block
// they copy is five words long.
constexpr uint32_t QN_REG_ACCESS = 0xC00456C9u;
constexpr uint32_t QN_GET_MBINFO = 0xC00456D8u;
constexpr uint32_t QN_BUZZER = 0x400456D1u;
constexpr uint32_t I2C_REG_READ = 0xC00448CFu;
constexpr uint32_t I2C_REG_WRITE = 0xC00448D0u;
// struct rtc_time is nine ints, 36 bytes.
constexpr uint32_t QN_RTC_SET_TIME = 0x4024700Au;

static_assert(QN_REG_ACCESS == qn::ioc(qn::IOC_READ | qn::IOC_WRITE, 'V', 0xC9, 4), "QN_REG_ACCESS");
static_assert(QN_GET_MBINFO == qn::ioc(qn::IOC_READ | qn::IOC_WRITE, 'V', 0xD8, 4), "QN_GET_MBINFO");
static_assert(QN_BUZZER == qn::ioc(qn::IOC_WRITE, 'V', 0xD1, 4), "QN_BUZZER");
static_assert(I2C_REG_READ == qn::ioc(qn::IOC_READ | qn::IOC_WRITE, 'H', 0xCF, 4), "I2C_REG_READ");
static_assert(I2C_REG_WRITE == qn::ioc(qn::IOC_READ | qn::IOC_WRITE, 'H', 0xD0, 4), "I2C_REG_WRITE");
static_assert(QN_RTC_SET_TIME == qn::ioc(qn::IOC_WRITE, 'p', 10, 36), "RTC_SET_TIME");

// Selector (w0) of the I2C requests.
constexpr uint32_t I2C_SEL_PLAIN = 100; // w1 device address, w2 register, w3 value
constexpr uint32_t I2C_SEL_NVP = 0;     // w1 chip id, w2 bank, w3 register, w4 value

// QN_REG_ACCESS direction (w0).
constexpr uint32_t REG_ACCESS_WRITE = 0;
constexpr uint32_t REG_ACCESS_READ = 1;

// The request block of every driver request: five native-order 32-bit words.
// The caller zeroes it and fills the words the request names.
struct qn_req_t {
    uint32_t w0, w1, w2, w3, w4;
};
static_assert(sizeof(qn_req_t) == 20, "the drivers copy five 32-bit words");

// Board model codes reported by QN_GET_MBINFO (w0).
enum : uint32_t {
    HARDWARE_TYPE_BASE = 0x20D97000u,
    HARDWARE_TYPE_KD3151,
    HARDWARE_TYPE_KD3252,
    HARDWARE_TYPE_KD3353,
    HARDWARE_TYPE_KD3454,
    HARDWARE_TYPE_KD3555,
    HARDWARE_TYPE_2,
    HARDWARE_TYPE_3,
};
static_assert(HARDWARE_TYPE_KD3151 == 0x20D97001u && HARDWARE_TYPE_KD3555 == 0x20D97005u &&
                  HARDWARE_TYPE_3 == 0x20D97007u,
              "model codes");

#define QN_DEV_KD300 "/dev/qn_KD300"
#define QN_DEV_TW286X "/dev/tw_286x"
#define QN_DEV_PANEL "/dev/panel"
#define QN_DEV_RTC "/dev/rtc"

#endif
