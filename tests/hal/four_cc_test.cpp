// Four-character codes and the one error type's texts.
#include <gtest/gtest.h>

#include "engine/hal/four_cc.h"
#include "engine/hal/hal_codes.h"
#include "engine/hal/hal_error.h"

namespace choralink {
namespace {

TEST(FourCCTest, PrintableCodesAreQuotedWithTheirDecimalValue) {
  EXPECT_EQ(fourCC(std::int32_t{1853059700}), "'nsrt' (1853059700)");
  EXPECT_EQ(fourCC(std::int32_t{560227702}), "'!dev' (560227702)");
  EXPECT_EQ(fourCC(kPropDevices), "'dev#' (1684370979)");
  EXPECT_EQ(fourCC(kPropDeviceUID), "'uid ' (1969841184)");  // keeps its space
}

TEST(FourCCTest, AnythingElseIsTheSignedDecimalAlone) {
  EXPECT_EQ(fourCC(std::int32_t{-1}), "-1");
  EXPECT_EQ(fourCC(std::int32_t{0}), "0");
  // 126 is printable, 127 is not.
  EXPECT_EQ(fourCC(static_cast<std::int32_t>(fourCharCode("~~~~"))), "'~~~~' (2122219134)");
  EXPECT_EQ(fourCC(std::int32_t{0x7e7e7e7f}), "2122219135");
  // A code whose first byte is 0x80 or more is negative as int32 and not printable.
  EXPECT_EQ(fourCC(static_cast<std::uint32_t>(0xA0616263u)), "-1604230557");
}

TEST(HALErrorTest, DescribesOperationThenStatus) {
  const HALError e(560227702, "get " + fourCC(kPropNominalSampleRate));
  EXPECT_STREQ(e.what(), "get 'nsrt' (1853059700) failed: '!dev' (560227702)");
}

}  // namespace
}  // namespace choralink
