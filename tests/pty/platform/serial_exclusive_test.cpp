// A port is held by one opener at a time: within a process, across processes, and without
// leaking into programs started while it is open.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/posix/posix_backend.h"
#include "tests/support/fd_io.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scoped_env.h"

namespace {

using testsupport::PtyPair;
using testsupport::ScopedEnv;

bool ExclusiveModeSet(int fd) {
  int excl = -1;
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &excl), 0);
  return excl != 0;
}

TEST(SerialExclusive, SecondOpenInTheSameProcessFails) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ScopedEnv defaults("CHANFOLD_COM_DEFAULTS", "0");
  ScopedEnv com4("CHANFOLD_COM4", pty.slave_path());
  auto ports = platform::posix::NewSerialPorts();
  auto first = ports->Open(pty.slave_path());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ports->Open(pty.slave_path()), nullptr);
  EXPECT_EQ(ports->Open("\\\\.\\COM4"), nullptr) << "another name for the same device";
  EXPECT_EQ(platform::posix::NewSerialPorts()->Open(pty.slave_path()), nullptr);
  EXPECT_TRUE(ExclusiveModeSet(pty.slave())) << "other programs are kept out by TIOCEXCL";
  first.reset();
  EXPECT_FALSE(ExclusiveModeSet(pty.slave())) << "closing gives exclusive mode back";
  EXPECT_NE(ports->Open("\\\\.\\COM4"), nullptr);
}

// The child holds the port; the parent cannot have it until the child lets go.
TEST(SerialExclusive, HeldByAnotherProcess) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    auto dev = platform::posix::NewSerialPorts()->Open(pty.slave_path());
    char c = dev != nullptr ? '1' : '0';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    char dummy;
    while (read(release[0], &dummy, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  auto got = testsupport::ReadFor(ready[0], 1, 5000);
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0], '1') << "the child could not open the port";

  auto ports = platform::posix::NewSerialPorts();
  EXPECT_EQ(ports->Open(pty.slave_path()), nullptr);
  close(release[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(ready[0]);
  EXPECT_NE(ports->Open(pty.slave_path()), nullptr);
}

// The parent holds the port; a child process's open fails.
TEST(SerialExclusive, ChildCannotOpenAPortTheParentHolds) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto held = platform::posix::NewSerialPorts()->Open(pty.slave_path());
  ASSERT_NE(held, nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto dev = platform::posix::NewSerialPorts()->Open(pty.slave_path());
    _exit(dev == nullptr ? 10 : 11);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 10) << "the child opened a held port";
}

// A program started while the port is open (a protocol peer, say) must not inherit it: once
// we close, the port is free although that program still runs.
TEST(SerialExclusive, ProgramsStartedMeanwhileDoNotKeepThePort) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto ports = platform::posix::NewSerialPorts();
  auto dev = ports->Open(pty.slave_path());
  ASSERT_NE(dev, nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(50 * 1000);  // let the exec happen
  dev.reset();
  EXPECT_NE(ports->Open(pty.slave_path()), nullptr);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

}  // namespace
