// Numbers shown to the operator ("#0.#0") and read from the device.
#include "updater/numbers.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>

#include "updater/recording_view.h"

namespace updater {
namespace {

TEST(FormatNumber, PatternWithOneOrTwoDecimals) {
  struct Case {
    float value;
    const char* dot;
  };
  const Case cases[] = {
      {7.15f, "7.15"},   {7.0f, "7.0"},    {6.5f, "6.5"},         {7.1f, "7.1"},   {7.99f, "7.99"},
      {0.0f, "0.0"},     {0.05f, "0.05"},  {12345.0f, "12345.0"}, {7.999f, "8.0"}, {9.995f, "9.99"},
      {7.125f, "7.13"},  {-1.5f, "-1.5"},  {-0.001f, "0.0"},      {-0.0f, "0.0"},  {70.0f, "70.0"},
      {715.0f, "715.0"}, {0.994f, "0.99"}, {99.996f, "100.0"}};
  for (const Case& c : cases) {
    EXPECT_EQ(ToUtf8(FormatNumber(c.value, u".")), c.dot) << c.value;
  }
  EXPECT_EQ(ToUtf8(FormatNumber(7.15f, u",")), "7,15");
  EXPECT_EQ(ToUtf8(FormatNumber(7.0f, u",")), "7,0");
  EXPECT_EQ(ToUtf8(FormatNumber(3.4e38f, u".")).size(), 39u + 2u);
}

TEST(ParseSingle, PlainDecimalNumbersOnly) {
  struct Case {
    std::u16string text;
    bool ok;
    float value;
  };
  const Case cases[] = {{u"7.15", true, 7.15f},
                        {u"7", true, 7.0f},
                        {u" 7.0 ", true, 7.0f},
                        {u"7.15\r\n", true, 7.15f},
                        {u"\t6.5", true, 6.5f},
                        {u"-1.5", true, -1.5f},
                        {u"+2", true, 2.0f},
                        {u".5", true, 0.5f},
                        {u"7.", true, 7.0f},
                        {u"007.10", true, 7.1f},
                        {u"", false, 0},
                        {u"   ", false, 0},
                        {u".", false, 0},
                        {u"-", false, 0},
                        {u"7.1.5", false, 0},
                        {u"7,15", false, 0},
                        {u"1,000", false, 0},
                        {u"7e1", false, 0},
                        {u"0x10", false, 0},
                        {u"inf", false, 0},
                        {u"nan", false, 0},
                        {u"7 .0", false, 0},
                        {u"- 7", false, 0},
                        {u"7.15b", false, 0},
                        {std::u16string(u"7\0", 2), false, 0},
                        {u"7\u00e9", false, 0},
                        {u"\u0667", false, 0},
                        {std::u16string(60, u'9'), false, 0}};
  for (const Case& c : cases) {
    float v = -99;
    EXPECT_EQ(ParseSingle(c.text, u".", &v), c.ok) << ToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(std::bit_cast<uint32_t>(v), std::bit_cast<uint32_t>(c.value)) << ToUtf8(c.text);
    } else {
      EXPECT_EQ(v, -99) << "untouched on failure: " << ToUtf8(c.text);
    }
  }
  float v = 0;
  EXPECT_TRUE(ParseSingle(u"7,15", u",", &v));
  EXPECT_EQ(std::bit_cast<uint32_t>(v), 0x40E4CCCDu) << "the update's version, bit for bit";
  EXPECT_FALSE(ParseSingle(u"7.15", u",", &v));
  EXPECT_TRUE(ParseSingle(u"7::5", u"::", &v));
  EXPECT_EQ(v, 7.5f);
  EXPECT_FALSE(ParseSingle(u"7", u"", &v)) << "a separator is needed to read";
}

TEST(ParseByte, RoundsHalvesToEvenWithinZeroTo255) {
  struct Case {
    const char16_t* text;
    bool ok;
    int value;
  };
  const Case cases[] = {{u"1", true, 1},       {u"0", true, 0},      {u"255", true, 255},
                        {u"255.4", true, 255}, {u"255.5", false, 0}, {u"256", false, 0},
                        {u"-1", false, 0},     {u"-0.4", true, 0},   {u"0.5", true, 0},
                        {u"1.5", true, 2},     {u"2.5", true, 2},    {u"", false, 0},
                        {u"one", false, 0},    {u"1e2", false, 0},   {u" 7 ", true, 7}};
  for (const Case& c : cases) {
    uint8_t v = 99;
    EXPECT_EQ(ParseByte(c.text, u".", &v), c.ok) << ToUtf8(c.text);
    if (c.ok) {
      EXPECT_EQ(v, c.value) << ToUtf8(c.text);
    }
  }
}

}  // namespace
}  // namespace updater
