// Kermit in real time against the real peers C-Kermit (`kermit`) and G-Kermit (`gkermit`),
// through linesim at 57600 bit/s: chanfold-xfer sends a batch to each peer and receives one from
// each, text and binary files of the sizes around the packet limits, and the results must be
// byte-identical. Through a line with bit errors, drops and stalls a transfer may fail, but a
// transfer reported as done must have delivered every file whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/pty/linesim/linesim_harness.h"
#include "tests/support/temp_dir.h"

namespace {

using Octets = std::vector<uint8_t>;
namespace fs = std::filesystem;

const char kXfer[] = CHANFOLD_BINARY_DIR "/tools/chanfold-xfer/chanfold-xfer";
constexpr const char* kBaud = "57600";

bool Have(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// A child process with its own stdin/stdout (a path or empty for /dev/null) and working folder.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& cwd, const std::string& in,
        const std::string& out, const std::string& log) {
    pid_ = fork();
    if (pid_ != 0) return;
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int i = open(in.empty() ? "/dev/null" : in.c_str(), O_RDWR | O_NOCTTY);
    int o =
        open(out.empty() ? log.c_str() : out.c_str(), O_RDWR | O_NOCTTY | O_CREAT | O_APPEND, 0644);
    int e = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    setsid();
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (std::string& s : copy) argv.push_back(s.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  ~Child() { Kill(); }
  // Exit status, or -1 after timeout_ms (the child is then killed).
  int Wait(int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Kill();
    return -1;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

struct File {
  std::string name;
  Octets data;
};

Octets Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Octets out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Octets Text(size_t n) {
  const std::string line = "The quick brown fox ~ # & jumps over the lazy dog.\n";
  Octets out;
  while (out.size() < n) out.push_back(static_cast<uint8_t>(line[out.size() % line.size()]));
  return out;
}

// The batch of the interop cases: text and binary files of 1, 94, 95 and 4096 bytes.
std::vector<File> Batch(bool with_empty) {
  std::vector<File> files;
  for (size_t n : {1, 94, 95, 4096}) {
    files.push_back({"t" + std::to_string(n) + ".txt", Text(n)});
    files.push_back({"b" + std::to_string(n) + ".bin", Random(n, static_cast<uint32_t>(n))});
  }
  if (with_empty) files.push_back({"empty.bin", {}});
  return files;
}

void Write(const std::string& path, const Octets& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), data.size());
}

Octets Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Octets((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

enum class Peer { kCKermit, kGKermit };

class KermitInteropTest : public ::testing::TestWithParam<Peer> {
 protected:
  void SetUp() override {
    const char* program = GetParam() == Peer::kCKermit ? "kermit" : "gkermit";
    if (!Have(program)) {
      if (std::getenv("CHANFOLD_SKIP_MISSING_PEERS")) GTEST_SKIP() << program << " missing";
      FAIL() << program << " is not installed (Debian: apt-get install "
             << (GetParam() == Peer::kCKermit ? "ckermit" : "gkermit") << ")";
    }
    ASSERT_TRUE(dir_.ok());
    src_ = dir_.File("src");
    dst_ = dir_.File("dst");
    fs::create_directory(src_);
    fs::create_directory(dst_);
  }

  void StartLine(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--baud", baud_};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(line_.Start(args));
  }

  // The peer on side B, sending `names` from `folder` (empty: receiving into it).
  std::unique_ptr<Child> StartPeer(const std::string& folder,
                                   const std::vector<std::string>& names) {
    const std::string& pty = line_.path_b();
    const std::string log = dir_.File("peer.log");
    if (GetParam() == Peer::kGKermit) {
      std::vector<std::string> args = {"gkermit", "-P", "-i"};
      if (names.empty()) {
        args.push_back("-r");
      } else {
        args.push_back("-s");
        args.insert(args.end(), names.begin(), names.end());
      }
      return std::make_unique<Child>(args, folder, pty, pty, log);
    }
    std::string script = "set carrier-watch off\nset line " + pty + "\nset speed " + baud_ +
                         "\nset flow none\nset parity none\nset file names literal\n"
                         "set transfer mode manual\nset file type binary\n"
                         "set file collision overwrite\nset receive pathnames off\n"
                         "set send pathnames off\n";
    if (names.empty()) {
      script += "receive\n";
    } else {
      script += "msend";
      for (const std::string& n : names) script += " " + n;
      script += "\n";
    }
    script += "exit\n";
    const std::string path = dir_.File("peer.ksc");
    std::ofstream(path) << script;
    return std::make_unique<Child>(std::vector<std::string>{"kermit", path, "-Y", "-B"}, folder, "",
                                   "", log);
  }

  std::unique_ptr<Child> StartOurs(bool send, const std::string& folder,
                                   const std::vector<std::string>& names) {
    std::vector<std::string> args = {kXfer,        send ? "send" : "receive",
                                     "--port",     line_.path_a(),
                                     "--baud",     baud_,
                                     "--protocol", "kermit",
                                     "--dir",      folder,
                                     "-q"};
    args.insert(args.end(), names.begin(), names.end());
    return std::make_unique<Child>(args, folder, "", "", dir_.File("ours.log"));
  }

  std::string Logs() {
    return "ours:\n" + Slurp(dir_.File("ours.log")) + "peer:\n" + Slurp(dir_.File("peer.log"));
  }

  testsupport::TempDir dir_;
  std::string src_, dst_;
  std::string baud_ = kBaud;
  linesim_test::Linesim line_;
};

TEST_P(KermitInteropTest, UploadBatchArrivesByteIdentical) {
  std::vector<File> files = Batch(false);  // an empty file is refused by the start checks
  std::vector<std::string> names;
  for (const File& f : files) {
    Write(src_ + "/" + f.name, f.data);
    names.push_back(f.name);
  }
  StartLine();
  auto peer = StartPeer(dst_, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto ours = StartOurs(true, src_, names);
  EXPECT_EQ(ours->Wait(120000), 0) << Logs();
  // The peer ends on our B packet; judge by the files.
  peer->Wait(5000);
  for (const File& f : files) {
    EXPECT_TRUE(Read(dst_ + "/" + f.name) == f.data) << f.name << "\n" << Logs();
  }
}

TEST_P(KermitInteropTest, DownloadBatchArrivesByteIdentical) {
  std::vector<File> files = Batch(true);
  std::vector<std::string> names;
  for (const File& f : files) {
    Write(src_ + "/" + f.name, f.data);
    names.push_back(f.name);
  }
  StartLine();
  auto ours = StartOurs(false, dst_, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto peer = StartPeer(src_, names);
  EXPECT_EQ(ours->Wait(120000), 0) << Logs();
  EXPECT_EQ(peer->Wait(10000), 0) << Logs();
  for (const File& f : files) {
    ASSERT_TRUE(fs::exists(dst_ + "/" + f.name)) << f.name << "\n" << Logs();
    EXPECT_TRUE(Read(dst_ + "/" + f.name) == f.data) << f.name << "\n" << Logs();
  }
}

// At 921600 bit/s: the peers send long packets, so the line rate matters here. (A megabyte
// upload takes minutes at any rate with 94-byte packets; bench/kermit measures it.)
TEST_P(KermitInteropTest, MegabyteDownload) {
  baud_ = "921600";
  const Octets big = Random(1 << 20, 99);
  Write(src_ + "/big.bin", big);
  StartLine();
  auto ours = StartOurs(false, dst_, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto peer = StartPeer(src_, {"big.bin"});
  EXPECT_EQ(ours->Wait(400000), 0) << Logs();
  peer->Wait(10000);
  EXPECT_TRUE(Read(dst_ + "/big.bin") == big) << Logs();
}

// Faults on the line: whatever the outcome, a transfer that reports success delivered the file.
TEST_P(KermitInteropTest, FaultyLineNeverDamagesAFileReportedAsDone) {
  const Octets data = Random(6000, 5);
  Write(src_ + "/f.bin", data);
  for (bool we_send : {true, false}) {
    SCOPED_TRACE(we_send ? "we send" : "we receive");
    fs::remove(dst_ + "/f.bin");
    line_.Stop(nullptr);
    StartLine({"--seed", we_send ? "11" : "12", "--bit-error-rate", "2e-5", "--drop-rate", "1e-4",
               "--stall-rate", "1e-4", "--stall-ms", "300"});
    std::unique_ptr<Child> ours, peer;
    if (we_send) {
      peer = StartPeer(dst_, {});
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      ours = StartOurs(true, src_, {"f.bin"});
    } else {
      ours = StartOurs(false, dst_, {});
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      peer = StartPeer(src_, {"f.bin"});
    }
    int rc = ours->Wait(180000);
    peer->Wait(5000);
    std::string summary;
    line_.Stop(&summary);
    if (rc == 0) {
      EXPECT_TRUE(Read(dst_ + "/f.bin") == data) << "reported done, file differs\n" << Logs();
    } else {
      EXPECT_EQ(rc, 1) << Logs();  // aborted, and said so
    }
    linesim_test::Summary sum = linesim_test::ParseSummary(summary);
    std::printf(
        "[ faults   ] %s: exit %d; flipped %llu/%llu, dropped %llu/%llu, stalls %llu/%llu\n",
        we_send ? "send" : "receive", rc, static_cast<unsigned long long>(sum.ab.flipped),
        static_cast<unsigned long long>(sum.ba.flipped),
        static_cast<unsigned long long>(sum.ab.dropped),
        static_cast<unsigned long long>(sum.ba.dropped),
        static_cast<unsigned long long>(sum.ab.stalls),
        static_cast<unsigned long long>(sum.ba.stalls));
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, KermitInteropTest,
                         ::testing::Values(Peer::kCKermit, Peer::kGKermit),
                         [](const ::testing::TestParamInfo<Peer>& info) {
                           return info.param == Peer::kCKermit ? "CKermit" : "GKermit";
                         });

}  // namespace
