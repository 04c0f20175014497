// The Kermit engines in virtual time against scripted peers: a batch upload with its events,
// the empty last data packet, wrong acknowledgements, E and N packets, time-outs up to the
// limit, the stop, a peer without 8-bit prefixing, and on the receiving side repeated packets
// whose acknowledgement was lost and names that would leave the work folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "serialctl/chanfold_ctrl.h"
#include "tests/sim/control/control_fixture.h"
#include "tests/sim/kermit/kermit_peer.h"
#include "tests/support/temp_dir.h"

namespace chanfold::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

Octets RandomOctets(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Octets out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::u16string U16(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

// Plays a receiving Kermit: acknowledges Send-Init with `init`, then F, A, D, Z and B, and keeps
// the decoded files. `fault` may take over the answer to a packet (returns true when it did).
struct PeerReceiver {
  explicit PeerReceiver(KermitPeer& p) : peer(p) {
    peer.on_packet = [this](const Packet& pk) { OnPacket(pk); };
  }
  void OnPacket(const Packet& p) {
    if (fault && fault(p)) return;
    switch (p.type) {
      case 'S':
        peer.Send('Y', p.seq, init);
        peer.check = init.size() > 7 && init[7] == '3' ? '3' : '1';
        break;
      case 'F':
        order.push_back(std::string(p.data.begin(), p.data.end()));
        files[order.back()];
        peer.Send('Y', p.seq, p.data);
        break;
      case 'D': {
        Octets d = PeerDecode(p.data, bin, rept);
        Octets& f = files[order.back()];
        f.insert(f.end(), d.begin(), d.end());
        peer.Send('Y', p.seq);
        break;
      }
      case 'Z':
      case 'B':
        peer.Send('Y', p.seq);
        break;
      default:
        break;
    }
  }
  KermitPeer& peer;
  Octets init = O("~% @-#Y3~");
  bool bin = true;
  bool rept = true;
  std::function<bool(const Packet&)> fault;
  std::vector<std::string> order;
  std::map<std::string, Octets> files;
};

class KermitEngineTest : public ControlTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    Open();
    ctrl_.put_XferProtocol(pKermit);
    ctrl_.put_XferWorkDir(U16(dir_.path()));
  }

  void WriteFile(const std::string& name, const Octets& data) {
    std::ofstream f(dir_.File(name), std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), data.size());
  }
  Octets ReadFile(const std::string& name) {
    std::ifstream f(dir_.File(name), std::ios::binary);
    return Octets((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }
  bool Ended() const {
    for (const Event& e : events_.events) {
      if (e.what == "FinishTransfer" || e.what == "AbortTransfer") return true;
    }
    return false;
  }
  // Starts the transfer and runs virtual time until it ended (at most limit_ms).
  void Run(ActionType mode, uint64_t limit_ms = 600000) {
    ctrl_.put_XferMode(mode);
    ctrl_.put_XferStart(kVTrue);
    ASSERT_TRUE(world_.RunUntil([this] { return Ended(); }, limit_ms))
        << ::testing::PrintToString(events_.names());
  }
  std::vector<std::string> Without(const std::string& what) const {
    std::vector<std::string> out;
    for (const std::string& n : events_.names()) {
      if (n != what) out.push_back(n);
    }
    return out;
  }
  int Count(const std::string& what) const {
    auto names = events_.names();
    return static_cast<int>(std::count(names.begin(), names.end(), what));
  }
  std::string Types(const KermitPeer& peer) const {
    std::string s;
    for (const Packet& p : peer.got) s.push_back(static_cast<char>(p.type));
    return s;
  }

  testsupport::TempDir dir_;
};

TEST_F(KermitEngineTest, TwoFileUploadWithItsEvents) {
  const Octets a = RandomOctets(3000, 1);
  Octets b = O("Plain text line\r\n");
  b.insert(b.end(), 200, ' ');  // a long run
  WriteFile("Alpha.BIN", a);
  WriteFile("beta.txt", b);
  ctrl_.XferAddFile(u"Alpha.BIN");
  ctrl_.XferAddFile(u"beta.txt");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  Run(aUpload);

  EXPECT_THAT(Without("OneBlockDone"),
              ElementsAre("DoInit", "StartFile Alpha.BIN", "StartFile Alpha.BIN",
                          "FinishFile Alpha.BIN", "StartFile beta.txt", "StartFile beta.txt",
                          "FinishFile beta.txt", "FinishTransfer"));
  // Names go out in lower case.
  EXPECT_THAT(rx.order, ElementsAre("alpha.bin", "beta.txt"));
  EXPECT_TRUE(rx.files["alpha.bin"] == a);
  EXPECT_TRUE(rx.files["beta.txt"] == b);
  // One Send-Init, one B at the very end, and every data packet counted once.
  std::string types = Types(peer);
  EXPECT_EQ(types.front(), 'S');
  EXPECT_EQ(std::count(types.begin(), types.end(), 'S'), 1);
  EXPECT_EQ(std::count(types.begin(), types.end(), 'B'), 1);
  EXPECT_EQ(types.back(), 'B');
  EXPECT_EQ(Count("OneBlockDone"), std::count(types.begin(), types.end(), 'D'));
  EXPECT_EQ(ctrl_.get_XferCurrBytes(), static_cast<int32_t>(b.size()));
  EXPECT_EQ(peer.bad_packets, 0);
  // Sequence numbers run on across files, modulo 64.
  for (size_t i = 0; i < peer.got.size(); ++i) EXPECT_EQ(peer.got[i].seq, static_cast<int>(i % 64));
}

TEST_F(KermitEngineTest, FileThatFillsADataPacketIsFollowedByAnEmptyOne) {
  // With check type 3 and MAXL 94 a packet is full after 84 plain bytes.
  Octets data;
  for (int i = 0; i < 84; ++i) data.push_back(static_cast<uint8_t>('a' + i % 26));
  WriteFile("full.txt", data);
  ctrl_.XferAddFile(u"full.txt");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  Run(aUpload);
  ASSERT_EQ(Types(peer), "SFDDZB");
  EXPECT_EQ(peer.got[2].data.size(), 84u);
  EXPECT_TRUE(peer.got[3].data.empty());
  EXPECT_TRUE(rx.files["full.txt"] == data);
  EXPECT_THAT(events_.names(), Contains("FinishTransfer"));
}

TEST_F(KermitEngineTest, AckWithWrongSequenceAndNakAndErrorAreDataErrors) {
  const Octets data = RandomOctets(500, 2);
  WriteFile("f.bin", data);
  ctrl_.XferAddFile(u"f.bin");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  int d_packets = 0;
  rx.fault = [&](const Packet& p) {
    if (p.type != 'D') return false;
    switch (++d_packets) {
      case 2:  // acknowledges another packet
        peer.Send('Y', (p.seq + 5) % 64);
        return true;
      case 4:
        peer.Send('N', p.seq);
        return true;
      case 6:
        peer.Send('E', p.seq, O("disk trouble"));
        return true;
      default:
        return false;
    }
  };
  Run(aUpload);
  EXPECT_EQ(Count("HasError Data error, try again..."), 3);
  EXPECT_THAT(events_.names(), Contains("FinishTransfer"));
  EXPECT_TRUE(rx.files["f.bin"] == data);
}

TEST_F(KermitEngineTest, DataErrorLimitEndsTheUpload) {
  WriteFile("f.bin", RandomOctets(500, 3));
  ctrl_.XferAddFile(u"f.bin");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  rx.fault = [&](const Packet& p) {
    if (p.type != 'D') return false;
    peer.Send('N', p.seq);
    return true;
  };
  Run(aUpload);
  EXPECT_EQ(Count("HasError Data error, try again..."), 4);
  EXPECT_EQ(events_.names().back(), "AbortTransfer");
  EXPECT_THAT(events_.names(), Contains("HasError Too many errors, action terminated."));
}

TEST_F(KermitEngineTest, SilentReceiverTimesOutToTheLimit) {
  WriteFile("f.bin", RandomOctets(10, 4));
  ctrl_.XferAddFile(u"f.bin");
  KermitPeer peer(port_);
  uint64_t start = world_.NowMs();
  Run(aUpload);
  EXPECT_THAT(
      events_.names(),
      ElementsAre("DoInit", "HasWarning No response and timeout, try again (1) ...",
                  "HasWarning No response and timeout, try again (2) ...",
                  "HasWarning No response and timeout, try again (3) ...",
                  "HasWarning No response and timeout, try again (4) ...",
                  "HasError Maximum timeouts reached, action terminated.", "AbortTransfer"));
  // The S packet went out once at the start and once after each of the four warnings.
  EXPECT_EQ(Types(peer), "SSSSS");
  // Each read waits out its ~10 s before the sender sees the time-out: five rounds.
  uint64_t took = world_.NowMs() - start;
  EXPECT_GE(took, 45000u);
  EXPECT_LE(took, 60000u);
}

TEST_F(KermitEngineTest, SilentSenderTimesOutAndTheReceiverSendsNothing) {
  KermitPeer peer(port_);
  Run(aDownload);
  EXPECT_EQ(Count("HasWarning No response and timeout, try again (4) ..."), 1);
  EXPECT_EQ(events_.names().back(), "AbortTransfer");
  EXPECT_TRUE(port_.written().empty());
}

TEST_F(KermitEngineTest, StopSendsTheErrorPacket) {
  WriteFile("f.bin", RandomOctets(20000, 5));
  ctrl_.XferAddFile(u"f.bin");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  rx.fault = [&](const Packet& p) {
    if (p.type == 'D' && p.seq == 10) world_.After(1, [this] { ctrl_.put_XferStop(kVTrue); });
    return false;
  };
  Run(aUpload);
  ASSERT_FALSE(peer.got.empty());
  EXPECT_EQ(peer.got.back().type, 'E');
  EXPECT_TRUE(peer.got.back().data == O("Cancelled"));
  EXPECT_EQ(events_.names().back(), "AbortTransfer");
  EXPECT_THAT(events_.names(), Not(Contains("FinishTransfer")));
}

TEST_F(KermitEngineTest, PeerWithShortSendInitGetsAnEightBitLine) {
  // Six bytes: no 8-bit prefix, no repeat counts, check type 1. Bytes with the top bit set go
  // out as they are and arrive whole.
  const Octets data = RandomOctets(2000, 6);
  WriteFile("f.bin", data);
  ctrl_.XferAddFile(u"f.bin");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  rx.init = O("~% @-#");
  rx.bin = false;
  rx.rept = false;
  Run(aUpload);
  EXPECT_THAT(events_.names(), Contains("FinishTransfer"));
  EXPECT_EQ(peer.bad_packets, 0);
  EXPECT_TRUE(rx.files["f.bin"] == data);
  bool saw_top_bit = false;
  for (const Packet& p : peer.got) {
    for (uint8_t c : p.data) saw_top_bit |= (c & 0x80) != 0;
  }
  EXPECT_TRUE(saw_top_bit);
}

TEST_F(KermitEngineTest, MissingFileAbortsWithItsName) {
  WriteFile("one.txt", O("1"));
  WriteFile("two.txt", O("2"));
  ctrl_.XferAddFile(u"one.txt");
  ctrl_.XferAddFile(u"two.txt");
  KermitPeer peer(port_);
  PeerReceiver rx(peer);
  ctrl_.put_XferMode(aUpload);
  ctrl_.put_XferStart(kVTrue);
  std::filesystem::remove(dir_.File("two.txt"));  // gone after the start checks
  ASSERT_TRUE(world_.RunUntil([this] { return Ended(); }, 600000));
  EXPECT_THAT(events_.names(), Contains("HasError Can not open file " + dir_.path() + "\\two.txt"));
  EXPECT_EQ(events_.names().back(), "AbortTransfer");
}

// ---- Receiving ------------------------------------------------------------------------------

// Plays a sending Kermit from a script of packets: each one goes out when the previous one
// was acknowledged.
struct PeerSender {
  explicit PeerSender(KermitPeer& p) : peer(p) {
    peer.on_packet = [this](const Packet& pk) { OnPacket(pk); };
  }
  void Add(uint8_t type, const Octets& data = {}) {
    script.push_back({type, next_seq++ % 64, data});
  }
  void AddFile(const std::string& name, const Octets& content) {
    Add('F', O(name));
    for (const Octets& d : PeerEncode(content)) Add('D', d);
    Add('Z');
  }
  void Start() {
    next = 0;
    SendNext();
  }
  void SendNext() {
    if (next < script.size()) {
      const Packet& p = script[next];
      peer.Send(p.type, p.seq, p.data);
    }
  }
  void OnPacket(const Packet& p) {
    if (p.type == 'N' && next < script.size()) {
      naks.push_back(p);
      // A NAK for the packet after the one outstanding acknowledges that one.
      if (p.seq == (script[next].seq + 1) % 64) {
        ++next;
      }
      SendNext();
      return;
    }
    if (p.type != 'Y') return;
    acks.push_back(p);
    if (fault && fault(p)) return;
    if (next < script.size() && p.seq == script[next].seq) {
      if (script[next].type == 'S') peer.check = p.data.size() > 7 ? p.data[7] : '1';
      ++next;
      SendNext();
    }
  }
  KermitPeer& peer;
  std::vector<Packet> script;
  std::vector<Packet> acks;
  std::vector<Packet> naks;
  size_t next = 0;
  int next_seq = 0;
  std::function<bool(const Packet&)> fault;
};

TEST_F(KermitEngineTest, DownloadOfTwoFiles) {
  const Octets a = RandomOctets(1500, 7);
  const Octets b = O("text\r\n");
  KermitPeer peer(port_);
  PeerSender tx(peer);
  tx.Add('S', O("~% @-#Y3~# \"a"));
  tx.AddFile("a.bin 1500", a);
  // The second file comes with an attribute packet, which is acknowledged and not used.
  tx.Add('F', O("b.txt"));
  tx.Add('A', O("!#6"));
  for (const Octets& d : PeerEncode(b)) tx.Add('D', d);
  tx.Add('Z');
  tx.Add('B');
  tx.Start();
  Run(aDownload);
  EXPECT_EQ(events_.names().back(), "FinishTransfer");
  EXPECT_THAT(Without("OneBlockDone"),
              ElementsAre("DoInit", "StartFile a.bin", "FinishFile a.bin", "StartFile b.txt",
                          "FinishFile b.txt", "FinishTransfer"));
  EXPECT_TRUE(ReadFile("a.bin") == a);
  EXPECT_TRUE(ReadFile("b.txt") == b);
  EXPECT_EQ(ctrl_.dst_file_name_, u"b.txt");
  // The ACK of Send-Init carries the settled parameters; the one of the first F the name.
  ASSERT_GE(tx.acks.size(), 2u);
  // CAPAS comes back as long packets only: the continuation bit is not taken over.
  EXPECT_TRUE(tx.acks[0].data == O("~% @-#&3~\" \"a"));
  EXPECT_TRUE(tx.acks[1].data == O("a.bin"));
}

TEST_F(KermitEngineTest, RepeatedPacketsAfterLostAcksAreAnsweredNotWrittenTwice) {
  const Octets content = RandomOctets(400, 8);
  KermitPeer peer(port_);
  PeerSender tx(peer);
  tx.Add('S', O("~% @-#Y3~# \"a"));
  tx.AddFile("dup.bin", content);
  tx.Add('B');
  // The first ACK of S, of F, of the second D and of Z are "lost": the peer sends the packet
  // again, as it would after its time-out.
  std::map<std::pair<uint8_t, int>, int> seen;
  tx.fault = [&](const Packet& ack) {
    const Packet& sent = tx.script[tx.next];
    bool lose = sent.type == 'S' || sent.type == 'F' || sent.type == 'Z' ||
                (sent.type == 'D' && sent.seq == 3);
    if (lose && seen[{sent.type, sent.seq}]++ == 0) {
      (void)ack;
      tx.SendNext();  // the same packet again (S still with the type 1 check)
      return true;
    }
    if (sent.type == 'S') peer.check = '3';
    return false;
  };
  tx.Start();
  Run(aDownload);
  EXPECT_EQ(events_.names().back(), "FinishTransfer");
  EXPECT_TRUE(ReadFile("dup.bin") == content);
  EXPECT_EQ(Count("StartFile dup.bin"), 1);
  EXPECT_EQ(Count("HasError Data error, try again..."), 0);
}

TEST_F(KermitEngineTest, NamesOutsideTheWorkFolderAreRefused) {
  for (const std::string name : {"../escape.txt", "/tmp/abs.txt", "sub/../../x.txt", ".."}) {
    SCOPED_TRACE(name);
    events_.Clear();
    KermitPeer peer(port_);
    PeerSender tx(peer);
    tx.Add('S', O("~% @-#Y3~# \"a"));
    tx.AddFile(name, O("data"));
    tx.Start();
    Run(aDownload);
    EXPECT_THAT(events_.names(), Contains("HasError Can not create file " + name));
    EXPECT_EQ(events_.names().back(), "AbortTransfer");
    EXPECT_FALSE(std::filesystem::exists(dir_.path() + "/../escape.txt"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/abs.txt"));
  }
}

TEST_F(KermitEngineTest, ReceiverCountsErrorAndNakPacketsAndWaits) {
  KermitPeer peer(port_);
  PeerSender tx(peer);
  tx.Add('S', O("~% @-#Y3~# \"a"));
  tx.AddFile("e.txt", O("hello"));
  tx.Add('B');
  bool sent_noise = false;
  tx.fault = [&](const Packet& ack) {
    if (tx.script[tx.next].type == 'F' && !sent_noise) {
      sent_noise = true;
      // After the S exchange: an N and an E, then the F goes out after a pause.
      peer.check = '3';
      peer.Send('N', 1);
      peer.Send('E', 1, O("whatever"));
      ++tx.next;
      peer.answer_delay_ms = 3000;
      tx.SendNext();
      peer.answer_delay_ms = 2;
      (void)ack;
      return true;
    }
    return false;
  };
  tx.Start();
  Run(aDownload);
  EXPECT_EQ(Count("HasError Data error, try again..."), 2);
  EXPECT_EQ(events_.names().back(), "FinishTransfer");
  EXPECT_TRUE(ReadFile("e.txt") == O("hello"));
}

TEST_F(KermitEngineTest, ReceiverNaksTheNextPacketWhenASenderWaitsSilently) {
  // The peer never times out (as G-Kermit): when our ACK of a data packet is lost, only the
  // receiver's NAK for the next packet moves the transfer on.
  const Octets content = RandomOctets(400, 9);
  KermitPeer peer(port_);
  PeerSender tx(peer);
  tx.Add('S', O("~% @-#Y3~# \"a"));
  tx.AddFile("quiet.bin", content);
  tx.Add('B');
  bool lost = false;
  tx.fault = [&](const Packet& ack) {
    if (tx.script[tx.next].type == 'S') peer.check = '3';
    if (!lost && tx.script[tx.next].type == 'D' && ack.seq == 3) {
      lost = true;
      return true;  // the ACK "did not arrive": the peer just waits
    }
    return false;
  };
  tx.Start();
  Run(aDownload);
  EXPECT_EQ(events_.names().back(), "FinishTransfer");
  ASSERT_EQ(tx.naks.size(), 1u);
  EXPECT_EQ(tx.naks[0].seq, 4);
  EXPECT_EQ(Count("HasWarning No response and timeout, try again (1) ..."), 1);
  EXPECT_TRUE(ReadFile("quiet.bin") == content);
}

}  // namespace
}  // namespace chanfold::testing
