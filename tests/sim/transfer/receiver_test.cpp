// Our XModem/YModem receiver against a scripted sender: what it writes, what it answers, and
// how it ends on repeats, gaps, bad blocks, cancels and names it must not use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/sim/transfer/transfer_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ReceiverTest : public TransferTest {
 protected:
  void SetUp() override { Open(); }

  void Download(SenderPeer& /*peer*/, ProtocolType protocol, const char* dst = "out.bin") {
    ctrl_.put_XferProtocol(protocol);
    ctrl_.XferSetDstFile(Wide(dst));
    Start(protocol, aDownload);
    ASSERT_TRUE(RunToEnd());
    world_.RunFor(500);
  }
  // What our receiver sent, as a string of names: "C", "ACK", "NAK", "CAN", "G", "?".
  std::vector<std::string> Answers(const SenderPeer& peer) {
    std::vector<std::string> out;
    for (uint8_t b : peer.received) {
      out.push_back(b == 'C'    ? "C"
                    : b == 'G'  ? "G"
                    : b == kAck ? "ACK"
                    : b == kNak ? "NAK"
                    : b == kCan ? "CAN"
                                : "?");
    }
    return out;
  }
};

TEST_F(ReceiverTest, XModem1KDownloadDropsThePadOfTheLastBlock) {
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(1500);
  peer.AddXModemFile(data, 1024, true);
  Download(peer, pXModem1K);
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_THAT(events_.names(),
              ElementsAre("DoInit", "StartFile out.bin", "FinishFile out.bin", "FinishTransfer"));
  EXPECT_EQ(events_.blocks_done, 2);
  EXPECT_EQ(ReadFile("out.bin"), data);
  EXPECT_EQ(ctrl_.get_XferCurrBytes(), 1500);
  EXPECT_EQ(ctrl_.get_XferCurrFileSize(), 0);
  EXPECT_THAT(Answers(peer), ElementsAre("C", "ACK", "ACK", "ACK"));
}

TEST_F(ReceiverTest, XModemEndsOfFiles) {
  struct Case {
    const char* what;
    ProtocolType protocol;
    Bytes data;
    size_t expect_size;
  };
  Bytes sub_tail = Pattern(300);
  sub_tail.insert(sub_tail.end(), 3, kPadByte);
  Bytes zero_tail = Pattern(300);
  zero_tail.insert(zero_tail.end(), 3, 0);
  const Case cases[] = {
      {"real 0x1A bytes at the end are lost", pXModemCRC, sub_tail, 300},
      {"zeros at the end stay", pXModemCRC, zero_tail, 303},
      {"checksum blocks", pXModemChecksum, zero_tail, 303},
      {"exactly one block", pXModemCRC, Pattern(128), 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    events_.Clear();
    SenderPeer peer(world_, port_);
    peer.request = c.protocol == pXModemChecksum ? kNak : 'C';
    peer.AddXModemFile(c.data, 128, c.protocol != pXModemChecksum);
    Download(peer, c.protocol);
    ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    Bytes expect(c.data.begin(), c.data.begin() + static_cast<long>(c.expect_size));
    EXPECT_EQ(ReadFile("out.bin"), expect);
  }
}

TEST_F(ReceiverTest, ARepeatedBlockIsAcknowledgedAndWrittenOnce) {
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(3000);
  peer.AddXModemFile(data, 1024, true);
  peer.frames.insert(peer.frames.begin() + 1, peer.frames[0]);  // block 1 twice
  Download(peer, pXModem1K);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(ReadFile("out.bin"), data);
  EXPECT_THAT(Answers(peer), ElementsAre("C", "ACK", "ACK", "ACK", "ACK", "ACK"));
}

TEST_F(ReceiverTest, ABlockOutOfSequenceCancelsTheTransfer) {
  SenderPeer peer(world_, port_);
  peer.AddXModemFile(Pattern(4000), 1024, true);
  peer.frames.erase(peer.frames.begin() + 1);  // block 2 never comes
  Download(peer, pXModem1K);
  EXPECT_TRUE(Aborted());
  EXPECT_THAT(events_.names(), ::testing::Contains("HasError Block out of sequence, action "
                                                   "terminated."));
  EXPECT_THAT(Answers(peer), ElementsAre("C", "ACK", "CAN", "CAN", "CAN", "CAN", "CAN"));
}

TEST_F(ReceiverTest, ABadBlockIsAnsweredWithNakAndNotWritten) {
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(3000);
  peer.AddXModemFile(data, 1024, true);
  peer.mutate = [](size_t index, int attempt, Bytes& bytes) {
    if (index == 1 && attempt == 0) bytes[500] ^= 0x10;
  };
  Download(peer, pXModem1K);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(ReadFile("out.bin"), data);
  EXPECT_EQ(peer.naks, 1);
}

// The number and its complement are not covered by the check: a block whose two header bytes
// disagree is a bad block like one with a bad check, whatever the damaged number reads as.
TEST_F(ReceiverTest, ABlockWithADamagedHeaderIsAnsweredWithNak) {
  struct Case {
    const char* what;
    ProtocolType protocol;
    size_t frame;  // the frame whose first sending is damaged
    size_t index;  // 1: the number, 2: the complement
    uint8_t value;
  };
  const Case cases[] = {
      {"XModem-1K, complement of block 2 wrong", pXModem1K, 1, 2, 0xFC},
      {"XModem-1K, block 2 reads as a repeat of block 1", pXModem1K, 1, 1, 1},
      {"XModem-1K, block 2 reads as block 7", pXModem1K, 1, 1, 7},
      {"YModem, complement of block 2 wrong", pYModem, 2, 2, 0x00},
      {"YModem, block 0 reads as block 1", pYModem, 0, 1, 1},
  };
  Bytes data = Pattern(3000, 9);
  data.back() = 0x42;  // no 0x1A at the end, which XModem would drop
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    events_.Clear();
    SenderPeer peer(world_, port_);
    const bool ymodem = c.protocol == pYModem;
    if (ymodem) {
      peer.AddYModemFile("h.bin", data);
      peer.EndBatch();
    } else {
      peer.AddXModemFile(data, 1024, true);
    }
    peer.mutate = [&c](size_t index, int attempt, Bytes& bytes) {
      if (index == c.frame && attempt == 0) bytes[c.index] = c.value;
    };
    Download(peer, c.protocol, ymodem ? "" : "h.bin");
    EXPECT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    EXPECT_EQ(ReadFile("h.bin"), data);
    EXPECT_EQ(peer.naks, 1);
    EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kNak), 1);
  }
  {
    SCOPED_TRACE("YModem-G cannot have the block again");
    events_.Clear();
    SenderPeer peer(world_, port_);
    peer.request = 'G';
    peer.AddYModemFile("g.bin", data, 1024, true);
    peer.EndBatch();
    peer.mutate = [](size_t index, int, Bytes& bytes) {
      if (index == 2) bytes[2] ^= 0x01;
    };
    Download(peer, pYModemG, "");
    EXPECT_TRUE(Aborted());
    EXPECT_THAT(events_.names(),
                ::testing::Contains("HasError Data error in streaming mode, action terminated."));
    EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kCan), 5);
    EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kNak), 0);
  }
}

TEST_F(ReceiverTest, GarbageInsteadOfABlockIsAnsweredWithTwoNaks) {
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(2000);
  peer.AddXModemFile(data, 1024, true);
  peer.mutate = [](size_t index, int attempt, Bytes& bytes) {
    if (index == 1 && attempt == 0) bytes = {'x', 'y', 'z'};
  };
  Download(peer, pXModem1K);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(ReadFile("out.bin"), data);
  // Each NAK brings block 2 again: the second copy is a repeat, acknowledged and not written,
  // and its padding does not end up in the file either.
  EXPECT_THAT(Answers(peer), ElementsAre("C", "ACK", "NAK", "NAK", "ACK", "ACK", "ACK"));
}

TEST_F(ReceiverTest, ACheckSumBlockOneByteShortIsTakenAsChecksum) {
  // A sender that ignores "C" and sends 132-byte checksum blocks.
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(200);
  peer.AddXModemFile(data, 128, false);
  Download(peer, pXModemCRC);
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ReadFile("out.bin"), data);
}

// The last byte of a CRC block that comes late is still its last byte: the block is not taken
// for a short checksum block while the line may just be slow.
TEST_F(ReceiverTest, ACrcBlockWhoseLastByteComesLateIsACrcBlock) {
  const Bytes data = Pattern(1024);
  const Bytes block = MakeBlock(1, data, true, 1024);
  port_.SetOnReceive([&](const uint8_t* p, size_t n) {
    if (n == 1 && p[0] == 'C') {
      port_.SendToProgram(block.data(), block.size() - 1);
      world_.After(100, [&] { port_.SendToProgram(&block.back(), 1); });
    } else if (n == 1 && p[0] == kAck) {
      world_.After(1, [&] { port_.SendToProgram("\x04"); });
    }
  });
  ctrl_.put_XferProtocol(pXModem1K);
  ctrl_.XferSetDstFile(u"late.bin");
  Start(pXModem1K, aDownload);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ReadFile("late.bin"), data);
}

TEST_F(ReceiverTest, StartOfTransfer) {
  {
    SCOPED_TRACE("an STX block at the start of XModem-CRC is not taken");
    SenderPeer peer(world_, port_);
    const Bytes data = Pattern(100);
    peer.AddXModemFile(data, 1024, true);
    // The 1K block is ignored; after the time-out the receiver asks again and gets SOH blocks.
    peer.mutate = [&](size_t index, int attempt, Bytes& bytes) {
      if (index == 0 && attempt > 0) bytes = MakeBlock(1, data, true, 128);
    };
    ctrl_.put_XferTimeoutInterval(1000);
    const uint64_t start = world_.NowMs();
    Download(peer, pXModemCRC);
    ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    EXPECT_EQ(ReadFile("out.bin"), data);
    EXPECT_THAT(events_.names(), ::testing::Contains(HasSubstr("try again (1)")));
    EXPECT_GE(events_.events.back().at_ms - start, 1000u);
  }
  {
    SCOPED_TRACE("five CAN while asking end the transfer without a message");
    events_.Clear();
    port_.SetOnReceive([&](const uint8_t* p, size_t n) {
      if (n == 1 && p[0] == 'C') port_.SendToProgram("\x18\x18\x18\x18\x18");
    });
    ctrl_.put_XferProtocol(pXModem1K);
    events_.Clear();
    ctrl_.put_XferStart(kVTrue);
    ASSERT_TRUE(RunToEnd());
    EXPECT_THAT(events_.names(), ElementsAre("DoInit", "AbortTransfer"));
  }
}

TEST_F(ReceiverTest, YModemBatchOfTwoFiles) {
  SenderPeer peer(world_, port_);
  const Bytes a = Pattern(2100, 1);
  Bytes b = Pattern(700, 2);
  b.push_back(kPadByte);  // YModem knows the size: a real 0x1A at the end stays
  peer.AddYModemFile("first.bin", a);
  peer.AddYModemFile("second.txt", b, 128);
  peer.EndBatch();
  Download(peer, pYModem, "");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_THAT(events_.names(),
              ElementsAre("DoInit", "StartFile first.bin", "FinishFile first.bin",
                          "StartFile second.txt", "FinishFile second.txt", "FinishTransfer"));
  EXPECT_EQ(ReadFile("first.bin"), a);
  EXPECT_EQ(ReadFile("second.txt"), b);
  EXPECT_EQ(ctrl_.dst_file_name_, u"second.txt");
  EXPECT_EQ(ctrl_.get_XferCurrFileSize(), 701);
  // C; block 0: ACK C; three blocks: ACK; EOT: ACK C; block 0: ACK C; six blocks; EOT: ACK C;
  // the empty block 0: ACK.
  std::vector<std::string> expect{"C", "ACK", "C", "ACK", "ACK", "ACK", "ACK", "C", "ACK", "C"};
  for (int i = 0; i < 6; ++i) expect.push_back("ACK");
  for (const char* s : {"ACK", "C", "ACK"}) expect.push_back(s);
  EXPECT_EQ(Answers(peer), expect);
}

// YModem block 0 says how long the file is: the file ends there, and 0x1A bytes of its own
// before that end stay. Only without a size in block 0 is the end found by dropping them.
TEST_F(ReceiverTest, YModemWritesTheAnnouncedSize) {
  struct File {
    const char* name;
    Bytes data;
    size_t length;          // of the blocks
    const char* size_text;  // in block 0; nullptr: the true size
    size_t expect_size;
  };
  auto ending_in = [](size_t n, size_t subs, uint32_t seed) {
    Bytes b = Pattern(n - subs, seed);
    b.back() = 0x42;
    b.insert(b.end(), subs, kPadByte);
    return b;
  };
  const File files[] = {
      // One block, cut inside it by the size.
      {"five.bin", ending_in(1000, 5, 1), 1024, nullptr, 1000},
      // The last block is full: no pad at all, one real 0x1A.
      {"full.bin", ending_in(2048, 1, 2), 1024, nullptr, 2048},
      // The last 128-byte block holds nothing but 0x1A bytes, its own and pad.
      {"tail.bin", ending_in(1100, 200, 3), 128, nullptr, 1100},
      {"nosize.bin", ending_in(300, 3, 4), 1024, "", 297},
  };
  SenderPeer peer(world_, port_);
  for (const File& f : files) peer.AddYModemFile(f.name, f.data, f.length, false, f.size_text);
  peer.EndBatch();
  Download(peer, pYModem, "");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  for (const File& f : files) {
    SCOPED_TRACE(f.name);
    const Bytes expect(f.data.begin(), f.data.begin() + static_cast<long>(f.expect_size));
    EXPECT_EQ(ReadFile(f.name), expect);
  }
}

// Between files the receiver asks again after a time-out, and a block 0 with an empty name
// ends the batch whatever follows the name.
TEST_F(ReceiverTest, YModemEndOfBatchAfterALostRequest) {
  SenderPeer peer(world_, port_);
  const Bytes data = Pattern(900);
  peer.AddYModemFile("x.bin", data);
  peer.frames.push_back({MakeBlock(0, Bytes{0, '0', ' ', '0', 0}, true, 128), false, false});
  peer.requests_to_miss = 2;  // the "C" of block 0 and the "C" of EOT
  ctrl_.put_XferTimeoutInterval(1000);
  Download(peer, pYModem, "");
  ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ReadFile("x.bin"), data);
  EXPECT_THAT(events_.names(), ::testing::Contains(HasSubstr("try again (1)")));
}

TEST_F(ReceiverTest, YModemGStreamsAndABadBlockAborts) {
  {
    SCOPED_TRACE("good stream");
    SenderPeer peer(world_, port_);
    peer.request = 'G';
    const Bytes data = Pattern(5000);
    peer.AddYModemFile("g.bin", data, 1024, true);
    peer.EndBatch();
    Download(peer, pYModemG, "");
    ASSERT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
    EXPECT_EQ(ReadFile("g.bin"), data);
    // G; block 0: G; the blocks are not answered; EOT: ACK G; end of batch: nothing.
    EXPECT_EQ(Answers(peer), (std::vector<std::string>{"G", "G", "ACK", "G"}));
  }
  {
    SCOPED_TRACE("a bad block in the stream");
    events_.Clear();
    SenderPeer peer(world_, port_);
    peer.request = 'G';
    peer.AddYModemFile("bad.bin", Pattern(5000), 1024, true);
    peer.EndBatch();
    peer.mutate = [](size_t index, int, Bytes& bytes) {
      if (index == 3) bytes[100] ^= 0x01;
    };
    Download(peer, pYModemG, "");
    EXPECT_TRUE(Aborted());
    EXPECT_THAT(events_.names(),
                ::testing::Contains("HasError Data error in streaming mode, action terminated."));
    EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kCan), 5);
  }
}

TEST_F(ReceiverTest, NamesOutsideTheWorkFolderAreRefused) {
  std::filesystem::create_directories(dir_.File("work/sub"));
  ctrl_.put_XferWorkDir(Wide(dir_.File("work")));
  for (const char* name :
       {"../escape.bin", "/tmp/abs.bin", "C:\\win.bin", "sub/../../up.bin", "..\\back.bin"}) {
    SCOPED_TRACE(name);
    events_.Clear();
    SenderPeer peer(world_, port_);
    peer.AddYModemFile(name, Pattern(100));
    peer.EndBatch();
    Download(peer, pYModem, "");
    EXPECT_TRUE(Aborted());
    EXPECT_THAT(events_.names(),
                ElementsAre("DoInit", "HasError Can not create file " + std::string(name) + ".",
                            "AbortTransfer"));
    EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kCan), 5);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("escape.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("up.bin")));
  EXPECT_FALSE(std::filesystem::exists("/tmp/abs.bin"));

  // A name inside a sub-folder of the work folder is fine.
  events_.Clear();
  SenderPeer peer(world_, port_);
  peer.AddYModemFile("sub/in.bin", Pattern(100));
  peer.EndBatch();
  Download(peer, pYModem, "");
  EXPECT_TRUE(Finished()) << ::testing::PrintToString(events_.names());
  EXPECT_EQ(ReadFile("work/sub/in.bin"), Pattern(100));
}

TEST_F(ReceiverTest, AFileThatCannotBeCreatedAborts) {
  {
    SenderPeer peer(world_, port_);
    peer.AddXModemFile(Pattern(100), 128, true);
    Download(peer, pXModemCRC, "no/such/dir.bin");
    EXPECT_THAT(events_.names(), ElementsAre("DoInit",
                                             "HasError Can not create file "
                                             "no/such/dir.bin",
                                             "AbortTransfer"));
  }
  events_.Clear();
  SenderPeer peer(world_, port_);
  peer.AddYModemFile("missing/x.bin", Pattern(100));
  Download(peer, pYModem, "");
  EXPECT_THAT(events_.names(), ElementsAre("DoInit", "HasError Can not create file missing/x.bin.",
                                           "AbortTransfer"));
}

TEST_F(ReceiverTest, StopDuringADownloadSendsFiveCan) {
  SenderPeer peer(world_, port_);
  peer.AddXModemFile(Pattern(10000), 1024, true);
  events_.on_block = [&] {
    if (events_.blocks_done == 2) ctrl_.put_XferStop(kVTrue);
  };
  Download(peer, pXModem1K);
  EXPECT_TRUE(Aborted());
  EXPECT_EQ(std::count(peer.received.begin(), peer.received.end(), kCan), 5);
  EXPECT_FALSE(ctrl_.transfer_file_);
}

}  // namespace
}  // namespace chanfold::testing
