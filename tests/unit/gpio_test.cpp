// GPIO pin addressing: single-pin data addresses, level values and the
// whole-bank address for all 72 pins, and no address for a pin that does
// not exist.
#include <gtest/gtest.h>

#include <set>

#include "gpio.h"

namespace {

// The data address of every pin, GPIO0_0 to GPIO8_7: the bank's base plus
// the pin's mask bit shifted past the word offset.
const uint32_t kPinAddr[9][8] = {
    {0x20150004, 0x20150008, 0x20150010, 0x20150020, 0x20150040, 0x20150080, 0x20150100, 0x20150200}, // GPIO0
    {0x20160004, 0x20160008, 0x20160010, 0x20160020, 0x20160040, 0x20160080, 0x20160100, 0x20160200}, // GPIO1
    {0x20170004, 0x20170008, 0x20170010, 0x20170020, 0x20170040, 0x20170080, 0x20170100, 0x20170200}, // GPIO2
    {0x20180004, 0x20180008, 0x20180010, 0x20180020, 0x20180040, 0x20180080, 0x20180100, 0x20180200}, // GPIO3
    {0x20190004, 0x20190008, 0x20190010, 0x20190020, 0x20190040, 0x20190080, 0x20190100, 0x20190200}, // GPIO4
    {0x201A0004, 0x201A0008, 0x201A0010, 0x201A0020, 0x201A0040, 0x201A0080, 0x201A0100, 0x201A0200}, // GPIO5
    {0x201B0004, 0x201B0008, 0x201B0010, 0x201B0020, 0x201B0040, 0x201B0080, 0x201B0100, 0x201B0200}, // GPIO6
    {0x201C0004, 0x201C0008, 0x201C0010, 0x201C0020, 0x201C0040, 0x201C0080, 0x201C0100, 0x201C0200}, // GPIO7
    {0x201D0004, 0x201D0008, 0x201D0010, 0x201D0020, 0x201D0040, 0x201D0080, 0x201D0100, 0x201D0200}, // GPIO8
};
// The level value that drives a pin high, by bit.
const uint32_t kHigh[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
// The whole-bank data address of banks 0 to 8.
const uint32_t kBankAddr[9] = {0x201503FC, 0x201603FC, 0x201703FC, 0x201803FC, 0x201903FC,
                               0x201A03FC, 0x201B03FC, 0x201C03FC, 0x201D03FC};

TEST(GpioPins, EveryPinAddressFollowsTheMaskRule)
{
    std::set<uint32_t> seen;
    for (unsigned bank = 0; bank < 9; ++bank)
        for (unsigned bit = 0; bit < 8; ++bit) {
            gpio::pin_t p = {uint8_t(bank), uint8_t(bit)};
            SCOPED_TRACE(testing::Message() << "GPIO" << bank << "_" << bit);
            EXPECT_TRUE(gpio::valid(p));
            EXPECT_EQ(gpio::pin_addr(p), kPinAddr[bank][bit]);
            EXPECT_EQ(gpio::level_value(p, 1), kHigh[bit]);
            EXPECT_EQ(gpio::level_value(p, 0), 0u);
            seen.insert(gpio::pin_addr(p));
        }
    EXPECT_EQ(seen.size(), 72u);
}

TEST(GpioPins, KnownAddresses)
{
    EXPECT_EQ(gpio::pin_addr({0, 3}), 0x20150020u);
    EXPECT_EQ(gpio::pin_addr({2, 4}), 0x20170040u);
    EXPECT_EQ(gpio::pin_addr({2, 7}), 0x20170200u);
    EXPECT_EQ(gpio::pin_addr({6, 1}), 0x201B0008u);
    EXPECT_EQ(gpio::pin_addr({8, 0}), 0x201D0004u);
    EXPECT_EQ(gpio::pin_addr({0, 7}), 0x20150200u);
    EXPECT_EQ(gpio::level_value({0, 7}, 1), 0x80u);
    EXPECT_EQ(gpio::level_value({8, 0}, 1), 0x01u);
}

TEST(GpioPins, WholeBankAddresses)
{
    for (unsigned bank = 0; bank < 9; ++bank)
        EXPECT_EQ(gpio::bank_addr(bank), kBankAddr[bank]);
    EXPECT_EQ(gpio::bank_addr(0), 0x201503FCu);
    EXPECT_EQ(gpio::bank_addr(8), 0x201D03FCu);
}

TEST(GpioPins, PinsOutsideTheBanksHaveNoAddress)
{
    EXPECT_FALSE(gpio::valid({9, 0}));
    EXPECT_FALSE(gpio::valid({0, 8}));
    EXPECT_FALSE(gpio::valid({255, 255}));
    EXPECT_EQ(gpio::pin_addr({9, 0}), 0u);
    EXPECT_EQ(gpio::pin_addr({0, 8}), 0u);
    EXPECT_EQ(gpio::pin_addr({9, 8}), 0u);
    EXPECT_EQ(gpio::pin_addr({8, 8}), 0u);
    EXPECT_EQ(gpio::pin_addr({200, 3}), 0u);
}

} // namespace
