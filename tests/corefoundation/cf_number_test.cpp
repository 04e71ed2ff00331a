#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "cf_test_util.h"

namespace {

template <typename T>
CFPtr<CFNumberRef> Num(CFNumberType type, T v) {
  return CFPtr<CFNumberRef>(CFNumberCreate(nullptr, type, &v));
}

TEST(CFNumber, KeepsTheTypeCodesCallersCompare) {
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberSInt32Type, int32_t{1}).get()), 3);
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberSInt64Type, int64_t{1}).get()), 4);
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberFloat64Type, 1.0).get()), 6);
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberIntType, 1).get()), 9);
}

TEST(CFNumber, PlatformAliasesReportTheirFixedSizeType) {
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberLongLongType, 1LL).get()), kCFNumberSInt64Type);
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberDoubleType, 1.0).get()), kCFNumberFloat64Type);
  EXPECT_EQ(CFNumberGetByteSize(Num(kCFNumberSInt16Type, int16_t{1}).get()), 2);
}

TEST(CFNumber, GetValueReportsLossyConversions) {
  auto big = Num(kCFNumberSInt64Type, int64_t{1} << 40);
  int32_t small = 0;
  EXPECT_FALSE(CFNumberGetValue(big.get(), kCFNumberSInt32Type, &small));
  int64_t wide = 0;
  EXPECT_TRUE(CFNumberGetValue(big.get(), kCFNumberSInt64Type, &wide));
  EXPECT_EQ(wide, int64_t{1} << 40);

  auto half = Num(kCFNumberFloat64Type, 2.5);
  int32_t truncated = 0;
  EXPECT_FALSE(CFNumberGetValue(half.get(), kCFNumberSInt32Type, &truncated));
  EXPECT_EQ(truncated, 2);
  auto nan = Num(kCFNumberFloat64Type, std::nan(""));
  int64_t from_nan = 7;
  EXPECT_FALSE(CFNumberGetValue(nan.get(), kCFNumberSInt64Type, &from_nan));
}

TEST(CFNumber, NegativeValuesSurviveWidening) {
  auto n = Num(kCFNumberSInt32Type, int32_t{-5});
  int64_t v = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &v));
  EXPECT_EQ(v, -5);
}

TEST(CFNumber, UnknownTypeIsRefused) {
  int32_t v = 1;
  EXPECT_EQ(CFNumberCreate(nullptr, static_cast<CFNumberType>(99), &v), nullptr);
  EXPECT_FALSE(CFNumberGetValue(Num(kCFNumberSInt32Type, 1).get(), static_cast<CFNumberType>(0), &v));
}

TEST(CFNumber, EqualValuesCompareEqualAcrossTypes) {
  EXPECT_TRUE(CFEqual(Num(kCFNumberSInt32Type, int32_t{3}).get(), Num(kCFNumberFloat64Type, 3.0).get()));
  EXPECT_EQ(CFHash(Num(kCFNumberSInt32Type, int32_t{3}).get()), CFHash(Num(kCFNumberFloat64Type, 3.0).get()));
  EXPECT_FALSE(CFEqual(Num(kCFNumberSInt32Type, int32_t{3}).get(), Num(kCFNumberFloat64Type, 3.5).get()));
}

TEST(CFBoolean, ConstantsAreDistinctAndImmortal) {
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  CFRelease(kCFBooleanTrue);
  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
}

}  // namespace
