// GPIO pins of the Hi3520D: bank 0 to 8, bit 0 to 7, reached through the
// masked data registers. A write at base + (mask << 2) changes only the
// masked pins, so one write drives one pin without a read of the bank.
#ifndef QN_GPIO_H
#define QN_GPIO_H

#include <stdint.h>

namespace gpio {

constexpr uint32_t GPIO0_BASE = 0x20150000u;
constexpr uint32_t BANK_STRIDE = 0x10000u;
constexpr int BANKS = 9;
constexpr int BITS = 8;

struct pin_t {
    uint8_t bank;
    uint8_t bit;
};

constexpr bool valid(pin_t p)
{
    return p.bank < BANKS && p.bit < BITS;
}

constexpr uint32_t bank_base(uint32_t bank)
{
    return GPIO0_BASE + bank * BANK_STRIDE;
}

// Single-pin data address; a pin outside the banks has none (0).
constexpr uint32_t pin_addr(pin_t p)
{
    return valid(p) ? bank_base(p.bank) + (1u << (p.bit + 2)) : 0;
}

// Whole-bank data address (mask 0xFF): pin b of the bank in bit b.
constexpr uint32_t bank_addr(uint32_t bank)
{
    return bank_base(bank) + 0x3FCu;
}

constexpr uint32_t level_value(pin_t p, int level)
{
    return level ? (1u << p.bit) : 0u;
}

static_assert(pin_addr({0, 3}) == 0x20150020u, "GPIO0_3");
static_assert(pin_addr({2, 7}) == 0x20170200u, "GPIO2_7");
static_assert(pin_addr({6, 1}) == 0x201B0008u, "GPIO6_1");
static_assert(pin_addr({8, 0}) == 0x201D0004u, "GPIO8_0");
static_assert(pin_addr({0, 7}) == 0x20150200u, "GPIO0_7");
static_assert(bank_addr(8) == 0x201D03FCu, "GPIO8 bank");
static_assert(bank_addr(0) == 0x201503FCu, "GPIO0 bank");
static_assert(pin_addr({9, 0}) == 0 && pin_addr({0, 8}) == 0, "no such pin");

// Drive one pin (one register write) / read a whole bank (one register read).
void pin_write(pin_t p, int level);
uint32_t bank_read(uint32_t bank);

} // namespace gpio

#endif
