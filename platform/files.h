// File service: what the control and the updater do with files, in the shapes of the Win32
// calls they stand for. Paths use "\" or "/" as separators; backends accept both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A plain (non-overlapped) file handle. Closing is the destructor.
class File {
 public:
  virtual ~File() = default;
  // ReadFile/WriteFile semantics: returns false when the call failed; `*done` the bytes moved.
  virtual bool Read(uint8_t* buf, uint32_t n, uint32_t* done) = 0;
  virtual bool Write(const uint8_t* buf, uint32_t n, uint32_t* done) = 0;
  // Size in bytes, or -1 when it cannot be read.
  virtual int64_t Size() = 0;
  // Moves the file pointer to `pos` from the start; false on failure.
  virtual bool Seek(int64_t pos) = 0;
};

enum class OpenMode {
  kReadExisting,  // read, the file must exist (OPEN_EXISTING)
  kCreateAlways,  // write, create or replace (CREATE_ALWAYS)
  kCreateNew,     // write, create only if absent; never follows a link (CREATE_NEW)
};

// GetFileAttributes results.
inline constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeNormal = 0x80;

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens without sharing (a second open of the same file by this service fails). Null on
  // failure.
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  virtual bool Delete(const std::string& path) = 0;
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  virtual bool SetCurrentDirectory(const std::string& path) = 0;
  // GetTempPathA: copies the temporary folder, with its trailing separator and a NUL, into
  // buf when it fits and returns its length without the NUL; returns the length needed
  // (NUL included) when it does not fit, and 0 on failure.
  virtual uint32_t GetTempPath(uint32_t len, char* buf) = 0;
};

}  // namespace platform
