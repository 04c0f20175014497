// Files on POSIX, in the shapes of the Win32 calls the control and the updater make.
//
// Paths: "\" is a separator like "/" (every "\" becomes "/"), so "work\file.bin" names the
// file file.bin in the folder work. A file name that holds a backslash is therefore not
// reachable through this service.
//
// Sharing: files are opened without sharing, as the control does on Windows. Every open takes
// flock(LOCK_EX | LOCK_NB), whatever the mode, so a second open of the same file through this
// service fails while the first is open, in this process or another of ours. Other programs
// that do not lock are not kept out (POSIX has no mandatory sharing modes).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/posix/posix_backend.h"

namespace platform::posix {
namespace {

constexpr uint32_t kFileAttributeReadOnly = 0x01;

std::string NativePath(const std::string& path) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '\\', '/');
  return p;
}

int OpenRetry(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }

  // ReadFile on a file: reads until n bytes or the end of the file.
  bool Read(uint8_t* buf, uint32_t n, uint32_t* done) override {
    uint32_t got = 0;
    bool ok = true;
    while (got < n) {
      ssize_t r = read(fd_, buf + got, n - got);
      if (r > 0) {
        got += static_cast<uint32_t>(r);
      } else if (r == 0) {
        break;
      } else if (errno != EINTR) {
        ok = false;
        break;
      }
    }
    if (done != nullptr) *done = got;
    return ok;
  }

  // WriteFile on a file: writes all n bytes unless the system refuses (disk full, say).
  bool Write(const uint8_t* buf, uint32_t n, uint32_t* done) override {
    uint32_t put = 0;
    bool ok = true;
    while (put < n) {
      ssize_t r = write(fd_, buf + put, n - put);
      if (r > 0) {
        put += static_cast<uint32_t>(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else {
        ok = false;
        break;
      }
    }
    if (done != nullptr) *done = put;
    return ok;
  }

  int64_t Size() override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  bool Seek(int64_t pos) override {
    if (pos < 0) return false;
    return lseek(fd_, static_cast<off_t>(pos), SEEK_SET) == static_cast<off_t>(pos);
  }

 private:
  int fd_;
};

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    const std::string p = NativePath(path);
    int flags = O_CLOEXEC;
    mode_t perms = 0;
    switch (mode) {
      case OpenMode::kReadExisting:
        flags |= O_RDONLY;
        break;
      case OpenMode::kCreateAlways:
        // No O_TRUNC here: truncating before the lock is taken would empty a file that
        // another open holds. It is truncated once the lock is ours.
        flags |= O_WRONLY | O_CREAT;
        perms = 0644;
        break;
      case OpenMode::kCreateNew:
        // O_EXCL with O_NOFOLLOW: a file or a link of that name already there (another
        // user's, in a shared temporary folder) makes the open fail instead of redirecting
        // it; private to the owner until the caller decides otherwise.
        flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
        perms = 0600;
        break;
    }
    int fd = OpenRetry(p, flags, perms);
    if (fd < 0) return nullptr;
    struct stat st {};
    // A folder opens read-only on POSIX; CreateFile refuses it.
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (mode == OpenMode::kCreateAlways && ftruncate(fd, 0) != 0)) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd);
  }

  // Like DeleteFile on a file opened without sharing: fails while this service holds it open.
  bool Delete(const std::string& path) override {
    const std::string p = NativePath(path);
    int fd = OpenRetry(p, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd >= 0) {
      bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
      close(fd);
      if (held) return false;
    }
    return unlink(p.c_str()) == 0;
  }

  // FILE_ATTRIBUTE_DIRECTORY for a folder; for a file FILE_ATTRIBUTE_NORMAL, or
  // FILE_ATTRIBUTE_READONLY alone (as Windows reports it) when its owner may not write it.
  // The owner's write bit rather than access(): root may write anything, yet a file marked
  // read-only should still read as read-only.
  uint32_t GetAttributes(const std::string& path) override {
    struct stat st {};
    if (stat(NativePath(path).c_str(), &st) != 0) return kInvalidFileAttributes;
    if (S_ISDIR(st.st_mode)) return kFileAttributeDirectory;
    return (st.st_mode & S_IWUSR) ? kFileAttributeNormal : kFileAttributeReadOnly;
  }

  bool SetCurrentDirectory(const std::string& path) override {
    return chdir(NativePath(path).c_str()) == 0;
  }

  // TMPDIR when it names a folder, else /tmp; always with a trailing "/".
  uint32_t GetTempPath(uint32_t len, char* buf) override {
    std::string dir = "/tmp";
    const char* env = std::getenv("TMPDIR");
    struct stat st {};
    if (env != nullptr && *env != '\0' && stat(env, &st) == 0 && S_ISDIR(st.st_mode)) dir = env;
    if (dir.back() != '/') dir += '/';
    const uint32_t n = static_cast<uint32_t>(dir.size());
    if (buf == nullptr || len <= n) return n + 1;
    std::memcpy(buf, dir.c_str(), n + 1);
    return n;
  }
};

}  // namespace

std::unique_ptr<FileSystem> NewFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

}  // namespace platform::posix
