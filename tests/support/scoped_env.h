// Sets (or removes) an environment variable for the life of the object and puts the old
// value back afterwards, e.g. ScopedEnv com3("CHANFOLD_COM3", pty.slave_path()). Header-only.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace testsupport {

class ScopedEnv {
 public:
  // value nullopt removes the variable while the object lives.
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = getenv(name_.c_str())) old_ = old;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace testsupport
