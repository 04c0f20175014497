// XModem reception in the bootloader and the flashing report that follows it.
#include <gtest/gtest.h>

#include "tests/sim/trasmod/trasmod_fixture.h"

namespace trasmod::testing {
namespace {

std::string Bytes(std::initializer_list<uint8_t> b) {
  return std::string(b.begin(), b.end());
}

class Upload : public DeviceTest {
 protected:
  // A device in its bootloader (reached by a reboot) that has been given the choice.
  void StartReceive(const char* choice, DeviceConfig config = {}) {
    Make(config);
    ASSERT_NE(RebootIntoBootloader().find('>'), std::string::npos);
    std::string reply = Ask(choice);
    ASSERT_EQ(core_->mode(), Mode::kReceiving) << reply;
    link_.Take();
  }
  // Puts a block on the line and returns the reply within ms.
  std::string SendBlock(const std::vector<uint8_t>& block, uint64_t ms = 10) {
    link_.Take();
    Put(block);
    link_.Advance(ms);
    return link_.Take();
  }
  // Sends data as the updater's sender does: 1024-byte blocks, the last one as a 128-byte
  // block when at most 128 bytes are left; EOT. Every block must be acknowledged.
  void SendAll(const std::vector<uint8_t>& data) {
    uint8_t number = 1;
    for (size_t pos = 0; pos < data.size(); ++number) {
      size_t left = data.size() - pos;
      size_t len = left <= 128 ? 128 : 1024;
      size_t take = std::min(left, len);
      std::vector<uint8_t> chunk(data.begin() + pos, data.begin() + pos + take);
      ASSERT_EQ(SendBlock(Block(number, chunk, len)), Bytes({kAck})) << "block at " << pos;
      pos += take;
    }
    ASSERT_EQ(Ask(Bytes({kEot})), Bytes({kAck}));
  }
  // The report from the acknowledged EOT up to and including the prompt.
  std::string Report(uint64_t limit_ms = 10000) {
    std::string text;
    for (uint64_t t = 0; t < limit_ms && text.find('>') == std::string::npos; t += 10) {
      link_.Advance(10);
      text += link_.Take();
    }
    return text;
  }
};

TEST_F(Upload, AsksWithCUntilTheFirstBlock) {
  StartReceive("F");
  link_.Advance(3500);
  EXPECT_EQ(link_.Take(), "CCC");  // one per second after the one sent with the menu reply
  EXPECT_EQ(SendBlock(Block(1, Pattern(1024))), Bytes({kAck}));
  link_.Advance(5000);
  EXPECT_EQ(link_.Take(), "");  // no more "C" once blocks come
  EXPECT_EQ(core_->receive_stats().crc_requests, 4u);
}

TEST_F(Upload, BlocksBadBlocksDuplicatesAndEot) {
  StartReceive("B");
  const std::vector<uint8_t> file = Pattern(3 * 1024 + 100, 3);
  auto part = [&](size_t from, size_t n) {
    return std::vector<uint8_t>(file.begin() + from, file.begin() + from + n);
  };
  EXPECT_EQ(SendBlock(Block(1, part(0, 1024))), Bytes({kAck}));

  // A block whose CRC is wrong is refused with NAK once the line is quiet.
  std::vector<uint8_t> bad = Block(2, part(1024, 1024));
  bad[500] ^= 0x40;
  EXPECT_EQ(SendBlock(bad, 50), "");
  EXPECT_EQ(SendBlock({}, 100), Bytes({kNak}));
  // So is one whose number and complement disagree.
  std::vector<uint8_t> mismatched = Block(2, part(1024, 1024));
  mismatched[2] = 0x00;
  EXPECT_EQ(SendBlock(mismatched, 200), Bytes({kNak}));

  EXPECT_EQ(SendBlock(Block(2, part(1024, 1024))), Bytes({kAck}));
  // Our ACK was lost: the repeat is acknowledged and dropped.
  EXPECT_EQ(SendBlock(Block(2, part(1024, 1024))), Bytes({kAck}));
  // A block that arrives in pieces.
  std::vector<uint8_t> third = Block(3, part(2048, 1024));
  for (size_t pos = 0; pos < third.size(); pos += 100) {
    std::vector<uint8_t> piece(third.begin() + pos,
                               third.begin() + std::min(third.size(), pos + 100));
    std::string reply = SendBlock(piece, 20);
    EXPECT_EQ(reply, pos + 100 >= third.size() ? Bytes({kAck}) : "");
  }
  // The last 100 bytes as a 128-byte block padded with SUB.
  EXPECT_EQ(SendBlock(Block(4, part(3072, 100), 128)), Bytes({kAck}));
  EXPECT_EQ(Ask(Bytes({kEot})), Bytes({kAck}));

  ASSERT_EQ(core_->images().size(), 1u);
  const ReceivedImage& image = core_->images()[0];
  EXPECT_EQ(image.kind, ImageKind::kBitstream);
  EXPECT_EQ(image.blocks, 4u);
  ASSERT_EQ(image.data.size(), 3 * 1024 + 128u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), image.data.begin()));
  EXPECT_EQ(image.data.back(), kSub);
  EXPECT_EQ(image.Unpadded(), file);
  const ReceiveStats& stats = core_->receive_stats();
  EXPECT_EQ(stats.good_blocks, 4u);
  EXPECT_EQ(stats.duplicates, 1u);
  EXPECT_EQ(stats.bad_blocks, 2u);
  EXPECT_EQ(stats.naks, 2u);
  EXPECT_EQ(core_->mode(), Mode::kFlashing);
}

TEST_F(Upload, StallsAndJunkAreAnsweredWithNak) {
  StartReceive("F");
  std::vector<uint8_t> block = Block(1, Pattern(1024));
  // Half a block, then silence: the rest is taken as lost after a second.
  EXPECT_EQ(SendBlock(std::vector<uint8_t>(block.begin(), block.begin() + 500), 990), "");
  EXPECT_EQ(SendBlock({}, 20), Bytes({kNak}));
  EXPECT_EQ(SendBlock(block), Bytes({kAck}));
  // Junk where a block should begin.
  EXPECT_EQ(SendBlock({'x', 'y', 'z'}, 200), Bytes({kNak}));
  EXPECT_EQ(SendBlock(Block(2, Pattern(1024, 1))), Bytes({kAck}));
  // A sender that goes quiet between blocks is asked again after ten seconds.
  EXPECT_EQ(SendBlock({}, 9980), "");  // 9990 ms after the ACK
  EXPECT_EQ(SendBlock({}, 20), Bytes({kNak}));
  EXPECT_EQ(core_->mode(), Mode::kReceiving);
}

TEST_F(Upload, EndingsWithoutAnImage) {
  struct Case {
    const char* name;
    std::function<void()> act;
    std::string sent;         // what the device sends at once
    std::string_view report;  // what the report says
  };
  const std::string cancel(XModemReceiver::kCancelBytes, static_cast<char>(kCan));
  const std::vector<Case> cases = {
      {"sender cancels",
       [this] {
         SendBlock(Block(1, Pattern(1024)));
         Put(std::string(5, static_cast<char>(kCan)));
       },
       "", "Upload cancelled"},
      {"block out of sequence",
       [this] {
         SendBlock(Block(1, Pattern(1024)));
         Put(Block(3, Pattern(1024)));
       },
       cancel, "ERROR: upload failed"},
      {"too many bad blocks",
       [this] {
         std::vector<uint8_t> bad = Block(1, Pattern(1024));
         bad.back() ^= 1;
         for (int i = 0; i < XModemReceiver::kMaxRetries; ++i) SendBlock(bad, 200);
         Put(bad);
         link_.Advance(200);
       },
       cancel, "ERROR: upload failed"},
      {"no upload comes", [this] { link_.Advance(61000); }, "", "ERROR: no upload"},
      {"EOT without blocks", [this] { Put(Bytes({kEot})); }, Bytes({kAck}), "ERROR: empty upload"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartReceive("F");
    c.act();
    std::string sent = link_.Take();
    std::erase(sent, 'C');
    if (!c.sent.empty()) {
      ASSERT_GE(sent.size(), c.sent.size());
      EXPECT_EQ(sent.substr(sent.size() - c.sent.size()), c.sent);
    }
    EXPECT_EQ(core_->mode(), Mode::kBootloader);
    std::string report = sent + Report();
    EXPECT_NE(report.find(c.report), std::string::npos) << report;
    EXPECT_EQ(report.substr(report.size() - kPrompt.size()), kPrompt);
    EXPECT_TRUE(core_->images().empty());
  }
}

TEST_F(Upload, FlashingReportEndsWithThePrompt) {
  StartReceive("B");
  SendAll(Pattern(5000));
  ASSERT_EQ(link_.sends().back().bytes, Bytes({kAck}));
  const uint64_t eot_ms = link_.sends().back().at_ms;
  std::string report = Report();
  ASSERT_EQ(core_->mode(), Mode::kBootloader);

  // Nothing for the report lead (a sender purges its input just after the EOT), then one line
  // per flash-line time; the last line and the prompt in one piece.
  const auto& sends = link_.sends();
  std::vector<uint64_t> times;
  for (const auto& s : sends) {
    if (s.at_ms > eot_ms) times.push_back(s.at_ms - eot_ms);
  }
  EXPECT_EQ(times, (std::vector<uint64_t>{1000, 1200, 1400, 1600, 1800}));
  EXPECT_EQ(sends.back().bytes, "Bitstream programmed\r\n" + std::string(kPrompt));

  // Read as the updater reads it: the text before the four characters in front of the first
  // ">" is exactly the report lines, each with its CR LF.
  size_t p = report.find('>') + 1;  // 1-based
  ASSERT_GE(p, 5u);
  EXPECT_EQ(report.substr(0, p - 5),
            "Received 5120 bytes in 5 blocks\r\n"
            "Erasing bitstream flash ...\r\n"
            "Programming bitstream flash ...\r\n"
            "Verifying bitstream ...\r\n"
            "Bitstream programmed\r\n");
  EXPECT_EQ(report.find("ERROR"), std::string::npos);
  EXPECT_EQ(report.size(), p);  // the prompt ends it
  EXPECT_TRUE(core_->images()[0].flashed);
  // Back at the menu.
  EXPECT_EQ(Ask("\x1a"), kPrompt);
}

TEST_F(Upload, FlashErrorReportsErrorThenThePromptApart) {
  DeviceConfig config;
  config.flash_error = true;
  config.hardware = "6.5";
  StartReceive("B", config);
  SendAll(Pattern(2000));
  const size_t before = link_.sends().size();
  std::string report = Report();
  const auto& sends = link_.sends();
  ASSERT_GE(sends.size(), before + 2);
  const auto& error_line = sends[sends.size() - 2];
  EXPECT_EQ(error_line.bytes, "ERROR: bitstream verify failed\r\n");
  EXPECT_EQ(sends.back().bytes, kPrompt);
  EXPECT_EQ(sends.back().at_ms, error_line.at_ms + 200);
  EXPECT_EQ(report.find("programmed"), std::string::npos);
  EXPECT_FALSE(core_->images()[0].flashed);
  EXPECT_EQ(core_->hardware_version(), "6.5");  // the failed bitstream changed nothing
}

TEST_F(Upload, RebootDuringUpload) {
  DeviceConfig config;
  config.reboot_during_upload = 2;
  StartReceive("F", config);
  EXPECT_EQ(SendBlock(Block(1, Pattern(1024))), Bytes({kAck}));
  EXPECT_EQ(SendBlock(Block(2, Pattern(1024))), Bytes({kAck}));
  EXPECT_EQ(core_->mode(), Mode::kRebooting);
  EXPECT_EQ(SendBlock(Block(3, Pattern(1024))), "");
  EXPECT_EQ(core_->reboots(), 2);
  EXPECT_TRUE(core_->images().empty());
  link_.Advance(2000);  // nobody sends SUB: it comes back in its firmware
  EXPECT_EQ(core_->mode(), Mode::kFirmware);
}

TEST_F(Upload, FullUpdateChangesTheReportedVersions) {
  DeviceConfig config;
  config.hardware = "6.5";
  config.firmware = "7.10";
  Make(config);
  // As the updater does it from firmware mode: bitstream, then firmware, then a reboot.
  for (const char* choice : {"B", "F"}) {
    SCOPED_TRACE(choice);
    ASSERT_NE(RebootIntoBootloader().find('>'), std::string::npos);
    Ask(choice);
    ASSERT_EQ(core_->mode(), Mode::kReceiving);
    SendAll(Pattern(choice[0] == 'B' ? 3000 : 1500, choice[0]));
    std::string report = Report();
    ASSERT_NE(report.find('>'), std::string::npos);
  }
  EXPECT_EQ(core_->hardware_version(), "7.0");
  EXPECT_EQ(core_->firmware_version(), "7.15");
  Ask("REBOOT\r\n", 2000);
  ASSERT_EQ(core_->mode(), Mode::kFirmware);
  auto fields = VersionFields(Ask("VERSION\r\n"));
  EXPECT_EQ(fields[1], "7.0");
  EXPECT_EQ(fields[2], "7.15");
  ASSERT_EQ(core_->images().size(), 2u);
  EXPECT_EQ(core_->images()[0].kind, ImageKind::kBitstream);
  EXPECT_EQ(core_->images()[1].kind, ImageKind::kFirmware);
  EXPECT_EQ(core_->images()[1].Unpadded(), Pattern(1500, 'F'));
  EXPECT_EQ(core_->reboots(), 3);
}

TEST(Crc16Xmodem, CheckValue) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc16Xmodem(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);
  EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0);
}

}  // namespace
}  // namespace trasmod::testing
