// The ZModem receiver against a scripted sender in virtual time: its answers, the files it
// writes, how it gets damaged data again, the names it refuses, and how it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "serialctl/transfer/zmodem_receiver.h"
#include "tests/sim/zmodem/zmodem_peer.h"

namespace chanfold::ztest {
namespace {

using ::testing::ElementsAre;

struct OutFile {
  std::string name;  // as offered
  Bytes data;
};

// A sender of `out`: "rz", CR and ZRQINIT; ZFILE for each file on ZRINIT; ZDATA and
// subpackets of 1024 bytes from each ZRPOS or ZACK, ZCRCW after every third, ZCRCE and ZEOF at
// the end; ZFIN when no file is left; "OO" for the receiver's ZFIN.
class ReceiverTest : public ZSimTest {
 public:
  void SetUp() override {
    ZSimTest::SetUp();
    ctrl_.put_XferMode(aDownload);
    on_frame_ = [this](const Frame& f) { React(f); };
    world_.After(300, [this] {
      if (invite) Send(Cat(Text("rz\r"), HexHeader(kZRqInit, 0)));
    });
  }

  static Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
  static Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  void Offer() {
    if (index >= out.size()) {
      Send(HexHeader(kZFin, 0));
      return;
    }
    Bytes info = Text(out[index].name);
    info.push_back(0);
    info = Cat(info, Text(std::to_string(out[index].data.size())));
    info.push_back(0);
    Bytes sub = Subpacket(info, kZCrcW);
    if (mangle_info) mangle_info(sub);
    Send(Cat(BinHeader(kZFile, uint32_t{kZCBin} << 24, crc32), sub));
  }

  void Stream(uint32_t pos) {
    const Bytes& d = out[index].data;
    Bytes wire = BinHeader(kZData, pos, crc32);
    for (int n = 1;; ++n) {
      size_t len = std::min<size_t>(1024, d.size() - pos);
      Bytes chunk(d.begin() + pos, d.begin() + static_cast<long>(pos + len));
      pos += static_cast<uint32_t>(len);
      bool last = pos >= d.size();
      uint8_t end = last ? kZCrcE : n % 3 == 0 ? kZCrcW : kZCrcG;
      if (end == kZCrcG && quiet_end == static_cast<int>(sent)) end = kZCrcQ;
      Bytes sub = Subpacket(chunk, end);
      if (mangle) mangle(sub, sent);
      ++sent;
      wire = Cat(wire, sub);
      if (last) {
        wire = Cat(wire, HexHeader(kZEof, pos));
        eof_sent = true;
        break;
      }
      if (end == kZCrcW) break;
    }
    Send(wire);
  }

  void React(const Frame& f) {
    if (intercept && intercept(f)) return;
    if (!f.is_header) return;
    switch (f.type) {
      case kZRInit:
        if (eof_sent) {
          eof_sent = false;
          ++index;
        }
        Offer();
        break;
      case kZRPos:
      case kZAck:
        if (index < out.size()) Stream(f.value);
        break;
      case kZNak:
        Offer();
        break;
      case kZFin:
        fin_seen_ms = world_.NowMs();
        if (!drop_oo) Send(Text("OO"));
        break;
    }
  }

  std::vector<OutFile> out;
  size_t index = 0;
  bool crc32 = false;
  bool eof_sent = false;
  bool drop_oo = false;
  uint64_t fin_seen_ms = 0;  // when the receiver's ZFIN reached this sender
  bool invite = true;
  int quiet_end = -1;  // the subpacket (counted from 0) that ends with ZCRCQ instead of ZCRCG
  unsigned sent = 0;   // data subpackets sent
  std::function<void(Bytes&, unsigned)> mangle;
  std::function<void(Bytes&)> mangle_info;
  std::function<bool(const Frame&)> intercept;
};

std::vector<std::string> HeaderSeq(const std::vector<Frame>& log) {
  std::vector<std::string> seq;
  for (const Frame& f : log) {
    if (f.is_header)
      seq.push_back(std::to_string(f.type) + f.format + " " + std::to_string(f.value));
  }
  return seq;
}

TEST_F(ReceiverTest, OneFileWithCrc16AndCrc32Headers) {
  for (bool with_crc32 : {false, true}) {
    SCOPED_TRACE(with_crc32 ? "CRC-32 headers" : "CRC-16 headers");
    crc32 = with_crc32;
    out = {{"Report.txt", Pattern(3500)}};
    ASSERT_TRUE(RunTransfer());
    EXPECT_THAT(rec_.events, ElementsAre("DoInit", "StartFile Report.txt", "FinishFile Report.txt",
                                         "FinishTransfer"));
    EXPECT_EQ(rec_.blocks, 4);
    EXPECT_EQ(ReadFile("Report.txt"), Pattern(3500));
    // ZRINIT with 00 08 00 47, ZRPOS 0, ZACK 3072 after the third subpacket, ZRINIT, ZFIN.
    EXPECT_THAT(HeaderSeq(log_),
                ElementsAre("1B 1191184384", "9B 0", "3B 3072", "1B 1191184384", "8B 0"));
    EXPECT_EQ(ctrl_.get_XferCurrBytes(), 3500);
    EXPECT_EQ(ctrl_.get_XferCurrFileName(), u"Report.txt");
    EXPECT_FALSE(ctrl_.transfer_active_);
    // Again, over the file of the first run: it is replaced.
    log_.clear();
    rec_.events.clear();
    rec_.blocks = 0;
    rec_.ended = false;
    index = 0;
    WriteFile("Report.txt", Pattern(9000, 7));
    world_.After(300, [this] { Send(Cat(Text("rz\r"), HexHeader(kZRqInit, 0))); });
  }
}

TEST_F(ReceiverTest, DamagedDataIsAskedForAgain) {
  // The second subpacket fails its CRC, the fourth ends with ZCRCQ: the first is asked for
  // again from 1024 and the skipped rest is never written; the second is written and
  // acknowledged. The file arrives whole, nothing written twice.
  out = {{"f", Pattern(7000)}};
  quiet_end = 4;
  mangle = [](Bytes& sub, unsigned n) {
    if (n == 1) sub[100] ^= 0x04;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(ReadFile("f"), Pattern(7000));
  EXPECT_EQ(ctrl_.get_XferCurrBytes(), 7000);
  std::vector<std::string> seq = HeaderSeq(log_);
  EXPECT_EQ(std::count(seq.begin(), seq.end(), "9B 1024"), 1) << ::testing::PrintToString(seq);
  EXPECT_EQ(rec_.events.back(), "FinishTransfer");
}

TEST_F(ReceiverTest, DataFromTheWrongPlaceIsRefused) {
  // After the first window the sender jumps ahead: the receiver asks for its own count.
  out = {{"f", Pattern(5000)}};
  bool jumped = false;
  intercept = [&](const Frame& f) {
    if (f.is_header && f.type == kZAck && !jumped) {
      jumped = true;
      Stream(f.value + 1024);
      return true;
    }
    return false;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_TRUE(jumped);
  EXPECT_EQ(ReadFile("f"), Pattern(5000));
  std::vector<std::string> seq = HeaderSeq(log_);
  EXPECT_NE(std::find(seq.begin(), seq.end(), "9B 3072"), seq.end())
      << ::testing::PrintToString(seq);
}

TEST_F(ReceiverTest, ARepeatedEofIsAnsweredAndTheBatchGoesOn) {
  out = {{"a", Pattern(100, 1)}, {"b", Pattern(2000, 2)}};
  bool lost = false;
  intercept = [&](const Frame& f) {
    if (f.is_header && f.type == kZRInit && eof_sent && !lost) {
      lost = true;  // the ZRINIT after the first ZEOF is lost: ZEOF again
      Send(HexHeader(kZEof, 100));
      return true;
    }
    return false;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_TRUE(lost);
  EXPECT_THAT(rec_.events, ElementsAre("DoInit", "StartFile a", "FinishFile a", "StartFile b",
                                       "FinishFile b", "FinishTransfer"));
  EXPECT_EQ(ReadFile("a"), Pattern(100, 1));
  EXPECT_EQ(ReadFile("b"), Pattern(2000, 2));
}

TEST_F(ReceiverTest, ADamagedOfferIsAskedForAgainThenEndsTheTransfer) {
  // Damaged once: ZNAK, the offer comes again and the file arrives.
  out = {{"f", Pattern(100)}};
  int damaged = 0;
  mangle_info = [&](Bytes& sub) {
    if (damaged++ == 0) sub[0] ^= 0x01;
  };
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(Headers(kZNak).size(), 1u);
  EXPECT_EQ(rec_.events.back(), "FinishTransfer");
  EXPECT_EQ(ReadFile("f"), Pattern(100));

  // Damaged every time: after the limit of requests the transfer ends, idle, no file.
  std::filesystem::remove(dir_.File("f"));
  log_.clear();
  rec_.events.clear();
  rec_.ended = false;
  index = 0;
  mangle_info = [](Bytes& sub) { sub[0] ^= 0x01; };
  world_.After(300, [this] { Send(Cat(Text("rz\r"), HexHeader(kZRqInit, 0))); });
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(Headers(kZNak).size(), 5u);
  EXPECT_THAT(rec_.events, ElementsAre("DoInit", "AbortTransfer"));
  EXPECT_FALSE(ctrl_.transfer_active_);
  EXPECT_FALSE(ctrl_.transfer_file_);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("f")));
}

TEST_F(ReceiverTest, WithoutOOTheCompleteBatchStillFinishes) {
  out = {{"f", Pattern(10)}};
  drop_oo = true;
  ASSERT_TRUE(RunTransfer());
  EXPECT_EQ(rec_.events.back(), "FinishTransfer");
  // A sender that exited with its "OO" does not hold the end back for long: the line time of
  // ZFIN and "OO", half a second for an answer, and the end's own settling pause.
  EXPECT_GT(fin_seen_ms, 0u);
  EXPECT_LT(world_.NowMs() - fin_seen_ms, 800u);
  EXPECT_FALSE(ctrl_.transfer_active_);
  EXPECT_EQ(ReadFile("f"), Pattern(10));
}

TEST_F(ReceiverTest, ReceivedNamesStayInTheWorkFolder) {
  std::filesystem::create_directory(dir_.File("Sub"));
  struct Case {
    std::string offered;
    std::string created;  // relative to the work folder; empty when refused
    std::string error;
  } cases[] = {
      {"Sub/Mixed.Case", "Sub/Mixed.Case", ""},
      {"C:\\x\\name.bin", "Cxname.bin", ""},  // ":" and "\" are left out
      {"/tmp/abs", "", "HasError Can not create file /tmp/abs"},
      {"../up", "", "HasError Can not create file ../up"},
      {"Sub/../../up", "", "HasError Can not create file Sub/../../up"},
      {"NoSuchDir/f", "", "HasError Can not create file NoSuchDir/f"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offered);
    out = {{c.offered, Pattern(1500)}};
    index = 0;
    log_.clear();
    rec_.events.clear();
    rec_.ended = false;
    world_.After(300, [this] { Send(Cat(Text("rz\r"), HexHeader(kZRqInit, 0))); });
    ASSERT_TRUE(RunTransfer());
    if (c.error.empty()) {
      EXPECT_EQ(rec_.events.back(), "FinishTransfer");
      EXPECT_EQ(ReadFile(c.created), Pattern(1500));
    } else {
      EXPECT_THAT(rec_.events, ElementsAre("DoInit", c.error, "AbortTransfer"));
    }
    EXPECT_FALSE(ctrl_.transfer_active_);
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir_.path()).parent_path() / "up"));
  // The first run's extra invitation is still queued; the last run consumed it.
}

TEST_F(ReceiverTest, NoInvitationEndsWithoutACancel) {
  invite = false;
  ASSERT_TRUE(RunTransfer());
  EXPECT_THAT(
      rec_.events,
      ElementsAre("DoInit", "HasWarning No response and timeout, try again (1) ...",
                  "HasWarning No response and timeout, try again (2) ...",
                  "HasWarning No response and timeout, try again (3) ...",
                  "HasWarning No response and timeout, try again (4) ...",
                  "HasError Maximum timeouts reached, action terminated.", "AbortTransfer"));
  // Nothing at all went out: no answer while waiting, no cancel sequence at the end.
  EXPECT_TRUE(port_.written().empty());
  EXPECT_FALSE(ctrl_.transfer_active_);
}

}  // namespace
}  // namespace chanfold::ztest
