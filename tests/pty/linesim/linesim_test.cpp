// linesim over real ptys: a child process, both slaves opened as peers open them.

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/pty/linesim/linesim_harness.h"

namespace linesim_test {
namespace {

using ::testing::HasSubstr;

// Unthrottled transfers of these sizes finish in well under a second; the limit only stops
// a hung test.
constexpr int kTimeoutMs = 10000;
// With no line rate, a gap this long after the last write means nothing more is coming.
constexpr int kQuietMs = 300;

// Opens both slaves; fails the test if either cannot be opened.
struct Peers {
  int a = -1;
  int b = -1;
  explicit Peers(const Linesim& sim)
      : a(Linesim::OpenPeer(sim.path_a())), b(Linesim::OpenPeer(sim.path_b())) {}
  ~Peers() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
  bool ok() const { return a >= 0 && b >= 0; }
};

// True if `sub` can be obtained from `full` by deleting bytes.
bool IsSubsequence(const Bytes& sub, const Bytes& full) {
  size_t j = 0;
  for (size_t i = 0; i < full.size() && j < sub.size(); ++i) {
    if (full[i] == sub[j]) ++j;
  }
  return j == sub.size();
}

uint64_t HammingDistance(const Bytes& x, const Bytes& y) {
  uint64_t bits = 0;
  for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
    bits += static_cast<uint64_t>(__builtin_popcount(x[i] ^ y[i]));
  }
  return bits;
}

TEST(LinesimLink, CarriesRandomBytesBothWaysUnchanged) {
  Linesim sim;
  ASSERT_TRUE(sim.Start({"--seed", "1"}));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  Traffic t;
  t.to_b = RandomBytes(64 * 1024, 11);
  t.to_a = RandomBytes(64 * 1024, 12);
  t.expect_at_b = t.to_b.size();
  t.expect_at_a = t.to_a.size();
  const Received got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
  // Equality also rules out echo and CR/LF translation by the ptys' line disciplines.
  EXPECT_TRUE(got.at_b == t.to_b) << "received " << got.at_b.size();
  EXPECT_TRUE(got.at_a == t.to_a) << "received " << got.at_a.size();
  std::string err;
  ASSERT_TRUE(sim.Stop(&err));
  const Summary s = ParseSummary(err);
  ASSERT_TRUE(s.parsed) << err;
  EXPECT_EQ(s.ab.carried, t.to_b.size());
  EXPECT_EQ(s.ba.carried, t.to_a.size());
  EXPECT_FALSE(s.hung_up);
}

TEST(LinesimLink, KeepsWorkingWhenPeersCloseAndReopen) {
  Linesim sim;
  ASSERT_TRUE(sim.Start({}));
  for (int round = 0; round < 3; ++round) {
    Peers peers(sim);
    ASSERT_TRUE(peers.ok()) << "round " << round;
    Traffic t;
    t.to_b = RandomBytes(3000, 20 + round);
    t.to_a = RandomBytes(2000, 30 + round);
    t.expect_at_b = t.to_b.size();
    t.expect_at_a = t.to_a.size();
    const Received got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
    EXPECT_TRUE(got.at_b == t.to_b) << "round " << round << " received " << got.at_b.size();
    EXPECT_TRUE(got.at_a == t.to_a) << "round " << round << " received " << got.at_a.size();
  }
  std::string err;
  EXPECT_TRUE(sim.Stop(&err));
}

TEST(LinesimLink, KeepsWorkingAfterAPeerHangsUpItsControllingTerminal) {
  Linesim sim;
  ASSERT_TRUE(sim.Start({}));
  // A session leader that opens a tty without O_NOCTTY makes it its controlling terminal;
  // when it exits, the kernel hangs that tty up for everyone who has it open.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setsid();
    const int fd = open(sim.path_a().c_str(), O_RDWR);
    const bool wrote = fd >= 0 && write(fd, "hello", 5) == 5;
    _exit(wrote ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  Traffic t;
  t.to_b = RandomBytes(2000, 25);
  t.to_a = RandomBytes(2000, 26);
  t.expect_at_b = 5 + t.to_b.size();
  t.expect_at_a = t.to_a.size();
  const Received got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
  Bytes expect_b = {'h', 'e', 'l', 'l', 'o'};
  expect_b.insert(expect_b.end(), t.to_b.begin(), t.to_b.end());
  EXPECT_TRUE(got.at_b == expect_b) << "received " << got.at_b.size();
  EXPECT_TRUE(got.at_a == t.to_a) << "received " << got.at_a.size();
  std::string err;
  EXPECT_TRUE(sim.Stop(&err));
}

TEST(LinesimLink, HoldsBackAFastWriterInsteadOfQueueing) {
  // At 9600 baud almost nothing crosses in the test's time; what a non-blocking writer can
  // push is the kernel's pty buffering plus linesim's bounded transmit buffer. An unbounded
  // queue would take the whole 4 MiB.
  Linesim sim;
  ASSERT_TRUE(sim.Start({"--baud", "9600"}));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  const Bytes data = RandomBytes(4 << 20, 5);
  size_t accepted = 0;
  const auto t0 = std::chrono::steady_clock::now();
  // Half a second lets linesim read whatever it is willing to buffer.
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(500) &&
         accepted < data.size()) {
    const ssize_t n = write(peers.a, data.data() + accepted, data.size() - accepted);
    if (n > 0) accepted += static_cast<size_t>(n);
    if (n < 0) usleep(5000);
  }
  EXPECT_LT(accepted, 256u * 1024) << "writer was not held back";
  std::string err;
  ASSERT_TRUE(sim.Stop(&err));
  const Summary s = ParseSummary(err);
  ASSERT_TRUE(s.parsed) << err;
  // The bytes linesim took but had not yet sent stay within its transmit buffer.
  EXPECT_LE(s.ab.read - s.ab.carried, 4096u);
}

struct RateCase {
  const char* name;
  const char* baud;
  const char* framing;
  size_t bytes;
  double nominal_s;
};

class LinesimRate : public testing::TestWithParam<RateCase> {};

TEST_P(LinesimRate, PacesEachDirectionAtTheLineRate) {
  const RateCase& c = GetParam();
  Linesim sim;
  ASSERT_TRUE(sim.Start({"--baud", c.baud, "--framing", c.framing}));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  // Both directions at once: each is paced on its own, so neither takes twice as long.
  Traffic t;
  t.to_b = RandomBytes(c.bytes, 40);
  t.to_a = RandomBytes(c.bytes, 41);
  t.expect_at_b = t.expect_at_a = c.bytes;
  const auto t0 = std::chrono::steady_clock::now();
  const Received got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(got.at_b == t.to_b);
  EXPECT_TRUE(got.at_a == t.to_a);
  EXPECT_GE(elapsed, 0.9 * c.nominal_s);
  EXPECT_LE(elapsed, 1.2 * c.nominal_s);
  std::string err;
  EXPECT_TRUE(sim.Stop(&err));
}

INSTANTIATE_TEST_SUITE_P(Framings, LinesimRate,
                         testing::Values(RateCase{"Baud115200_8N1", "115200", "8N1", 11520, 1.0},
                                         // 1 + 8 + parity + 2 stop bits = 12 bits per character.
                                         RateCase{"Baud115200_8O2", "115200", "8O2", 4800, 0.5},
                                         // 1 + 5 + 1 = 7 bits per character.
                                         RateCase{"Baud57600_5N1", "57600", "5N1", 4114, 0.5}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                           return info.param.name;
                         });

TEST(LinesimOptions, RejectsMalformedOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--framing", "9N1"},  {"--framing", "8X1"},         {"--framing", "8N3"},
      {"--framing", "8N"},   {"--framing", "4N1"},         {"--drop-rate", "1.5"},
      {"--dir", "sideways"}, {"--bit-error-rate", "-0.1"}, {"--baud", "abc"},
  };
  for (const auto& args : bad) {
    std::string err;
    EXPECT_NE(RunToExit(args, &err), 0) << args[0] << " " << args[1];
  }
}

TEST(LinesimOptions, AcceptsEveryFramingWithItsBitCount) {
  const struct {
    const char* framing;
    int bits;
  } cases[] = {{"8N1", 10}, {"7E1", 10}, {"5N1", 7}, {"8M2", 12}, {"6s2", 10}, {"7o1", 10}};
  for (const auto& c : cases) {
    std::string err;
    EXPECT_EQ(RunToExit({"--framing", c.framing}, &err), 0) << c.framing << ": " << err;
    EXPECT_THAT(err, HasSubstr("bits-per-char " + std::to_string(c.bits) + " ")) << c.framing;
  }
}

// Sends `data` from A to B through linesim started with `args`; returns what B received
// and linesim's summary.
struct OneWay {
  Received got;
  Summary summary;
  std::string err;
};

// `expect` is how many bytes B receives, when the faults leave it known.
OneWay SendAToB(const std::vector<std::string>& args, const Bytes& data,
                size_t expect = Traffic::kUnknown, size_t chunk = 4096) {
  OneWay r;
  Linesim sim;
  EXPECT_TRUE(sim.Start(args));
  Peers peers(sim);
  EXPECT_TRUE(peers.ok());
  if (!peers.ok()) return r;
  Traffic t;
  t.to_b = data;
  t.expect_at_b = expect;
  t.expect_at_a = 0;
  t.chunk = chunk;
  r.got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
  EXPECT_TRUE(sim.Stop(&r.err));
  r.summary = ParseSummary(r.err);
  EXPECT_TRUE(r.summary.parsed) << r.err;
  return r;
}

TEST(LinesimFaults, SameSeedGivesSameFaultsAnotherSeedDiffers) {
  const Bytes data = RandomBytes(20000, 50);
  const std::vector<std::string> faults = {"--bit-error-rate", "0.002", "--drop-rate", "0.002",
                                           "--dup-rate",       "0.002"};
  auto with_seed = [&](const char* seed) {
    std::vector<std::string> args = faults;
    args.insert(args.end(), {"--seed", seed});
    return args;
  };
  // The replay writes in small, odd-sized pieces: the faults must follow the byte stream,
  // not the timing or chunking of the writes.
  const OneWay first = SendAToB(with_seed("7"), data);
  const OneWay replay = SendAToB(with_seed("7"), data, Traffic::kUnknown, 37);
  const OneWay other = SendAToB(with_seed("8"), data);
  EXPECT_FALSE(first.got.at_b == data) << "faults were not applied";
  EXPECT_TRUE(first.got.at_b == replay.got.at_b);
  EXPECT_FALSE(first.got.at_b == other.got.at_b);
  EXPECT_EQ(first.summary.ab.flipped, replay.summary.ab.flipped);
  EXPECT_EQ(first.summary.ab.dropped, replay.summary.ab.dropped);
  EXPECT_EQ(first.summary.ab.duplicated, replay.summary.ab.duplicated);
}

TEST(LinesimFaults, DropsAgreeWithSummary) {
  const Bytes data = RandomBytes(100000, 60);
  const OneWay r = SendAToB({"--seed", "3", "--drop-rate", "0.01"}, data);
  // Binomial(100000, 0.01): mean 1000, standard deviation about 31.
  EXPECT_GE(r.summary.ab.dropped, 850u);
  EXPECT_LE(r.summary.ab.dropped, 1150u);
  EXPECT_EQ(r.got.at_b.size(), data.size() - r.summary.ab.dropped);
  EXPECT_EQ(r.summary.ab.carried, r.got.at_b.size());
  EXPECT_TRUE(IsSubsequence(r.got.at_b, data)) << "only whole bytes may go missing";
}

TEST(LinesimFaults, DuplicatesAgreeWithSummary) {
  const Bytes data = RandomBytes(50000, 61);
  const OneWay r = SendAToB({"--seed", "4", "--dup-rate", "0.01"}, data);
  // Binomial(50000, 0.01): mean 500, standard deviation about 22.
  EXPECT_GE(r.summary.ab.duplicated, 400u);
  EXPECT_LE(r.summary.ab.duplicated, 600u);
  EXPECT_EQ(r.got.at_b.size(), data.size() + r.summary.ab.duplicated);
  EXPECT_TRUE(IsSubsequence(data, r.got.at_b)) << "nothing but repeats may be added";
}

TEST(LinesimFaults, BitErrorsAgreeWithSummary) {
  const Bytes data = RandomBytes(50000, 62);
  const OneWay r = SendAToB({"--seed", "5", "--bit-error-rate", "0.001"}, data, data.size());
  ASSERT_EQ(r.got.at_b.size(), data.size());
  // 400000 bits at 0.001: mean 400, standard deviation 20.
  EXPECT_GE(r.summary.ab.flipped, 320u);
  EXPECT_LE(r.summary.ab.flipped, 480u);
  EXPECT_EQ(HammingDistance(r.got.at_b, data), r.summary.ab.flipped);
}

TEST(LinesimFaults, SevenDataBitsNeverFlipTheEighth) {
  const Bytes data(20000, 0x00);
  const OneWay r =
      SendAToB({"--seed", "6", "--framing", "7E1", "--bit-error-rate", "0.01"}, data, data.size());
  ASSERT_EQ(r.got.at_b.size(), data.size());
  EXPECT_GT(r.summary.ab.flipped, 0u);
  for (uint8_t b : r.got.at_b) ASSERT_EQ(b & 0x80, 0);
}

TEST(LinesimFaults, StallsPauseTheLineWithoutChangingData) {
  const Bytes data = RandomBytes(2000, 63);
  const OneWay r = SendAToB({"--seed", "9", "--stall-rate", "0.004", "--stall-ms", "40"}, data,
                            data.size(), 100);
  EXPECT_TRUE(r.got.at_b == data);
  ASSERT_GT(r.summary.ab.stalls, 2u);
  // Unthrottled, the bytes themselves take no time: the transfer lasts as long as its stalls.
  const double stalled = static_cast<double>(r.summary.ab.stalls) * 0.040;
  EXPECT_GE(r.got.seconds, 0.95 * stalled);
  EXPECT_LE(r.got.seconds, stalled + 0.5);
}

struct DirCase {
  const char* dir;
  bool faults_ab;
  bool faults_ba;
};

class LinesimFaultDirection : public testing::TestWithParam<DirCase> {};

TEST_P(LinesimFaultDirection, AppliesFaultsOnlyWhereSelected) {
  const DirCase& c = GetParam();
  Linesim sim;
  ASSERT_TRUE(sim.Start({"--seed", "2", "--drop-rate", "0.05", "--dir", c.dir}));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  Traffic t;
  t.to_b = RandomBytes(5000, 70);
  t.to_a = RandomBytes(5000, 71);
  const Received got = Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs);
  std::string err;
  ASSERT_TRUE(sim.Stop(&err));
  const Summary s = ParseSummary(err);
  ASSERT_TRUE(s.parsed) << err;
  EXPECT_EQ(got.at_b == t.to_b, !c.faults_ab);
  EXPECT_EQ(got.at_a == t.to_a, !c.faults_ba);
  EXPECT_EQ(s.ab.dropped > 0, c.faults_ab);
  EXPECT_EQ(s.ba.dropped > 0, c.faults_ba);
  EXPECT_EQ(got.at_b.size(), t.to_b.size() - s.ab.dropped);
  EXPECT_EQ(got.at_a.size(), t.to_a.size() - s.ba.dropped);
}

INSTANTIATE_TEST_SUITE_P(Dirs, LinesimFaultDirection,
                         testing::Values(DirCase{"ab", true, false}, DirCase{"ba", false, true},
                                         DirCase{"both", true, true}),
                         [](const testing::TestParamInfo<DirCase>& info) {
                           return std::string(info.param.dir);
                         });

struct HangupCase {
  const char* name;
  size_t a_to_b;
  size_t b_to_a;
};

class LinesimHangup : public testing::TestWithParam<HangupCase> {};

TEST_P(LinesimHangup, PeersSeeTheLineDropAfterTheByteBudget) {
  const HangupCase& c = GetParam();
  constexpr uint64_t kBudget = 1000;
  Linesim sim;
  ASSERT_TRUE(sim.Start({"--hangup-after-bytes", std::to_string(kBudget)}));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  Traffic t;
  t.to_b = RandomBytes(c.a_to_b, 80);
  t.to_a = RandomBytes(c.b_to_a, 81);
  const Received got = Exchange(peers.a, peers.b, t, kTimeoutMs, kTimeoutMs);
  EXPECT_TRUE(got.eof_at_a) << "peer on A did not see the hang-up";
  EXPECT_TRUE(got.eof_at_b) << "peer on B did not see the hang-up";
  // Exactly the budget was delivered, each byte in order, before the line went down.
  EXPECT_EQ(got.at_a.size() + got.at_b.size(), kBudget);
  EXPECT_TRUE(std::equal(got.at_b.begin(), got.at_b.end(), t.to_b.begin()));
  EXPECT_TRUE(std::equal(got.at_a.begin(), got.at_a.end(), t.to_a.begin()));
  // A hung-up slave refuses writes too.
  EXPECT_LT(write(peers.a, "x", 1), 0);
  int status = 0;
  std::string err;
  ASSERT_TRUE(sim.WaitExit(5000, &status, &err));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
  const Summary s = ParseSummary(err);
  ASSERT_TRUE(s.parsed) << err;
  EXPECT_TRUE(s.hung_up);
  EXPECT_EQ(s.ab.carried + s.ba.carried, kBudget);
}

INSTANTIATE_TEST_SUITE_P(Traffic, LinesimHangup,
                         testing::Values(HangupCase{"OneWay", 4000, 0},
                                         HangupCase{"BothWays", 3000, 3000}),
                         [](const testing::TestParamInfo<HangupCase>& info) {
                           return std::string(info.param.name);
                         });

std::string ReadFile(const std::string& path) {
  std::string text;
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return text;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

std::string Resolve(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? buf : "";
}

TEST(LinesimLifecycle, PublishesPathsForScriptsAndCleansUp) {
  char dir_template[] = "/tmp/linesim-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string file = dir + "/paths";
  const std::string link_a = dir + "/ttyA";
  const std::string link_b = dir + "/ttyB";
  // A stale link of an earlier run is replaced.
  ASSERT_EQ(symlink("/nonexistent", link_a.c_str()), 0);
  {
    Linesim sim;
    ASSERT_TRUE(sim.Start({"--paths-file", file, "--link-a", link_a, "--link-b", link_b}));
    EXPECT_EQ(ReadFile(file), "A " + sim.path_a() + "\nB " + sim.path_b() + "\n");
    EXPECT_EQ(Resolve(link_a), sim.path_a());
    EXPECT_EQ(Resolve(link_b), sim.path_b());
    // The links work as ports.
    Traffic t;
    t.to_b = RandomBytes(100, 90);
    t.expect_at_b = 100;
    t.expect_at_a = 0;
    int a = Linesim::OpenPeer(link_a);
    int b = Linesim::OpenPeer(link_b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(Exchange(a, b, t, kQuietMs, kTimeoutMs).at_b == t.to_b);
    close(a);
    close(b);
    std::string err;
    ASSERT_TRUE(sim.Stop(&err));
  }
  struct stat st {};
  EXPECT_NE(lstat(file.c_str(), &st), 0) << "paths file left behind";
  EXPECT_NE(lstat(link_a.c_str(), &st), 0) << "link A left behind";
  EXPECT_NE(lstat(link_b.c_str(), &st), 0) << "link B left behind";
  rmdir(dir.c_str());
}

TEST(LinesimLifecycle, RefusesToReplaceARealFileWithALink) {
  char path[] = "/tmp/linesim-test-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string err;
  EXPECT_NE(RunToExit({"--link-a", path}, &err), 0);
  struct stat st {};
  EXPECT_EQ(lstat(path, &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  unlink(path);
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  bool send;     // traffic first (idle exit only counts after bytes moved)
  double min_s;  // earliest acceptable exit, from start
  double max_s;  // latest acceptable exit
};

class LinesimExit : public testing::TestWithParam<ExitCase> {};

TEST_P(LinesimExit, EndsOnItsOwnWithASummary) {
  const ExitCase& c = GetParam();
  Linesim sim;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim.Start(c.args));
  Peers peers(sim);
  ASSERT_TRUE(peers.ok());
  if (c.send) {
    Traffic t;
    t.to_b = RandomBytes(1000, 95);
    t.expect_at_b = 1000;
    t.expect_at_a = 0;
    ASSERT_TRUE(Exchange(peers.a, peers.b, t, kQuietMs, kTimeoutMs).at_b == t.to_b);
  }
  int status = 0;
  std::string err;
  ASSERT_TRUE(sim.WaitExit(5000, &status, &err));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << err;
  EXPECT_GE(elapsed, c.min_s);
  EXPECT_LE(elapsed, c.max_s);
  const Summary s = ParseSummary(err);
  ASSERT_TRUE(s.parsed) << err;
  EXPECT_EQ(s.ab.carried, c.send ? 1000u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, LinesimExit,
    testing::Values(
        ExitCase{"Duration", {"--duration-s", "0.3"}, false, 0.3, 1.0},
        // Idle without traffic would never end; with traffic, 200 ms after it.
        ExitCase{"IdleAfterTraffic", {"--exit-when-idle", "--idle-ms", "200"}, true, 0.2, 1.5}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linesim_test
