// Byte vectors of the Kermit packet layer: block checks, the Send-Init data, packets as they go
// on the line (normal and extended), the reader against good, damaged and oversized packets
// (among them Send-Init packets captured from C-Kermit and G-Kermit), the negotiation of the
// prefixes, and the prefix and repeat encoding with its decoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "serialctl/chanfold_ctrl.h"
#include "serialctl/transfer/kermit_packets.h"
#include "tests/sim/control/control_fixture.h"
#include "tests/support/temp_dir.h"

namespace chanfold {
namespace {

using Octets = std::vector<uint8_t>;

Octets B(std::string_view s) {
  return Octets(s.begin(), s.end());
}

class KermitPacketTest : public testing::ControlTest {
 protected:
  void SetUp() override {
    Open();
    KermitDefaults(ctrl_.kermit_);
  }

  // Puts bytes into the program's input queue and reads one packet.
  uint8_t Feed(const Octets& bytes) {
    port_.SendToProgram(bytes.data(), bytes.size());
    return KermitReadPacket(ctrl_);
  }
  Octets ReadData() const {
    const KermitState& k = ctrl_.kermit_;
    auto first = ctrl_.work_buffer_.begin() + k.read_data_offset;
    return Octets(first, first + k.read_data_length);
  }
  // Sends a packet with `data` in the work buffer and returns what went on the line.
  Octets Send(uint8_t type, int32_t seq, const Octets& data) {
    std::copy(data.begin(), data.end(), ctrl_.work_buffer_.begin());
    port_.ClearWritten();
    KermitSendPacket(ctrl_, type, seq, static_cast<int32_t>(data.size()));
    return port_.written();
  }
  // Encodes `source` (already in the file block buffer, no file behind it) in one call.
  Octets Encode(const Octets& source) {
    std::copy(source.begin(), source.end(), ctrl_.file_block_buffer_.begin());
    ctrl_.kermit_.block_fill = static_cast<int32_t>(source.size());
    ctrl_.kermit_.block_pos = 0;
    ctrl_.kermit_.end_of_file = false;
    int32_t n = KermitEncodeData(ctrl_);
    return Octets(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + n);
  }
};

TEST(KermitCrcTest, CatalogueCheckValueAndEmptyInput) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16Kermit(std::span(reinterpret_cast<const uint8_t*>(digits.data()), 9)), 0x2189);
  EXPECT_EQ(Crc16Kermit({}), 0);
}

TEST(KermitCrcTest, BlockChecksOfAllThreeTypes) {
  // LEN, SEQ, TYPE of an ACK with sequence 5 and no data, under each check type.
  const Octets covered = B("%%Y");
  struct Case {
    uint8_t type;
    std::string want;
  } cases[] = {{'1', "E"}, {'2', "\"C"}, {'3', "*A)"}};
  for (const Case& c : cases) {
    uint8_t out[3] = {};
    int32_t n = KermitBlockCheck(c.type, covered, out);
    EXPECT_EQ(std::string(out, out + n), c.want) << "type " << c.type;
  }
}

TEST_F(KermitPacketTest, SendInitDataWithTheDefaults) {
  EXPECT_EQ(KermitBuildInit(ctrl_), 13);
  const Octets want = {0x7E, 0x25, 0x20, 0x40, 0x2D, 0x23, 0x26,
                       0x33, 0x7E, 0x23, 0x20, 0x22, 0x61};
  EXPECT_EQ(Octets(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 13), want);
}

TEST_F(KermitPacketTest, SendInitPacketOnTheLineAndItsCopy) {
  KermitBuildInit(ctrl_);
  Octets data(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 13);
  Octets line = Send('S', 0, data);
  EXPECT_EQ(line, B("\x01"
                    "0 S~% @-#&3~# \"a5\r"));
  const KermitState& k = ctrl_.kermit_;
  EXPECT_EQ(Octets(k.last_packet.begin(), k.last_packet.begin() + k.last_packet_length), line);
}

TEST_F(KermitPacketTest, PadsGoOutInAWriteOfTheirOwnBeforeThePacket) {
  ctrl_.kermit_.npad = 3;
  ctrl_.kermit_.padc = 0x7F;
  ctrl_.kermit_.block_check = '3';
  Octets line = Send('Y', 5, {});
  EXPECT_EQ(line, B("\x7F\x7F\x7F\x01%%Y*A)\r"));
  ASSERT_GE(port_.write_sizes().size(), 2u);
  EXPECT_EQ(port_.write_sizes()[0], 3u);
  port_.ClearWritten();
  KermitResend(ctrl_);
  EXPECT_EQ(port_.written(), line);
}

TEST_F(KermitPacketTest, LongFileNameGoesOutExtendedAndReadsBack) {
  // 95 name bytes + 2 + 1 exceed MAXL 94.
  Octets name(95, 'n');
  Octets line = Send('F', 1, name);
  ASSERT_EQ(line.size(), 7u + 95 + 1 + 1);
  EXPECT_EQ(line[0], 0x01);
  EXPECT_EQ(line[1], ' ');                    // LEN blank
  EXPECT_EQ(line[4], KermitToChar(96 / 95));  // data + check = 96
  EXPECT_EQ(line[5], KermitToChar(96 % 95));
  int s = line[1] + line[2] + line[3] + line[4] + line[5];
  EXPECT_EQ(line[6], KermitToChar((s + ((s & 0xC0) >> 6)) & 0x3F));
  // A name 1 byte shorter still fits a normal packet.
  Octets shorter = Send('F', 1, Octets(94 - 3, 'n'));
  EXPECT_EQ(shorter[1], KermitToChar(94));

  EXPECT_EQ(Feed(line), 'F');
  EXPECT_EQ(ctrl_.kermit_.read_seq, 1);
  EXPECT_EQ(ctrl_.kermit_.read_data_offset, 7);
  EXPECT_EQ(ReadData(), name);
  EXPECT_EQ(ctrl_.work_buffer_[7 + 95], 0);  // the 0 behind the data
}

TEST_F(KermitPacketTest, ReadsSendInitPacketsOfRealPeers) {
  struct Case {
    const char* peer;
    std::string packet;
    int time;
    int capas;
  } cases[] = {
      {"G-Kermit",
       "\x01"
       "9 S~' @-#Y3~*!J*0+++N\"U1AT\r",
       7, 10},
      // 62 also announces sliding windows and locking shifts, which this side does not have
      // and must not repeat in its answer.
      {"C-Kermit",
       "kermit -ir\r\x01"
       "9 S~/ @-#Y3~^>J)0___F\"U1A@\r",
       15, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peer);
    KermitDefaults(ctrl_.kermit_);
    ASSERT_EQ(Feed(B(c.packet)), 'S');
    EXPECT_EQ(ctrl_.kermit_.read_seq, 0);
    EXPECT_EQ(ctrl_.kermit_.read_data_length, 22);
    KermitTakeInit(ctrl_);
    KermitCheckPrefixes(ctrl_.kermit_);
    const KermitState& k = ctrl_.kermit_;
    EXPECT_EQ(k.maxl, 94);
    EXPECT_EQ(k.time, c.time);
    EXPECT_EQ(k.eol, 13);
    EXPECT_EQ(k.qctl, '#');
    EXPECT_EQ(k.qbin, '&');  // the peer's "Y" takes our prefix
    EXPECT_TRUE(k.bin_prefixing);
    EXPECT_EQ(k.chkt, '3');
    EXPECT_EQ(k.rept, '~');
    EXPECT_TRUE(k.repeat_counts);
    EXPECT_EQ(k.capas, c.capas);
    EXPECT_EQ(k.maxlx, 1024);  // 4000 and 3999 announced, capped
    // The answer a receiver gives: long packets of up to 1024 and attributes, nothing else.
    KermitBuildInit(ctrl_);
    EXPECT_EQ(Octets(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 13),
              B("~" + std::string(1, static_cast<char>(KermitToChar(c.time))) + " @-#&3~* *j"));
  }
}

TEST_F(KermitPacketTest, SixByteSendInitTurnsPrefixingAndRepeatsOff) {
  ASSERT_EQ(Feed(Send('Y', 0, B("~% @-#"))), 'Y');
  KermitTakeInit(ctrl_);
  KermitCheckPrefixes(ctrl_.kermit_);
  const KermitState& k = ctrl_.kermit_;
  EXPECT_FALSE(k.bin_prefixing);
  EXPECT_FALSE(k.repeat_counts);
  EXPECT_EQ(k.rept, ' ');
  EXPECT_EQ(k.chkt, '1');
  EXPECT_EQ(k.capas, 0);
  EXPECT_EQ(k.maxl, 94);
}

TEST_F(KermitPacketTest, TakeInitFixesValuesOutOfRange) {
  // MAXL 5, EOL 40, CHKT "7", QCTL "A" (outside the prefix ranges), QBIN "N", REPT "a" with the
  // window and long-packet bits set and MAXLX 2.
  Octets init = {KermitToChar(5),
                 KermitToChar(5),
                 KermitToChar(0),
                 0x40,
                 KermitToChar(40),
                 'A',
                 'N',
                 '7',
                 '~',
                 KermitToChar(6),
                 KermitToChar(9),
                 KermitToChar(0),
                 KermitToChar(2)};
  ASSERT_EQ(Feed(Send('S', 0, init)), 'S');
  KermitTakeInit(ctrl_);
  KermitCheckPrefixes(ctrl_.kermit_);
  const KermitState& k = ctrl_.kermit_;
  EXPECT_EQ(k.maxl, 94);
  EXPECT_EQ(k.eol, 13);
  EXPECT_EQ(k.chkt, '1');
  EXPECT_EQ(k.qctl, '#');
  EXPECT_FALSE(k.bin_prefixing);
  EXPECT_EQ(k.qbin, '&');
  EXPECT_TRUE(k.repeat_counts);
  EXPECT_EQ(k.windo, 0);  // no sliding windows here
  EXPECT_EQ(k.maxlx, 80);
}

TEST(KermitPrefixTest, CheckPrefixesTable) {
  struct Case {
    uint8_t qbin;
    bool bin_on;
    uint8_t rept;
    bool rept_on;
    uint8_t want_qbin;
    bool want_bin;
    uint8_t want_rept;
    bool want_rept_on;
  } cases[] = {
      {'Y', true, '~', true, '&', true, '~', true},      // peer agrees to our prefix
      {'N', true, '~', true, '&', false, '~', true},     // peer refuses
      {'&', true, '~', true, '&', true, '~', true},      // peer asks for "&"
      {'`', true, '`', true, '`', true, '`', true},      // upper range while on
      {'`', false, '`', false, '&', false, ' ', false},  // upper range while off
      {'#', false, '#', false, '#', true, '#', true},    // lower range turns them on
      {' ', true, ' ', true, '&', false, ' ', false},    // blank: off
      {'Y', false, 'A', true, '&', false, ' ', false},
  };
  for (const Case& c : cases) {
    KermitState k;
    k.qbin = c.qbin;
    k.bin_prefixing = c.bin_on;
    k.rept = c.rept;
    k.repeat_counts = c.rept_on;
    KermitCheckPrefixes(k);
    EXPECT_EQ(k.qbin, c.want_qbin) << c.qbin << c.bin_on;
    EXPECT_EQ(k.bin_prefixing, c.want_bin) << c.qbin << c.bin_on;
    EXPECT_EQ(k.rept, c.want_rept) << c.rept << c.rept_on;
    EXPECT_EQ(k.repeat_counts, c.want_rept_on) << c.rept << c.rept_on;
  }
}

TEST_F(KermitPacketTest, ReaderSkipsNoiseAndTakesEveryCheckType) {
  for (uint8_t check : {'1', '2', '3'}) {
    ctrl_.kermit_.block_check = check;
    Octets line = Send('D', 63, B("hello #M#J"));
    Octets noisy = B("\0\0garbage\r");
    noisy.insert(noisy.end(), line.begin(), line.end());
    ASSERT_EQ(Feed(noisy), 'D') << check;
    EXPECT_EQ(ctrl_.kermit_.read_seq, 63);
    EXPECT_EQ(ReadData(), B("hello #M#J"));
  }
}

TEST_F(KermitPacketTest, DamagedPacketsCountAsNotReceived) {
  ctrl_.kermit_.block_check = '3';
  const Octets good = Send('D', 7, B("some data"));
  const Octets extended = Send('D', 7, Octets(120, 'x'));
  struct Case {
    const char* what;
    Octets packet;
  } cases[] = {
      {"data byte changed",
       [&] {
         Octets p = good;
         p[6] ^= 0x01;
         return p;
       }()},
      {"check byte changed",
       [&] {
         Octets p = good;
         p[p.size() - 2] ^= 0x01;
         return p;
       }()},
      {"header check of extended packet",
       [&] {
         Octets p = extended;
         p[6] ^= 0x01;
         return p;
       }()},
      {"LEN shorter than the check",
       [&] {
         Octets p = good;
         p[1] = KermitToChar(3);
         return p;
       }()},
      // LENX1/LENX2 announce 94*95 + 94 bytes, more than the work buffer holds; the header
      // check is right, so only the length decides.
      {"extended length beyond the work buffer",
       [&] {
         Octets p = extended;
         p[4] = KermitToChar(94);
         p[5] = KermitToChar(94);
         int s = p[1] + p[2] + p[3] + p[4] + p[5];
         p[6] = KermitToChar((s + ((s & 0xC0) >> 6)) & 0x3F);
         return p;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ctrl_.work_buffer_.fill(0xEE);
    EXPECT_EQ(Feed(c.packet), 'Q');
    // Nothing of it is taken as a packet, and the work buffer was written only within bounds:
    // the next good packet reads fine.
    EXPECT_EQ(Feed(good), 'D');
    EXPECT_EQ(ReadData(), B("some data"));
  }
}

TEST_F(KermitPacketTest, PacketCutShortIsDroppedAndTheNextOneRead) {
  ctrl_.kermit_.block_check = '3';
  Octets first = Send('D', 1, B("first packet"));
  Octets second = Send('D', 2, B("second"));
  Octets line(first.begin(), first.begin() + 8);  // lost the rest of the first packet
  line.insert(line.end(), second.begin(), second.end());
  EXPECT_EQ(Feed(line), 'D');
  EXPECT_EQ(ctrl_.kermit_.read_seq, 2);
  EXPECT_EQ(ReadData(), B("second"));
}

TEST_F(KermitPacketTest, SilentLineEndsTheReadAfterAboutTenSeconds) {
  uint64_t start = world_.NowMs();
  EXPECT_EQ(KermitReadPacket(ctrl_), 'Q');
  uint64_t took = world_.NowMs() - start;
  EXPECT_GE(took, 10000u);
  EXPECT_LE(took, 12500u);
}

TEST_F(KermitPacketTest, StopFlagEndsTheReadAtOnce) {
  Octets line = Send('Y', 0, {});
  ctrl_.transfer_stop_ = true;
  uint64_t start = world_.NowMs();
  EXPECT_EQ(Feed(line), 'Q');
  EXPECT_LE(world_.NowMs() - start, 1u);
  ctrl_.transfer_stop_ = false;
}

TEST_F(KermitPacketTest, ErrorPacketSaysCancelled) {
  ctrl_.kermit_.own_seq = 4;
  ctrl_.kermit_.block_check = '3';
  port_.ClearWritten();
  KermitSendError(ctrl_);
  Octets line = port_.written();
  EXPECT_EQ(Feed(line), 'E');
  EXPECT_EQ(ctrl_.kermit_.read_seq, 4);
  EXPECT_EQ(ReadData(), B("Cancelled"));
}

TEST_F(KermitPacketTest, EncodingExamples) {
  struct Case {
    const char* what;
    bool bin;
    bool rept;
    Octets source;
    Octets want;
  } cases[] = {
      {"control, plain, 8-bit", true, true, {0x01, 0x41, 0xC1}, B("#AA&A")},
      {"ten blanks", true, true, Octets(10, ' '), B("~* ")},
      {"run of three", true, true, B("xxx"), B("xxx")},
      {"run of four", true, true, B("xxxx"), B("~$x")},
      {"run of 94", true, true, Octets(94, 'x'), B("~~x")},
      {"run of 95", true, true, Octets(95, 'x'), B("x~~x")},
      {"run of NULs", true, true, Octets(5, 0), B("~%#@")},
      {"QCTL", true, true, B("#"), B("##")},
      {"REPT with repeat counts", true, true, B("~"), B("#~")},
      {"REPT without repeat counts", true, false, B("~"), B("~")},
      {"QBIN and QBIN with top bit", true, true, {'&', 0xA6}, B("#&&#&")},
      {"DEL and DEL with top bit", true, true, {0x7F, 0xFF}, B("#?&#?")},
      {"QCTL with top bit", true, true, {0xA3}, B("&##")},
      // Without 8-bit prefixing the line carries the top bit itself.
      {"8-bit line", false, true, {0xC1, 0x81, 0xA3, '&'}, {0xC1, '#', 0xC1, '#', 0xA3, '&'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KermitDefaults(ctrl_.kermit_);
    ctrl_.kermit_.bin_prefixing = c.bin;
    ctrl_.kermit_.repeat_counts = c.rept;
    EXPECT_EQ(Encode(c.source), c.want);
    EXPECT_EQ(ctrl_.kermit_.consumed, static_cast<int32_t>(c.source.size()));
  }
}

TEST_F(KermitPacketTest, DataPacketFillsUpToMaxl) {
  Octets source;
  for (int i = 0; i < 300; ++i) source.push_back(static_cast<uint8_t>('A' + i % 26));
  struct Case {
    uint8_t check;
    int32_t maxl;
    int32_t want;
  } cases[] = {{'1', 94, 86}, {'3', 94, 84}, {'3', 40, 30}};
  for (const Case& c : cases) {
    ctrl_.kermit_.block_check = c.check;
    ctrl_.kermit_.maxl = c.maxl;
    Octets out = Encode(source);
    // Full once the count passes MAXL - (2 + check length) - 6.
    EXPECT_EQ(static_cast<int32_t>(out.size()), c.want) << c.check << c.maxl;
    EXPECT_EQ(ctrl_.kermit_.consumed, c.want);
  }
  // The worst case, a prefixed 8-bit control byte after the limit, still fits MAXL.
  ctrl_.kermit_.block_check = '3';
  ctrl_.kermit_.maxl = 94;
  Octets worst(300, 0x81);
  for (size_t i = 1; i < worst.size(); i += 2) worst[i] = 0x82;
  Octets out = Encode(worst);
  EXPECT_LE(static_cast<int32_t>(out.size()) + 2 + 3, 94);
}

// Encodes a file packet by packet and decodes every packet into a second file, as the sender
// and the receiver do, under each combination of prefixing and repeat counts.
TEST_F(KermitPacketTest, EncodeDecodeRoundTripThroughFiles) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::mt19937 rng(7);
  Octets source(20000);
  for (auto& b : source) b = static_cast<uint8_t>(rng());
  // Runs of every length around the compression limits, and of the prefix characters.
  for (int run : {3, 4, 5, 93, 94, 95, 96, 200, 4000}) {
    source.insert(source.end(), run, static_cast<uint8_t>(run));
    source.insert(source.end(), run, static_cast<uint8_t>('~'));
    source.insert(source.end(), run, static_cast<uint8_t>('#' | 0x80));
  }
  {
    std::ofstream f(dir.File("in.bin"), std::ios::binary);
    f.write(reinterpret_cast<const char*>(source.data()), source.size());
  }
  for (bool bin : {true, false}) {
    for (bool rept : {true, false}) {
      SCOPED_TRACE(std::string("bin ") + (bin ? "on" : "off") + ", repeat " +
                   (rept ? "on" : "off"));
      KermitState& k = ctrl_.kermit_;
      KermitDefaults(k);
      k.bin_prefixing = bin;
      k.repeat_counts = rept;
      k.block_check = '3';
      k.block_fill = k.block_pos = 0;
      k.end_of_file = false;
      auto in =
          world_.services().files->Open(dir.File("in.bin"), platform::OpenMode::kReadExisting);
      auto out =
          world_.services().files->Open(dir.File("out.bin"), platform::OpenMode::kCreateAlways);
      ASSERT_TRUE(in && out);
      ChanfoldCtrl rx(world_.services());
      int64_t consumed = 0;
      int packets = 0;
      while (!k.end_of_file) {
        ctrl_.transfer_file_ = std::move(in);
        int32_t n = KermitEncodeData(ctrl_);
        in = std::move(ctrl_.transfer_file_);
        consumed += k.consumed;
        Octets data(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + n);
        ASSERT_EQ(Feed(Send('D', packets % 64, data)), 'D');
        ASSERT_LE(ctrl_.kermit_.last_packet_length, 94 + 2);  // MARK + LEN..check + EOL
        // The receiving side is a control of its own: its file block buffer holds decoded
        // data while the sender's still holds source bytes.
        rx.work_buffer_ = ctrl_.work_buffer_;
        rx.kermit_ = k;
        rx.transfer_file_ = std::move(out);
        KermitDecodeData(rx);
        out = std::move(rx.transfer_file_);
        ++packets;
      }
      out.reset();
      EXPECT_EQ(consumed, static_cast<int64_t>(source.size()));
      EXPECT_EQ(rx.xfer_curr_bytes_, static_cast<int32_t>(source.size()));
      std::ifstream f(dir.File("out.bin"), std::ios::binary);
      Octets got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      EXPECT_TRUE(got == source) << "decoded file differs; " << got.size() << " bytes";
    }
  }
}

TEST_F(KermitPacketTest, DecodeOfALongRunPacketCountsEveryByteWritten) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  ctrl_.transfer_file_ =
      world_.services().files->Open(dir.File("o"), platform::OpenMode::kCreateAlways);
  ASSERT_TRUE(ctrl_.transfer_file_);
  // 50 runs of 94 in one extended packet decode to 4700 bytes: more than one write.
  Octets data;
  for (int i = 0; i < 50; ++i) {
    data.push_back('~');
    data.push_back('~');
    data.push_back('z');
  }
  ASSERT_EQ(Feed(Send('D', 0, data)), 'D');
  ctrl_.xfer_curr_bytes_ = 0;
  EXPECT_EQ(KermitDecodeData(ctrl_), 4700);
  EXPECT_EQ(ctrl_.xfer_curr_bytes_, 4700);
  ctrl_.transfer_file_.reset();
  std::ifstream f(dir.File("o"), std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, std::string(4700, 'z'));
}

}  // namespace
}  // namespace chanfold
