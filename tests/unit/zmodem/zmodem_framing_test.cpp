// Byte vectors of the ZModem frame layer: headers as they go on the line, both escaping rules,
// the decoding of escapes, hex pairs and the three header formats, and subpackets, each read
// back through a control on a simulated port.
#include "serialctl/transfer/zmodem_framing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "serialctl/chanfold_ctrl.h"

namespace chanfold {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class ZFramingTest : public ::testing::Test {
 protected:
  ZFramingTest() : port_(world_.AddPort("COM3")), ctrl_(world_.services()), z_(ctrl_) {
    ctrl_.put_Port(u"COM3");
    ctrl_.put_PortOpen(kVTrue);
  }
  void SetUp() override {
    ASSERT_EQ(ctrl_.get_Connected(), kVTrue);
    port_.ClearWritten();
  }
  void Feed(const Bytes& b) { port_.SendToProgram(b.data(), b.size()); }

  sim::SimWorld world_;
  sim::SimPort& port_;
  ChanfoldCtrl ctrl_;
  ZModemFraming z_;
};

TEST_F(ZFramingTest, HexHeadersAsTheyGoOnTheLine) {
  // ZRINIT with buffer length 2048 and CANFDX, CANOVIO, CANBRK, ESCCTL: 21 bytes, one write.
  z_.frame_type_to_send_ = kZRInit;
  z_.header_ = {0x00, 0x08, 0x00, 0x47, 0};
  z_.ZSendHexHeader();
  EXPECT_THAT(
      port_.written(),
      ElementsAreArray(Cat({Text("**"), {0x18}, Text("B01000800473bd3"), {0x0D, 0x8A, 0x11}})));
  EXPECT_THAT(port_.write_sizes(), ElementsAre(21u));

  // ZFIN and ZACK end with CR and LF (top bit set) and no XON.
  for (int type : {kZFin, kZAck}) {
    port_.ClearWritten();
    z_.frame_type_to_send_ = type;
    z_.header_ = {0, 0, 0, 0, 0};
    z_.ZSendHexHeader();
    ASSERT_EQ(port_.written().size(), 20u) << type;
    EXPECT_EQ(port_.written()[18], 0x0D);
    EXPECT_EQ(port_.written()[19], 0x8A);
  }
  port_.ClearWritten();
  z_.frame_type_to_send_ = kZFin;
  z_.ZSendHexHeader();
  EXPECT_THAT(port_.written(),
              ElementsAreArray(Cat({Text("**"), {0x18}, Text("B0800000000022d"), {0x0D, 0x8A}})));
}

TEST_F(ZFramingTest, RuleAEscapesHeaderBytes) {
  struct Case {
    bool escctl;
    uint8_t last;
    uint8_t x;
    Bytes sent;
  } cases[] = {
      {false, 0x41, 0x0D, {0x0D}},        // CR after "A": plain
      {false, 0x40, 0x0D, {0x18, 0x4D}},  // CR after the at sign
      {false, 0xC0, 0x8D, {0x18, 0xCD}},  // the same with the top bits set
      {false, 0x00, 0x01, {0x01}},        // control characters plain without ESCCTL
      {true, 0x00, 0x01, {0x18, 0x41}},   // ... and escaped with it
      {true, 0x00, 0x41, {0x41}},        {false, 0x00, 0x18, {0x18, 0x58}},  // ZDLE itself
      {false, 0x00, 0x11, {0x18, 0x51}},                                     // XON
      {false, 0x00, 0x93, {0x18, 0xD3}},  // XOFF with the parity bit
      {false, 0x00, 0x10, {0x18, 0x50}},  // DLE
      {false, 0x00, 0x7F, {0x7F}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "escctl " << c.escctl << " last " << int(c.last) << " x " << int(c.x));
    port_.ClearWritten();
    z_.peer_escctl_ = c.escctl;
    z_.last_sent_ = c.last;
    z_.ZSendByte(c.x);
    EXPECT_THAT(port_.written(), ElementsAreArray(c.sent));
    EXPECT_THAT(port_.write_sizes(), ElementsAre(c.sent.size()));
    EXPECT_EQ(z_.last_sent_, c.sent.back());
  }
}

TEST_F(ZFramingTest, RuleBEscapesDataBytes) {
  struct Case {
    bool escctl;
    Bytes data;
    Bytes sent;
  } cases[] = {
      // Control characters other than DLE, XON, XOFF and ZDLE go plain, even with ESCCTL.
      {true, {0x01, 0x00, 0x1F}, {0x01, 0x00, 0x1F}},
      {false, {0x10, 0x11, 0x13, 0x18}, {0x18, 0x50, 0x18, 0x51, 0x18, 0x53, 0x18, 0x58}},
      {false, {0x90, 0x91, 0x93}, {0x18, 0xD0, 0x18, 0xD1, 0x18, 0xD3}},
      // CR after an at sign is escaped only without ESCCTL; the first byte has no at sign
      // before it, whatever the previous frame ended with.
      {false, {0x40, 0x0D, 0x0D}, {0x40, 0x18, 0x4D, 0x0D}},
      {true, {0x40, 0x0D}, {0x40, 0x0D}},
      {false, {0x0D}, {0x0D}},
      {false, {0x7F, 0xFF, 0x2A}, {0x7F, 0xFF, 0x2A}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.data));
    port_.ClearWritten();
    z_.peer_escctl_ = c.escctl;
    z_.last_sent_ = 0x40;
    std::copy(c.data.begin(), c.data.end(), ctrl_.work_buffer_.begin());
    z_.data_count_ = static_cast<int32_t>(c.data.size());
    z_.ZEscapeData();
    EXPECT_THAT(port_.written(), ElementsAreArray(c.sent));
    EXPECT_THAT(port_.write_sizes(), ElementsAre(c.sent.size()));
  }
}

TEST_F(ZFramingTest, ReadEscapedDecodes) {
  struct Case {
    Bytes in;
    int result;
  } cases[] = {
      {{0x41}, 0x41},
      {{0x18, 'l'}, 0x7F},
      {{0x18, 'm'}, 0xFF},
      {{0x18, 0x18, 0x18, 0x18, 0x18}, 0x110},
      {{0x18, 'X'}, 0x18},
      {{0x18, 0x21}, -1},
      {{0x18, 'h'}, 0x168},
      {{0x18, 'k'}, 0x16B},
      {{0x11, 0x91, 0x13, 0x93, 0x42}, 0x42},  // flow control bytes are skipped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    Feed(c.in);
    EXPECT_EQ(z_.ZReadEscaped(), c.result);
    EXPECT_EQ(ctrl_.InQueueCount(), 0);
    EXPECT_EQ(ctrl_.read_ahead_pos_, ctrl_.read_ahead_count_);
  }
}

TEST_F(ZFramingTest, ReadLineByteTimesOutAfterAboutTenSeconds) {
  uint64_t start = world_.NowMs();
  EXPECT_EQ(z_.ReadLineByte(), -2);
  uint64_t waited = world_.NowMs() - start;
  EXPECT_GE(waited, 10000u);
  EXPECT_LE(waited, 12100u);
  // A byte that comes late in the wait is still taken.
  world_.After(5000, [this] { Feed({0x37}); });
  EXPECT_EQ(z_.ReadLineByte(), 0x37);
}

TEST_F(ZFramingTest, ReadHexByteDecodesLowercaseOnly) {
  Feed(Text("4f4F"));
  EXPECT_EQ(z_.ZReadHexByte(), 0x4F);
  EXPECT_EQ(z_.ZReadHexByte(), 47);  // "F" is not a digit: 4 * 16 + (70 - 87)
}

TEST_F(ZFramingTest, GetHeaderReadsTheThreeFormats) {
  const Bytes hex_zrinit = Cat({Text("**"), {0x18}, Text("B01000800473bd3"), {0x0D, 0x8A, 0x11}});
  struct Case {
    std::string name;
    Bytes in;
    int type;
    uint32_t value;
  } cases[] = {
      {"hex", hex_zrinit, kZRInit, 0x47000800},
      {"rz CR before hex", Cat({Text("rz\r"), hex_zrinit}), kZRInit, 0x47000800},
      {"binary CRC-16", {0x2A, 0x18, 'A', 0x09, 0x00, 0x04, 0x00, 0x00, 0x74, 0xBC}, kZRPos, 1024},
      {"binary CRC-32",
       {0x2A, 0x18, 'C', 0x09, 0x00, 0x04, 0x00, 0x00, 0xB0, 0x3D, 0x3B, 0xCC},
       kZRPos,
       1024},
      // Escaped header bytes in a CRC-32 header: 0x18, 0x11, 0x0D behind an at sign.
      {"binary CRC-32 escaped",
       {0x2A, 0x18, 'C', 0x0A, 0x18, 0x58, 0x18, 0x51, 0x0D, 0x40, 0x56, 0x66, 0xA9, 0xC7},
       kZData,
       0x400D1118},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feed(c.in);
    EXPECT_EQ(z_.ZGetHeader(), c.type);
    EXPECT_EQ(z_.last_frame_type_, c.type);
    EXPECT_EQ(GetHeaderValue(z_.header_), c.value);
    EXPECT_EQ(ctrl_.InQueueCount(), 0);
  }
}

TEST_F(ZFramingTest, GetHeaderRefusesBadHeaders) {
  struct Case {
    std::string name;
    Bytes in;
  } cases[] = {
      {"one pad before hex", Cat({Text("*"), {0x18}, Text("B01000800473bd3\r\n")})},
      {"hex CRC wrong", Cat({Text("**"), {0x18}, Text("B01000800473bd4\r\n")})},
      {"uppercase hex digits", Cat({Text("**"), {0x18}, Text("B01000800473BD3\r\n")})},
      {"binary CRC-16 wrong", {0x2A, 0x18, 'A', 0x09, 0x00, 0x04, 0x00, 0x00, 0x74, 0xBD}},
      {"binary CRC-32 wrong",
       {0x2A, 0x18, 'C', 0x09, 0x00, 0x04, 0x00, 0x00, 0xB0, 0x3D, 0x3B, 0xCD}},
      {"bad escape", {0x2A, 0x18, 'A', 0x18, 0x21, 0, 0, 0, 0, 0, 0}},
      {"unknown format", {0x2A, 0x18, 'D'}},
      {"noise", {0x55}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    z_.last_frame_type_ = 0;
    Feed(c.in);
    EXPECT_EQ(z_.ZGetHeader(), -1);
    EXPECT_EQ(z_.last_frame_type_, -1);
    EXPECT_FALSE(z_.last_read_timed_out());
    // Drain what the failed read left, as the engines' next reads would.
    ctrl_.read_ahead_pos_ = ctrl_.read_ahead_count_;
    ctrl_.PurgeInput();
  }
  EXPECT_EQ(z_.ZGetHeader(), -1);
  EXPECT_TRUE(z_.last_read_timed_out());
}

TEST_F(ZFramingTest, BinaryHeaderWritesOnceAndReadsBack) {
  z_.peer_escctl_ = true;
  z_.frame_type_to_send_ = kZData;
  PutHeaderValue(z_.header_, 0x0D401118);
  z_.ZSendBinHeader();
  ASSERT_EQ(port_.write_sizes().size(), 1u);
  const Bytes sent = port_.written();
  EXPECT_THAT(Bytes(sent.begin(), sent.begin() + 3), ElementsAre(0x2A, 0x18, 'A'));
  // Every control character of the header is escaped for an ESCCTL peer.
  for (size_t i = 3; i < sent.size(); ++i) {
    if (sent[i] != 0x18) {
      EXPECT_NE(sent[i] & 0x60, 0) << i;
    }
  }
  Feed(sent);
  z_.header_ = {};
  EXPECT_EQ(z_.ZGetHeader(), kZData);
  EXPECT_EQ(GetHeaderValue(z_.header_), 0x0D401118u);
}

TEST_F(ZFramingTest, SubpacketsRoundTripEveryByteValue) {
  for (uint8_t end : {kZCrcE, kZCrcG, kZCrcW}) {
    SCOPED_TRACE(int(end));
    port_.ClearWritten();
    for (int i = 0; i < 1024; ++i) ctrl_.work_buffer_[i] = static_cast<uint8_t>(i * 7 + 3);
    z_.data_count_ = 1024;
    z_.ZSendData(end);
    const Bytes sent = port_.written();
    EXPECT_EQ(sent.back() == kXon, end == kZCrcW);
    Bytes expected(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 1024);
    ctrl_.work_buffer_.fill(0);
    Feed(sent);
    EXPECT_EQ(z_.ZReadData(), 0x100 + end);
    ASSERT_EQ(z_.data_count_, 1024);
    EXPECT_THAT(Bytes(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 1024),
                ElementsAreArray(expected));
    ctrl_.read_ahead_pos_ = ctrl_.read_ahead_count_;
    ctrl_.PurgeInput();
  }
}

TEST_F(ZFramingTest, ReadDataFailures) {
  // An empty subpacket ending with ZCRCE: ZDLE "h" and the CRC of "h" alone.
  ctrl_.work_buffer_[0] = kZCrcE;
  uint16_t crc = Crc16(std::span<const uint8_t>(ctrl_.work_buffer_.data(), 1));
  Feed({0x18, 'h', Crc16High(crc), Crc16Low(crc)});
  EXPECT_EQ(z_.ZReadData(), 0x168);
  EXPECT_EQ(z_.data_count_, 0);

  // A flipped data bit fails the CRC.
  ctrl_.work_buffer_[0] = 'a';
  z_.data_count_ = 1;
  z_.ZSendData(kZCrcG);
  Bytes sent = port_.written();
  sent[0] ^= 0x01;
  Feed(sent);
  EXPECT_EQ(z_.ZReadData(), -1);

  Feed({'a', 'b', 0x18, 0x18, 0x18, 0x18, 0x18});
  EXPECT_EQ(z_.ZReadData(), kZCan);
  Feed({'a', 0x18, 0x21});
  EXPECT_EQ(z_.ZReadData(), -1);

  // 4096 data bytes fit with the frame end behind them; one more does not.
  Bytes full(4096, 0x55);
  full.push_back(kZCrcG);
  crc = Crc16(std::span<const uint8_t>(full.data(), full.size()));
  full.pop_back();
  Feed(full);
  Feed({0x18, 'i', Crc16High(crc), Crc16Low(crc)});
  EXPECT_EQ(z_.ZReadData(), 0x169);
  EXPECT_EQ(z_.data_count_, 4096);
  Feed(Bytes(4097, 0x55));
  EXPECT_EQ(z_.ZReadData(), kZDataTooLong);
}

}  // namespace
}  // namespace chanfold
