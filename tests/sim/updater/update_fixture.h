// The updater against the simulated transmodulator for whole updates: the device's core on a
// line-timed COM port, the temporary folder a private one, and the texts of the procedure's
// log as the operator reads them.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/trasmod-sim/sim_device.h"
#include "updater/images/images.h"
#include "updater_fixture.h"

namespace updater::testing {

inline std::vector<uint8_t> BuiltInImage(platform::Services& services, std::string_view name) {
  platform::ResourceData r = services.resources->Find("FLASHING", name);
  if (!r.found()) return {};
  return std::vector<uint8_t>(r.data, r.data + r.size);
}

// An ASCII text as the window's strings hold it.
inline std::u16string Utf16(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Sizes of the two built-in images, and the blocks of 1024 bytes they go up in.
inline constexpr int32_t kBitstreamSize = 1464880;
inline constexpr int32_t kFirmwareSize = 412936;

inline const std::string kStars = " *******************************************";

class UpdateTest : public UpdaterTest {
 protected:
  UpdateTest() : tmpdir_env_("TMPDIR", temp_.path()) { RegisterBuiltInImages(); }

  // The device on COMn, bytes carried at the line rate of the program's settings.
  trasmod::SimDevice& AddTrasmod(int n, trasmod::DeviceConfig config = {}) {
    sim::SimPort& port = world_.AddPort("COM" + std::to_string(n));
    port.SetLineTiming(true);
    trasmods_.push_back(std::make_unique<trasmod::SimDevice>(port, std::move(config)));
    return *trasmods_.back();
  }

  // Starts the window and returns the number of log lines the start-up wrote.
  size_t StartWindow() {
    window().Start();
    return view_.log_lines().size();
  }

  // The log lines from `from` on.
  std::vector<std::string> LogFrom(size_t from) {
    std::vector<std::string> all = view_.log_lines_utf8();
    if (from > all.size()) return {};
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(from), all.end());
  }
  bool LogHas(const std::string& line) {
    auto lines = view_.log_lines_utf8();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // Runs the program's message loop until the update finished (" End."), the button is
  // back at "Update" after the click, or the limit passed.
  bool RunUntilLogHas(const std::string& line, uint64_t limit_ms) {
    return world_.RunUntil([&] { return LogHas(line); }, limit_ms);
  }

  std::string TempPath() const { return temp_.File("temp.tmp"); }
  bool TempFileExists() const { return std::filesystem::exists(TempPath()); }

  testsupport::TempDir temp_;
  testsupport::ScopedEnv tmpdir_env_;
  std::vector<std::unique_ptr<trasmod::SimDevice>> trasmods_;
};

// The progress lines of one upload of `size` bytes in 1024-byte blocks whose block events are
// numbered from `first_event` on over the program's run; a line at events 1, 6, 11, ...
inline std::vector<std::string> ProgressLines(int32_t size, int first_event) {
  std::vector<std::string> lines;
  const int32_t blocks = (size + 1023) / 1024;
  for (int32_t k = 1; k <= blocks; ++k) {
    if ((first_event + k - 1 - 1) % 5 != 0) continue;
    const int64_t bytes = std::min<int64_t>(int64_t{k} * 1024, size);
    const double percent = static_cast<double>(bytes) / size * 100.0;
    const long rounded = std::lround(percent);  // no exact halves among these
    lines.push_back(" Current transfer : " + std::to_string(bytes) + " bytes - [ " +
                    std::to_string(rounded) + "% ]");
  }
  return lines;
}

}  // namespace updater::testing
