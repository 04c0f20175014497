// Our XModem/YModem sender against a scripted receiver: block layout and padding, the
// fall-backs, retries and their limit, cancels, batches and block 0.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/transfer/transfer_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SenderTest : public TransferTest {
 protected:
  void SetUp() override { Open(); }

  // Uploads one file of `data` with `protocol` to `peer`, which asks with `start`.
  void Upload(ReceiverPeer& peer, ProtocolType protocol, const Bytes& data, const char* start) {
    WriteFile("f.bin", data);
    ctrl_.put_XferProtocol(protocol);
    ctrl_.XferClearAllFiles();
    ctrl_.XferAddFile(u"f.bin");
    Start(protocol, aUpload);
    peer.SendLater(start, 300);
    ASSERT_TRUE(RunToEnd());
    world_.RunFor(1000);  // the peer's late answers land while it still exists
  }
};

TEST_F(SenderTest, XModem1KBlocksAndPaddingBySize) {
  struct Case {
    size_t size;
    std::vector<uint8_t> firsts;  // SOH or STX of each block
    size_t last_data;             // data bytes in the last block
  };
  const Case cases[] = {
      {3 * 1024, {kStx, kStx, kStx}, 1024},
      {2 * 1024 + 100, {kStx, kStx, kSoh}, 100},
      {2 * 1024 + 200, {kStx, kStx, kStx}, 200},
      {1, {kSoh}, 1},
      {1500, {kStx, kStx}, 476},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    events_.Clear();
    ReceiverPeer peer(world_, port_);
    const Bytes data = Pattern(c.size, static_cast<uint32_t>(c.size));
    Upload(peer, pXModem1K, data, "C");
    ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    EXPECT_THAT(events_.names(),
                ElementsAre("DoInit", "StartFile f.bin", "FinishFile f.bin", "FinishTransfer"));
    ASSERT_EQ(peer.blocks.size(), c.firsts.size());
    for (size_t i = 0; i < peer.blocks.size(); ++i) {
      EXPECT_EQ(peer.blocks[i].first, c.firsts[i]) << i;
      EXPECT_EQ(peer.blocks[i].number, i + 1);
      EXPECT_EQ(peer.blocks[i].complement, 254 - i);
      EXPECT_TRUE(peer.blocks[i].check_ok);
    }
    const Bytes& last = peer.blocks.back().field;
    for (size_t i = c.last_data; i < last.size(); ++i) ASSERT_EQ(last[i], kPadByte) << i;
    Bytes got = peer.files.at(0).data;
    got.resize(c.size);
    EXPECT_EQ(got, data);
    EXPECT_EQ(events_.blocks_done, static_cast<int>(c.firsts.size()));
    // The bytes read from the file, not the padded blocks.
    EXPECT_EQ(ctrl_.get_XferCurrBytes(), static_cast<int32_t>(c.size));
    EXPECT_EQ(ctrl_.get_XferCurrFileSize(), static_cast<int32_t>(c.size));
    EXPECT_EQ(peer.eots, 1);
  }
}

TEST_F(SenderTest, StartCharactersAndFallBacks) {
  struct Case {
    const char* what;
    ProtocolType protocol;
    const char* start;
    bool crc;
    size_t block_size;  // data bytes per block
    ProtocolType after;
  };
  const Case cases[] = {
      {"checksum with NAK", pXModemChecksum, "\x15", false, 128, pXModemChecksum},
      {"checksum, lone C moves up to 1K", pXModemChecksum, "C", true, 1024, pXModem1K},
      {"CRC with C", pXModemCRC, "C", true, 128, pXModemCRC},
      // A receiver repeating "C" several times is still a CRC receiver, but not a lone "C".
      {"checksum, a run of C is ignored until NAK", pXModemChecksum, "CCCCC", false, 128,
       pXModemChecksum},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    events_.Clear();
    ReceiverPeer peer(world_, port_);
    peer.crc = c.crc;
    if (std::string(c.start) == "CCCCC") peer.SendLater("\x15", 800);
    const Bytes data = Pattern(3000);
    Upload(peer, c.protocol, data, c.start);
    ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    ASSERT_FALSE(peer.blocks.empty());
    EXPECT_EQ(peer.blocks[0].field.size(), c.block_size);
    for (const auto& b : peer.blocks) EXPECT_TRUE(b.check_ok);
    EXPECT_EQ(ctrl_.get_XferProtocol(), c.after);
    Bytes got = peer.files.at(0).data;
    got.resize(data.size());
    EXPECT_EQ(got, data);
  }
}

TEST_F(SenderTest, YModemGWithALoneCBecomesYModemAndGCountsAsNak) {
  ReceiverPeer peer(world_, port_);
  peer.ymodem = true;
  // The first data block is answered with "G": a NAK for YModem.
  peer.answer = [&](const ReceiverPeer::Block& b, int index) -> Bytes {
    if (index == 1) return {'G'};
    if (b.number == 0 && index == 0) return {kAck, 'C'};
    return {kAck};
  };
  Upload(peer, pYModemG, Pattern(2500), "C");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ctrl_.get_XferProtocol(), pYModem);
  // Block 0, block 1 (answered "G"), block 1 again, block 2, block 3, end of batch.
  ASSERT_EQ(peer.blocks.size(), 6u);
  EXPECT_EQ(peer.blocks[1].number, 1);
  EXPECT_EQ(peer.blocks[2].number, 1);
  EXPECT_EQ(peer.blocks[3].number, 2);
  EXPECT_THAT(events_.names(), ::testing::Contains("HasError Data error, try again..."));
}

TEST_F(SenderTest, NakToTheLimitEndsWithTooManyErrors) {
  ReceiverPeer peer(world_, port_);
  peer.answer = [](const ReceiverPeer::Block&, int) { return Bytes{kNak}; };
  Upload(peer, pXModem1K, Pattern(2000), "C");
  EXPECT_THAT(events_.names(),
              ElementsAre("DoInit", "StartFile f.bin", "HasError Data error, try again...",
                          "HasError Data error, try again...", "HasError Data error, try again...",
                          "HasError Data error, try again...",
                          "HasError Too many errors, action terminated.", "AbortTransfer"));
  // The same block five times, never the next one.
  ASSERT_EQ(peer.blocks.size(), 5u);
  for (const auto& b : peer.blocks) EXPECT_EQ(b.number, 1);
  EXPECT_EQ(peer.cans, 0);
}

TEST_F(SenderTest, FiveCanFromTheReceiverAbortWithoutACancelOfOurs) {
  for (const char* cancel : {"\x18\x18\x18\x18\x18", "\x18\x18"}) {
    SCOPED_TRACE(std::string(cancel).size());
    events_.Clear();
    ReceiverPeer peer(world_, port_);
    const bool split = std::string(cancel).size() < 5;
    peer.answer = [&](const ReceiverPeer::Block&, int index) -> Bytes {
      if (index < 1) return {kAck};
      if (split) peer.SendLater("\x18\x18\x18", 200);  // the rest of the run comes later
      return Bytes(cancel, cancel + std::string(cancel).size());
    };
    Upload(peer, pXModem1K, Pattern(5000), "C");
    EXPECT_TRUE(Aborted()) << ::testing::PrintToString(events_.names());
    EXPECT_EQ(peer.blocks.size(), 2u);
    EXPECT_EQ(peer.cans, 0);
  }
}

TEST_F(SenderTest, EotIsRepeatedUntilAck) {
  ReceiverPeer peer(world_, port_);
  peer.answer_eot = [](int index) { return index < 2 ? Bytes{kNak} : Bytes{kAck}; };
  Upload(peer, pXModem1K, Pattern(100), "C");
  EXPECT_TRUE(Finished());
  EXPECT_EQ(peer.eots, 3);
}

TEST_F(SenderTest, Block256CarriesNumberZero) {
  ReceiverPeer peer(world_, port_);
  const Bytes data = Pattern(257 * 128);
  Upload(peer, pXModemCRC, data, "C");
  ASSERT_TRUE(Finished());
  ASSERT_EQ(peer.blocks.size(), 257u);
  EXPECT_EQ(peer.blocks[254].number, 255);
  EXPECT_EQ(peer.blocks[255].number, 0x00);
  EXPECT_EQ(peer.blocks[255].complement, 0xFF);
  EXPECT_EQ(peer.blocks[256].number, 1);
  EXPECT_EQ(peer.files.at(0).data, data);
}

TEST_F(SenderTest, YModemBatchCarriesThe128ByteFallBackIntoTheNextFile) {
  const Bytes a = Pattern(1024 + 100, 1);
  const Bytes b = Pattern(300, 2);
  WriteFile("a.bin", a);
  WriteFile("B.Dat", b);
  ctrl_.put_XferProtocol(pYModem);
  ctrl_.XferAddFile(u"a.bin");
  ctrl_.XferAddFile(u"B.Dat");
  ReceiverPeer peer(world_, port_);
  peer.ymodem = true;
  Start(pYModem, aUpload);
  peer.SendLater("C", 300);
  ASSERT_TRUE(RunToEnd());
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_THAT(events_.names(),
              ElementsAre("DoInit", "StartFile a.bin", "FinishFile a.bin", "StartFile B.Dat",
                          "FinishFile B.Dat", "FinishTransfer"));
  // a: block 0 (1K), one STX block, one SOH block with 100 bytes; B: block 0 and three data
  // blocks, all SOH; then the empty block 0.
  std::vector<uint8_t> firsts, numbers;
  for (const auto& blk : peer.blocks) {
    firsts.push_back(blk.first);
    numbers.push_back(blk.number);
  }
  EXPECT_THAT(firsts, ElementsAre(kStx, kStx, kSoh, kSoh, kSoh, kSoh, kSoh, kSoh));
  EXPECT_THAT(numbers, ElementsAre(0, 1, 2, 0, 1, 2, 3, 0));
  ASSERT_EQ(peer.files.size(), 2u);
  EXPECT_EQ(peer.files[0].name, "a.bin");
  EXPECT_EQ(peer.files[0].size, 1124);
  EXPECT_EQ(peer.files[1].name, "B.Dat");
  EXPECT_EQ(peer.files[1].size, 300);
  Bytes got_a = peer.files[0].data, got_b = peer.files[1].data;
  got_a.resize(a.size());
  got_b.resize(b.size());
  EXPECT_EQ(got_a, a);
  EXPECT_EQ(got_b, b);
  EXPECT_TRUE(peer.batch_ended);
  // Block 0 of the first file is the name, NUL, the size, NUL and pad bytes.
  const Bytes& info = peer.blocks[0].field;
  EXPECT_EQ(std::string(info.begin(), info.begin() + 11), std::string("a.bin\0"
                                                                      "1124\0",
                                                                      11));
  EXPECT_EQ(info[11], kPadByte);
  EXPECT_EQ(info[1023], kPadByte);
}

// Block 0 waits for its ACK and the "C" behind it: a receiver that answers late must not have
// its answer to block 0 taken for the answer to block 1.
TEST_F(SenderTest, YModemBlock0WaitsForItsAnswer) {
  ReceiverPeer peer(world_, port_);
  peer.ymodem = true;
  peer.answer = [&](const ReceiverPeer::Block& b, int index) -> Bytes {
    if (index == 0) {
      peer.SendLater("C", 700);  // the request for data comes well after the ACK
      return {kAck};
    }
    // The first data block is bad once: the NAK must bring block 1 again, not block 2.
    if (index == 1) return {kNak};
    return b.check_ok ? Bytes{kAck} : Bytes{kNak};
  };
  Upload(peer, pYModem, Pattern(3000), "C");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  ASSERT_GE(peer.blocks.size(), 4u);
  EXPECT_EQ(peer.blocks[1].number, 1);
  EXPECT_GE(peer.blocks[1].at_ms, peer.blocks[0].at_ms + 700);
  EXPECT_EQ(peer.blocks[2].number, 1);
  EXPECT_EQ(peer.blocks[3].number, 2);
}

// After EOT the next block 0 (and the end of the batch) waits for the receiver's "C": a block 0
// sent at once may be thrown away with the receiver's input.
TEST_F(SenderTest, YModemWaitsForTheRequestBeforeTheNextBlock0) {
  ReceiverPeer peer(world_, port_);
  peer.ymodem = true;
  std::vector<uint64_t> c_sent_at;
  peer.answer_eot = [&](int) {
    c_sent_at.push_back(world_.NowMs() + 400);
    peer.SendLater("C", 400);
    return Bytes{kAck};
  };
  Upload(peer, pYModem, Pattern(1500), "C");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  ASSERT_EQ(c_sent_at.size(), 1u);
  ASSERT_TRUE(peer.batch_ended);
  EXPECT_GE(peer.blocks.back().at_ms, c_sent_at[0]);
}

TEST_F(SenderTest, YModemGStreamsWithoutWaiting) {
  ReceiverPeer peer(world_, port_);
  peer.ymodem = true;
  peer.streaming = true;
  const Bytes data = Pattern(5000);
  Upload(peer, pYModemG, data, "G");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ctrl_.get_XferProtocol(), pYModemG);
  Bytes got = peer.files.at(0).data;
  got.resize(data.size());
  EXPECT_EQ(got, data);
}

TEST_F(SenderTest, AFileThatCannotBeOpenedIsSkippedAndTheLastOneAborts) {
  WriteFile("a.bin", Pattern(500, 1));
  WriteFile("b.bin", Pattern(600, 2));
  ctrl_.put_XferProtocol(pYModem);
  ctrl_.XferAddFile(u"a.bin");
  ctrl_.XferAddFile(u"b.bin");
  // Opens are exclusive: holding a file makes the sender's open fail.
  struct Case {
    const char* held;
    std::vector<std::string> events;
    size_t files;
  };
  const Case cases[] = {
      {"a.bin",
       {"DoInit", "HasError Can not open file a.bin", "StartFile b.bin", "FinishFile b.bin",
        "FinishTransfer"},
       1},
      {"b.bin",
       {"DoInit", "StartFile a.bin", "FinishFile a.bin", "HasError Can not open file b.bin",
        "AbortTransfer"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.held);
    events_.Clear();
    ReceiverPeer peer(world_, port_);
    peer.ymodem = true;
    std::unique_ptr<platform::File> hold;
    world_.After(200, [&] {
      hold = world_.services().files->Open(dir_.File(c.held), platform::OpenMode::kReadExisting);
    });
    Start(pYModem, aUpload);
    peer.SendLater("C", 300);
    ASSERT_TRUE(RunToEnd());
    ASSERT_TRUE(hold);
    EXPECT_EQ(events_.names(), c.events);
    EXPECT_EQ(peer.files.size(), c.files);
    // The receiver of an aborted batch is told so.
    EXPECT_EQ(peer.cans, Aborted() ? 5 : 0);
    hold.reset();
  }
}

}  // namespace
}  // namespace chanfold::testing
