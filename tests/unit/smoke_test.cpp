#include <gtest/gtest.h>

#include "parse_cmd.h"

TEST(AscToU32, HexAfterPrefix) {
  int err = 0;
  EXPECT_EQ(asc_to_u32("0x1F", &err), 31u);
  EXPECT_EQ(err, 0);
  err = 0;
  EXPECT_EQ(asc_to_u32("0X10", &err), 16u);
  EXPECT_EQ(err, 0);
}

TEST(AscToU32, DecimalWithoutPrefix) {
  int err = 0;
  EXPECT_EQ(asc_to_u32("42", &err), 42u);
  EXPECT_EQ(err, 0);
}

TEST(AscToU32, RejectsHexDigitsInDecimal) {
  int err = 0;
  asc_to_u32("12a", &err);
  EXPECT_EQ(err, -1);
}
