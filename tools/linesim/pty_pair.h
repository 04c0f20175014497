// A pseudo-terminal whose slave end linesim keeps open for the life of the link.
#ifndef TOOLS_LINESIM_PTY_PAIR_H_
#define TOOLS_LINESIM_PTY_PAIR_H_

#include <string>

namespace linesim {

class Pty {
 public:
  Pty() = default;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  ~Pty() { Close(); }

  // Creates the pty in raw mode with a non-blocking master. On failure returns false and
  // describes the cause in *error.
  bool Open(std::string* error);
  // Closes the master first, so the peers on the slave see the hang-up, then our slave.
  void Close();
  // Reopens our own slave descriptor (after the kernel hung up the slave under us).
  bool ReopenSlave();
  // Bytes written to the slave's readers that nobody has read yet.
  int UnreadBySlave() const;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace linesim

#endif  // TOOLS_LINESIM_PTY_PAIR_H_
