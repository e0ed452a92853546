// GPIO pin addressing: single-pin data addresses, level values and the
// whole-bank address for all 72 pins, and no address for a pin that does
// not exist.
#include <gtest/gtest.h>

#include <set>

#include "gpio.h"

namespace {

uint32_t expected_addr(unsigned bank, unsigned bit) { return 0x20150000u + bank * 0x10000u + (1u << (bit + 2)); }

TEST(GpioPins, EveryPinAddressFollowsTheMaskRule) {
  std::set<uint32_t> seen;
  for (unsigned bank = 0; bank < 9; ++bank)
    for (unsigned bit = 0; bit < 8; ++bit) {
      gpio::pin_t p = {uint8_t(bank), uint8_t(bit)};
      SCOPED_TRACE(testing::Message() << "GPIO" << bank << "_" << bit);
      EXPECT_TRUE(gpio::valid(p));
      EXPECT_EQ(gpio::pin_addr(p), expected_addr(bank, bit));
      EXPECT_EQ(gpio::level_value(p, 1), 1u << bit);
      EXPECT_EQ(gpio::level_value(p, 0), 0u);
      seen.insert(gpio::pin_addr(p));
    }
  EXPECT_EQ(seen.size(), 72u);
}

TEST(GpioPins, KnownAddresses) {
  EXPECT_EQ(gpio::pin_addr({0, 3}), 0x20150020u);
  EXPECT_EQ(gpio::pin_addr({2, 4}), 0x20170040u);
  EXPECT_EQ(gpio::pin_addr({2, 7}), 0x20170200u);
  EXPECT_EQ(gpio::pin_addr({6, 1}), 0x201B0008u);
  EXPECT_EQ(gpio::pin_addr({8, 0}), 0x201D0004u);
  EXPECT_EQ(gpio::pin_addr({0, 7}), 0x20150200u);
  EXPECT_EQ(gpio::level_value({0, 7}, 1), 0x80u);
  EXPECT_EQ(gpio::level_value({8, 0}, 1), 0x01u);
}

TEST(GpioPins, WholeBankAddresses) {
  for (unsigned bank = 0; bank < 9; ++bank) EXPECT_EQ(gpio::bank_addr(bank), 0x20150000u + bank * 0x10000u + 0x3FCu);
  EXPECT_EQ(gpio::bank_addr(0), 0x201503FCu);
  EXPECT_EQ(gpio::bank_addr(8), 0x201D03FCu);
}

TEST(GpioPins, PinsOutsideTheBanksHaveNoAddress) {
  EXPECT_FALSE(gpio::valid({9, 0}));
  EXPECT_FALSE(gpio::valid({0, 8}));
  EXPECT_FALSE(gpio::valid({255, 255}));
  EXPECT_EQ(gpio::pin_addr({9, 0}), 0u);
  EXPECT_EQ(gpio::pin_addr({0, 8}), 0u);
  EXPECT_EQ(gpio::pin_addr({9, 8}), 0u);
  EXPECT_EQ(gpio::pin_addr({8, 8}), 0u);
  EXPECT_EQ(gpio::pin_addr({200, 3}), 0u);
}

}  // namespace
