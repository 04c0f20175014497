// Vectors of the block checks and encodings: catalogue check values, residues, the header and
// hex encodings, the pad count and the file information blocks.
#include "serialctl/transfer/block_checks.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace chanfold {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

const std::vector<uint8_t> kCheckInput = Bytes("123456789");

TEST(Crc16Test, CatalogueCheckValueAndBytes) {
  const uint16_t crc = Crc16(kCheckInput);
  EXPECT_EQ(crc, 0x31C3);  // CRC-16/XMODEM check value
  EXPECT_EQ(Crc16High(crc), 0x31);
  EXPECT_EQ(Crc16Low(crc), 0xC3);
  EXPECT_EQ(Crc16({}), 0);
}

// The table-free form must equal the plain bitwise definition on every byte value and on
// registers that are far from zero.
TEST(Crc16Test, MatchesBitwiseDefinition) {
  auto bitwise = [](const std::vector<uint8_t>& data) {
    uint16_t r = 0;
    for (uint8_t b : data) {
      r ^= static_cast<uint16_t>(b << 8);
      for (int i = 0; i < 8; ++i) r = (r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1;
    }
    return r;
  };
  std::vector<uint8_t> data;
  for (int i = 0; i < 1024; ++i) data.push_back(static_cast<uint8_t>((i * 37 + 11) & 0xFF));
  EXPECT_EQ(Crc16(data), bitwise(data));
  for (int b = 0; b < 256; ++b) {
    std::vector<uint8_t> one{0xFF, static_cast<uint8_t>(b)};
    EXPECT_EQ(Crc16(one), bitwise(one)) << b;
  }
  // A zero data field of 128 bytes has CRC 0: the end-of-batch block relies on it.
  EXPECT_EQ(Crc16(std::vector<uint8_t>(128, 0)), 0);
}

TEST(BlockChecksumTest, SumModulo256) {
  EXPECT_EQ(BlockChecksum(std::vector<uint8_t>(128, 0xFF)), 0x80);
  EXPECT_EQ(BlockChecksum(kCheckInput),
            (0x31 + 0x32 + 0x33 + 0x34 + 0x35 + 0x36 + 0x37 + 0x38 + 0x39) & 0xFF);
  EXPECT_EQ(BlockChecksum({}), 0);
}

TEST(Crc32Test, TableCheckValueAndResidue) {
  Crc32Table table{};
  BuildCrc32Table(kCrc32Polynomial, table);
  EXPECT_EQ(table[0], 0u);
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);

  const uint32_t reg = UpdateCrc32(table, kCheckInput, kCrc32Init);
  EXPECT_EQ(~reg, 0xCBF43926u);  // CRC-32/ISO-HDLC check value

  // Any bytes followed by their complemented CRC, low byte first, leave the residue.
  for (const std::string& s : {std::string("abcde"), std::string("\x00\xff\x18\x10\x11", 5)}) {
    std::vector<uint8_t> frame = Bytes(s);
    const uint32_t crc = ~UpdateCrc32(table, frame, kCrc32Init);
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    EXPECT_EQ(UpdateCrc32(table, frame, kCrc32Init), kCrc32Residue) << s;
    frame[1] ^= 0x01;  // a flipped bit breaks it
    EXPECT_NE(UpdateCrc32(table, frame, kCrc32Init), kCrc32Residue) << s;
  }
}

TEST(HeaderValueTest, LowByteFirstAndBack) {
  struct Case {
    uint32_t value;
    std::array<uint8_t, 4> bytes;
  };
  const Case cases[] = {
      {2048, {0x00, 0x08, 0x00, 0x00}},
      {0x12345678, {0x78, 0x56, 0x34, 0x12}},
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
      {0, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    HeaderBytes h{};
    h[4] = 0xAA;  // the spare byte is left alone
    PutHeaderValue(h, c.value);
    EXPECT_EQ(h[0], c.bytes[0]);
    EXPECT_EQ(h[1], c.bytes[1]);
    EXPECT_EQ(h[2], c.bytes[2]);
    EXPECT_EQ(h[3], c.bytes[3]);
    EXPECT_EQ(h[4], 0xAA);
    EXPECT_EQ(GetHeaderValue(h), c.value);
  }
}

TEST(HexDigitTest, LowercaseNibbles) {
  EXPECT_EQ(HexDigitHigh(0xAB), 'a');
  EXPECT_EQ(HexDigitLow(0xAB), 'b');
  EXPECT_EQ(HexDigitHigh(0x09), '0');
  EXPECT_EQ(HexDigitLow(0x09), '9');
  for (int b = 0; b < 256; ++b) {
    const uint8_t hi = HexDigitHigh(static_cast<uint8_t>(b));
    const uint8_t lo = HexDigitLow(static_cast<uint8_t>(b));
    EXPECT_TRUE((hi >= '0' && hi <= '9') || (hi >= 'a' && hi <= 'f')) << b;
    EXPECT_TRUE((lo >= '0' && lo <= '9') || (lo >= 'a' && lo <= 'f')) << b;
    EXPECT_EQ(std::stoi(std::string{static_cast<char>(hi), static_cast<char>(lo)}, nullptr, 16), b);
  }
}

TEST(CountDataWithoutPadTest, TrailingPadOnly) {
  std::vector<uint8_t> field(128, 'x');
  std::fill(field.begin() + 100, field.end(), kPadByte);
  EXPECT_EQ(CountDataWithoutPad(field), 100);
  // A pad byte inside the data is data.
  field[50] = kPadByte;
  EXPECT_EQ(CountDataWithoutPad(field), 100);
  EXPECT_EQ(CountDataWithoutPad(std::vector<uint8_t>(128, kPadByte)), 0);
  // Zeros are not pad bytes.
  std::vector<uint8_t> zeros(1024, 0);
  EXPECT_EQ(CountDataWithoutPad(zeros), 1024);
}

TEST(YModemFileInfoTest, BuildsNameSizeAndPad) {
  std::array<uint8_t, 128> field{};
  ASSERT_TRUE(BuildYModemFileInfo(field, "Dir\\File.TXT", 1234));
  const std::string expect(
      "Dir\\File.TXT\0"
      "1234\0",
      18);
  EXPECT_EQ(std::string(field.begin(), field.begin() + 18), expect);
  for (size_t i = 18; i < field.size(); ++i) EXPECT_EQ(field[i], kPadByte) << i;

  std::array<uint8_t, 1024> big{};
  ASSERT_TRUE(BuildYModemFileInfo(big, "a.bin", 0));
  EXPECT_EQ(std::string(big.begin(), big.begin() + 8), std::string("a.bin\0"
                                                                   "0\0",
                                                                   8));
  EXPECT_EQ(big[1023], kPadByte);

  // A name that leaves no room for the size is refused and the field is left as it was.
  std::array<uint8_t, 128> small{};
  EXPECT_FALSE(BuildYModemFileInfo(small, std::string(125, 'n'), 12));
  EXPECT_EQ(small[0], 0);
  EXPECT_TRUE(BuildYModemFileInfo(small, std::string(124, 'n'), 1));
}

TEST(YModemFileInfoTest, ParseRules) {
  struct Case {
    std::string field;
    std::string name;
    int64_t size;
    bool decimal;
  };
  const Case cases[] = {
      {std::string("file.bin\0"
                   "1500\0",
                   14),
       "file.bin", 1500, true},
      // The lrzsz form: size, then modification time and mode after a space.
      {std::string("x.dat\0"
                   "42 14415671234 100644\0",
                   28),
       "x.dat", 42, true},
      // The size bytes 1, 2, a, 4 count "a" as 49.
      {std::string("f\0"
                   "12a4\0",
                   7),
       "f", 1694, false},
      // The size ends at a pad byte.
      {std::string("f\0"
                   "77\x1a\x1a",
                   6),
       "f", 77, true},
      // A space ends the name; the size is then read from the bytes behind it, letters and all.
      {std::string("two words\0"
                   "9\0",
                   12),
       "two", 780187, false},
      // No size at all.
      {std::string("only\0\0", 6), "only", 0, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> field(128, 0);
    std::memcpy(field.data(), c.field.data(), c.field.size());
    FileInfo info = ParseYModemFileInfo(field);
    EXPECT_EQ(info.name, c.name) << c.name;
    EXPECT_EQ(info.size, c.size) << c.name;
    EXPECT_EQ(info.size_is_decimal, c.decimal) << c.name;
  }
  // A field without any NUL: the whole field is the name, and nothing is read past it.
  std::vector<uint8_t> full(128, 'z');
  EXPECT_EQ(ParseYModemFileInfo(full).name, std::string(128, 'z'));
}

TEST(ZModemFileInfoTest, BuildAndParse) {
  std::array<uint8_t, 64> out{};
  const int32_t n = BuildZModemFileInfo(out, "Dir\\File.TXT", 1234);
  ASSERT_EQ(n, 18);
  EXPECT_EQ(std::string(out.begin(), out.begin() + n), std::string("dir/file.txt\0"
                                                                   "1234\0",
                                                                   18));
  std::array<uint8_t, 8> tiny{};
  EXPECT_EQ(BuildZModemFileInfo(tiny, "abcdefgh", 1), 0);

  const std::string data(
      "C:\\dir\\x.bin\0"
      "12a4 777\0",
      22);
  FileInfo info = ParseZModemFileInfo(std::vector<uint8_t>(data.begin(), data.end()));
  EXPECT_EQ(info.name, "Cdirx.bin");
  EXPECT_EQ(info.size, 124);
}

}  // namespace
}  // namespace chanfold
