// The ZModem sender against a scripted receiver in virtual time: the frames it sends, the
// windows it keeps, its restarts, and how it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "serialctl/transfer/zmodem_sender.h"
#include "tests/sim/zmodem/zmodem_peer.h"

namespace chanfold::ztest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A receiver that takes every file: ZRINIT with the given buffer length, ZRPOS 0 for each
// offer, ZACK for each ZCRCW, ZRINIT for each ZEOF, ZFIN for ZFIN. `intercept` may answer a
// frame instead (returning true).
class SenderTest : public ZSimTest {
 public:
  void SetUp() override {
    ZSimTest::SetUp();
    ctrl_.put_XferMode(aUpload);
    on_frame_ = [this](const Frame& f) { React(f); };
  }

  void React(const Frame& f) {
    if (intercept && intercept(f)) return;
    if (f.is_header) {
      last_header = f.type;
      switch (f.type) {
        case kZRqInit:
          Send(HexHeader(kZRInit, buffer_length | (uint32_t{flags} << 24)));
          break;
        case kZData:
          data_pos = f.value;
          break;
        case kZEof:
          Send(HexHeader(kZRInit, buffer_length | (uint32_t{flags} << 24)));
          break;
        case kZFin:
          if (answer_fin) Send(HexHeader(kZFin, 0));
          break;
        case 'O':
          got_oo = true;
          break;
      }
      return;
    }
    if (last_header == kZFile) {
      infos.push_back(std::string(f.data.begin(), f.data.end()));
      files.emplace_back();
      Send(HexHeader(kZRPos, 0));
      return;
    }
    ASSERT_FALSE(files.empty()) << "data before any file information";
    ends.push_back(static_cast<char>(f.end));
    if (f.crc_ok && data_pos == files.back().size()) {
      files.back().insert(files.back().end(), f.data.begin(), f.data.end());
      data_pos += f.data.size();
    }
    if (f.end == kZCrcW) Send(HexHeader(kZAck, static_cast<uint32_t>(files.back().size())));
  }

  uint32_t buffer_length = 2048;
  uint8_t flags = 0x47;
  bool answer_fin = true;
  std::function<bool(const Frame&)> intercept;
  int last_header = -1;
  uint64_t data_pos = 0;
  std::vector<std::string> infos;
  std::vector<Bytes> files;
  std::string ends;  // frame ends of the data subpackets, in order
  bool got_oo = false;
};

TEST_F(SenderTest, OneFileOfThreeThousandBytes) {
  const Bytes data = Pattern(3000);
  WriteFile("Data.BIN", data);
  ctrl_.XferAddFile(u"Data.BIN");
  ASSERT_TRUE(RunTransfer());

  EXPECT_THAT(rec_.events,
              ElementsAre("DoInit", "StartFile Data.BIN", "FinishFile Data.BIN", "FinishTransfer"));
  EXPECT_EQ(rec_.blocks, 3);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], data);
  // 1024 + 1024 + 952, the last with ZCRCE; the name lowercased.
  EXPECT_EQ(ends, "iih");
  EXPECT_EQ(infos[0], std::string("data.bin\0"
                                  "3000\0",
                                  14));

  std::vector<std::string> seq;
  for (const Frame& f : log_) {
    if (!f.is_header) {
      seq.push_back("data " + std::to_string(f.data.size()) + " " + static_cast<char>(f.end));
    } else if (f.type == 'O') {
      seq.push_back("OO");
    } else {
      EXPECT_TRUE(f.crc_ok);
      seq.push_back(std::to_string(f.type) + f.format + " " + std::to_string(f.value));
    }
  }
  EXPECT_THAT(seq, ElementsAre("0B 0", "4A 16777216", "data 14 k", "10A 0", "data 1024 i",
                               "data 1024 i", "data 952 h", "11B 3000", "8B 0", "OO"));
  EXPECT_TRUE(got_oo);
  EXPECT_EQ(ctrl_.get_XferCurrBytes(), 3000);
  EXPECT_FALSE(ctrl_.transfer_file_);
}

TEST_F(SenderTest, WindowsFollowTheReceiversBufferLength) {
  struct Case {
    uint32_t buffer_length;
    std::string ends;
  } cases[] = {
      {0, "iikiikih"},  // 0 counts as 2048: ZCRCW after every third subpacket
      {2048, "iikiikih"},
      {1024, "ikikikih"},  // after every second
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffer_length);
    WriteFile("f", Pattern(8192));
    ctrl_.XferClearAllFiles();
    ctrl_.XferAddFile(u"f");
    ends.clear();
    files.clear();
    log_.clear();
    rec_.ended = false;
    buffer_length = c.buffer_length;
    int purges_before = port_.purge_count();
    ASSERT_TRUE(RunTransfer());
    EXPECT_EQ(ends, c.ends);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], Pattern(8192));
    // Each ZCRCW is acknowledged and followed by a ZDATA header at the count acknowledged.
    std::vector<uint32_t> zdata;
    for (const Frame& f : Headers(kZData)) zdata.push_back(f.value);
    EXPECT_EQ(zdata, c.buffer_length == 1024 ? std::vector<uint32_t>({0, 2048, 4096, 6144})
                                             : std::vector<uint32_t>({0, 3072, 6144}));
    // A receiver without a buffer length gets its input purged once more, before the data.
    int purges = port_.purge_count() - purges_before;
    if (c.buffer_length == 0) {
      EXPECT_EQ(purges, 4) << "ZRQINIT, ZFILE information, first ZDATA, normal end";
    } else {
      EXPECT_EQ(purges, 3);
    }
  }
}

TEST_F(SenderTest, RestartsWhereTheReceiverAsks) {
  // ZRPOS 1024 while streaming, while waiting for ZACK after a ZCRCW, and while waiting after
  // ZEOF: the data goes again from there and the file arrives whole.
  struct Case {
    std::string name;
    uint32_t buffer_length;
    std::function<bool(SenderTest*, const Frame&)> when;
  } cases[] = {
      {"streaming", 8192,
       [](SenderTest* t, const Frame& f) { return !f.is_header && t->ends.size() == 1; }},
      {"waiting for ZACK", 1024,
       [](SenderTest* t, const Frame& f) {
         return !f.is_header && t->last_header == kZData && f.end == kZCrcW;
       }},
      {"after ZEOF", 8192,
       [](SenderTest*, const Frame& f) { return f.is_header && f.type == kZEof; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile("f", Pattern(5000));
    ctrl_.XferClearAllFiles();
    ctrl_.XferAddFile(u"f");
    files.clear();
    ends.clear();
    log_.clear();
    rec_.ended = false;
    buffer_length = c.buffer_length;
    bool done = false;
    intercept = [&](const Frame& f) {
      if (done || !c.when(this, f)) return false;
      done = true;
      if (!f.is_header) ends.push_back(static_cast<char>(f.end));
      // Keep the first 1024 bytes, drop the rest, ask for 1024.
      files.back().resize(1024);
      data_pos = 99999999;
      decoder_.ExpectHeader();
      Send(HexHeader(kZRPos, 1024));
      return true;
    };
    ASSERT_TRUE(RunTransfer());
    EXPECT_TRUE(done);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], Pattern(5000));
    bool restarted = false;
    for (const Frame& f : Headers(kZData)) restarted = restarted || f.value == 1024u;
    EXPECT_TRUE(restarted);
    // Progress counts from the restart position, not the bytes sent twice.
    EXPECT_EQ(ctrl_.get_XferCurrBytes(), 5000);
    EXPECT_EQ(rec_.events.back(), "FinishTransfer");
  }
}

TEST_F(SenderTest, ARealRepeatTakenAsStaleIsActedOnWhenZEofGoesUnanswered) {
  // The receiver asks for 1024 (a restart), then asks for 1024 again within the first window
  // (taken as a stale repeat). It keeps waiting for data from 1024 and does not answer a ZEOF
  // at another position. The sender must send from 1024 again rather than repeat ZEOF until
  // it gives up.
  WriteFile("f", Pattern(5000));
  ctrl_.XferAddFile(u"f");
  buffer_length = 8192;
  int asked = 0;
  intercept = [&](const Frame& f) {
    if (f.is_header && f.type == kZEof && f.value != files.back().size()) return true;
    if (f.is_header || last_header != kZData) return false;
    if (asked == 0 && ends.size() == 1) {
      // The second subpacket: keep the first 1024 bytes, ask for 1024.
      ++asked;
      files.back().resize(1024);
    } else if (asked == 1 && data_pos == 1024) {
      // The first subpacket after the restart arrives damaged: ask for 1024 again.
      ++asked;
    } else {
      return false;
    }
    ends.push_back(static_cast<char>(f.end));
    data_pos = 99999999;
    decoder_.ExpectHeader();
    Send(HexHeader(kZRPos, 1024));
    return true;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(asked, 2);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], Pattern(5000));
  int restarts = 0;
  for (const Frame& f : Headers(kZData)) restarts += f.value == 1024u ? 1 : 0;
  EXPECT_EQ(restarts, 2);
  EXPECT_EQ(rec_.events.back(), "FinishTransfer");
}

TEST_F(SenderTest, AnswersAChallengeAndSkipsAFile) {
  WriteFile("a", Pattern(100, 1));
  WriteFile("b", Pattern(200, 2));
  ctrl_.XferAddFile(u"a");
  ctrl_.XferAddFile(u"b");
  bool challenged = false;
  int offers = 0;
  intercept = [&](const Frame& f) {
    if (f.is_header && f.type == kZRqInit && !challenged) {
      challenged = true;
      Send(HexHeader(kZChallenge, 0x12345678));
      return true;
    }
    if (!f.is_header && last_header == kZFile && ++offers == 1) {
      infos.push_back(std::string(f.data.begin(), f.data.end()));
      Send(HexHeader(kZSkip, 0));
      return true;
    }
    return false;
  };
  ASSERT_TRUE(RunTransfer());
  std::vector<std::string> seq;
  for (const Frame& f : log_) {
    if (f.is_header && f.type < 16)
      seq.push_back(std::to_string(f.type) + " " + std::to_string(f.value));
  }
  // ZRQINIT, ZACK echoing the challenge's four bytes, ZRQINIT again, then the two offers.
  ASSERT_GE(seq.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(seq.begin(), seq.begin() + 4),
              ElementsAre("0 0", "3 305419896", "0 0", "4 16777216"));
  EXPECT_THAT(rec_.events, ElementsAre("DoInit", "StartFile a", "FinishFile a", "StartFile b",
                                       "FinishFile b", "FinishTransfer"));
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], Pattern(200, 2));
}

TEST_F(SenderTest, AnOfferAnsweredOtherwiseEndsTheBatch) {
  WriteFile("a", Pattern(100, 1));
  WriteFile("b", Pattern(200, 2));
  ctrl_.XferAddFile(u"a");
  ctrl_.XferAddFile(u"b");
  intercept = [&](const Frame& f) {
    if (!f.is_header && last_header == kZFile) {
      Send(HexHeader(kZAck, 0));
      return true;
    }
    return false;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_TRUE(Headers(kZData).empty());
  EXPECT_EQ(Headers(kZFile).size(), 1u);
  EXPECT_EQ(Headers(kZFin).size(), 1u);
  EXPECT_THAT(rec_.events, ElementsAre("DoInit", "StartFile a", "FinishTransfer"));
  EXPECT_FALSE(ctrl_.transfer_file_);
}

TEST_F(SenderTest, GoesOnAfterALostAckOrALostOffer) {
  // The receiver's first ZACK and its first answer to ZFILE are lost: the time-out offers the
  // file again and, after the ZCRCW, goes on with a ZDATA header at the position reached.
  WriteFile("f", Pattern(6000));
  ctrl_.XferAddFile(u"f");
  bool lost_rpos = false, lost_ack = false;
  intercept = [&](const Frame& f) {
    if (!f.is_header && last_header == kZFile && !lost_rpos) {
      lost_rpos = true;
      return true;
    }
    if (!f.is_header && last_header == kZData && f.end == kZCrcW && !lost_ack) {
      lost_ack = true;
      ends.push_back('k');
      files.back().insert(files.back().end(), f.data.begin(), f.data.end());
      data_pos += f.data.size();
      return true;
    }
    return false;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(Headers(kZFile).size(), 2u);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0], Pattern(6000));
  EXPECT_THAT(rec_.events, ElementsAre("DoInit", "StartFile f",
                                       "HasWarning No response and timeout, try again (1) ...",
                                       "HasWarning No response and timeout, try again (1) ...",
                                       "FinishFile f", "FinishTransfer"));
}

TEST_F(SenderTest, TheFinalWaitForZFinIsBounded) {
  WriteFile("f", Pattern(10));
  ctrl_.XferAddFile(u"f");
  answer_fin = false;
  uint64_t start = world_.NowMs();
  ASSERT_TRUE(RunTransfer());
  // ZFIN and one more after each time-out; at the limit the batch ends normally.
  EXPECT_EQ(Headers(kZFin).size(), 5u);
  EXPECT_TRUE(got_oo);
  EXPECT_EQ(rec_.events.back(), "FinishTransfer");
  EXPECT_FALSE(ctrl_.transfer_active_);
  EXPECT_LT(world_.NowMs() - start, 5 * 5000u + 3000u);
}

TEST_F(SenderTest, AFileThatCannotBeOpenedAborts) {
  WriteFile("gone", Pattern(10));
  ctrl_.XferAddFile(u"gone");
  ctrl_.put_XferStart(kVTrue);
  std::filesystem::remove(dir_.File("gone"));
  ASSERT_TRUE(world_.RunUntil([this] { return rec_.ended; }, 60000));
  EXPECT_THAT(rec_.events,
              ElementsAre("DoInit", "HasError Can not open file gone", "AbortTransfer"));
  EXPECT_FALSE(ctrl_.transfer_active_);
}

TEST_F(SenderTest, NoAnswerToTheInvitationAbortsAtTheLimit) {
  intercept = [](const Frame&) { return true; };
  WriteFile("f", Pattern(10));
  ctrl_.XferAddFile(u"f");
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(Headers(kZRqInit).size(), 5u);
  EXPECT_EQ(rec_.events.back(), "AbortTransfer");
  EXPECT_EQ(rec_.events[rec_.events.size() - 2],
            "HasError Maximum timeouts reached, action terminated.");
}

}  // namespace
}  // namespace chanfold::ztest
