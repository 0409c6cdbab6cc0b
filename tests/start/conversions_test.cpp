// The chips' frequency words at and around their limits.
#include <gtest/gtest.h>

#include "crx_hal/if_conv.h"

namespace {

using crx::ChanReg;
using crx::IFinv;
using crx::IFreg;

TEST(IfWords, LimitsAndTruncation) {
  EXPECT_EQ(IFreg(16000000), 4096);
  EXPECT_EQ(IFreg(16000001), -32768);
  EXPECT_EQ(IFreg(-15996094), -4095);
  EXPECT_EQ(IFreg(-15996095), -32768);
  EXPECT_EQ(IFreg(3906), 0) << "truncated toward zero";
  EXPECT_EQ(IFreg(-3906), 0);
  EXPECT_EQ(IFreg(3907), 1);
  EXPECT_EQ(IFreg(2400000), 614);

  EXPECT_EQ(IFinv(0), 0);
  EXPECT_EQ(IFinv(1), -3907) << "arithmetic shift rounds toward minus infinity";
  EXPECT_EQ(IFinv(-1), 3906);
  EXPECT_EQ(IFinv(4095), -15996094);
  EXPECT_EQ(IFinv(-4096), 16000000);
  EXPECT_EQ(IFinv(4096), crx::kIfInvalid);
  EXPECT_EQ(IFinv(-4097), crx::kIfInvalid);
  EXPECT_EQ(IFinv(-32768), crx::kIfInvalid);
  // The centre a chip ends on is within one step of what was asked.
  for (int32_t f : {-1500000, -3906, 0, 1234567, 15000000})
    EXPECT_NEAR(-double(IFinv(IFreg(f))), f, 3906.25) << f;
}

TEST(ChannelWords, LimitsSignAndTruncation) {
  EXPECT_EQ(ChanReg(-1999512), 4095);
  EXPECT_EQ(ChanReg(-1999513), -32768);
  EXPECT_EQ(ChanReg(2000000), -4096);
  EXPECT_EQ(ChanReg(2000001), -32768);
  EXPECT_EQ(ChanReg(488), 0);
  EXPECT_EQ(ChanReg(489), -1);
  EXPECT_EQ(ChanReg(-200000), 409);
}

TEST(ReceiveDividers, CappedAtSixtyThree) {
  EXPECT_EQ(crx::rx_divider(915000000, 2), 8);
  EXPECT_EQ(crx::rx_divider(915000000, 8), 35);
  EXPECT_EQ(crx::rx_divider(100000000, 8), 63);
  EXPECT_EQ(crx::rx_divider(0, 2), 63) << "no division by zero";
  EXPECT_EQ(crx::rx_divider(7, 8), 63);
}

}  // namespace
