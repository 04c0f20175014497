// The variant of the byte-array members: bounds, and the conversion of its elements to bytes
// (rounding, range, what is not a number).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serialctl/types.h"

namespace chanfold {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(VariantTest, BoundsOfArrays) {
  EXPECT_EQ(Variant::Bytes({1, 2, 3}).upper_bound(), 2);
  EXPECT_EQ(Variant::Bytes({1, 2, 3}, 1).upper_bound(), 3);
  EXPECT_EQ(Variant::Array({Variant::Number(1)}, -5).upper_bound(), -5);
  EXPECT_EQ(Variant::Bytes({}, 1).upper_bound(), 0);
  EXPECT_TRUE(Variant::Bytes({}).is_array());
  EXPECT_FALSE(Variant::Number(3).is_array());
}

TEST(VariantTest, ElementsConvertLikeAConversionToByte) {
  struct Case {
    Variant element;
    HResult result;
    uint8_t byte;
  };
  const Case cases[] = {
      {Variant::Number(0), kOk, 0},
      {Variant::Number(255), kOk, 255},
      {Variant::Number(2.5), kOk, 2},  // halves go to the even neighbour
      {Variant::Number(3.5), kOk, 4},
      {Variant::Number(254.6), kOk, 255},
      {Variant::Number(-0.5), kOk, 0},
      {Variant::Number(255.5), kOverflow, 0},
      {Variant::Number(256), kOverflow, 0},
      {Variant::Number(-1), kOverflow, 0},
      {Variant::Number(1e300), kOverflow, 0},
      {Variant::String(u"65"), kOk, 65},
      {Variant::String(u" 12.5 "), kOk, 12},
      {Variant::String(u"1e2"), kOk, 100},
      {Variant::String(u"300"), kOverflow, 0},
      {Variant::String(u"A"), kTypeMismatch, 0},
      {Variant::String(u""), kTypeMismatch, 0},
      {Variant::String(u"12abc"), kTypeMismatch, 0},
      {Variant::String(u"nan"), kTypeMismatch, 0},
      {Variant::String(u"0x10"), kTypeMismatch, 0},
      {Variant::String(u"\uFF11"), kTypeMismatch, 0},  // a full-width digit is no number here
      {Variant(), kOk, 0},
      {Variant::Bytes({1}), kTypeMismatch, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    std::vector<uint8_t> out = {9, 9};
    Variant array = Variant::Array({Variant::Number(7), cases[i].element}, 1);
    EXPECT_EQ(array.ToBytes(&out), cases[i].result);
    if (cases[i].result == kOk) {
      EXPECT_THAT(out, ElementsAre(7, cases[i].byte));
    } else {
      EXPECT_THAT(out, IsEmpty());
    }
  }
}

TEST(VariantTest, OnlyArraysConvert) {
  std::vector<uint8_t> out;
  EXPECT_EQ(Variant::Bytes({0, 128, 255}, 1).ToBytes(&out), kOk);
  EXPECT_THAT(out, ElementsAre(0, 128, 255));
  for (const Variant& v : {Variant(), Variant::Number(1), Variant::String(u"1")}) {
    EXPECT_EQ(v.ToBytes(&out), kTypeMismatch);
    EXPECT_THAT(out, IsEmpty());
  }
}

}  // namespace
}  // namespace chanfold
