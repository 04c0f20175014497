// The updater's main window on a simulated world, and small reactive devices that answer the
// updater's commands from a table.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "updater/main_window.h"
#include "updater/recording_view.h"

namespace updater::testing {

// Answers each piece the program writes (the updater writes every command in one piece) with
// the reply the table or the responder gives, after a short delay, as a device on the line
// would. Pieces without an answer are only recorded.
class ScriptedDevice {
 public:
  explicit ScriptedDevice(sim::SimPort& port) : port_(port) {
    port_.SetOnReceive([this](const uint8_t* data, size_t n) {
      std::string piece(reinterpret_cast<const char*>(data), n);
      received.push_back(piece);
      std::string reply;
      if (responder) {
        reply = responder(piece);
      } else if (auto it = replies.find(piece); it != replies.end()) {
        reply = it->second;
      }
      if (!reply.empty()) {
        port_.world().After(reply_delay_ms, [this, reply] { port_.SendToProgram(reply); });
      }
    });
  }

  // A device running its firmware: it rejects "V" and answers "VERSION" with `version_reply`.
  void AnswerAsFirmware(std::string version_reply) {
    replies["V\r\n"] = "\r\nERROR\r\n";
    replies["VERSION\r\n"] = std::move(version_reply);
  }
  // A device in its bootloader: it answers "V" with its banner.
  void AnswerAsBootloader(const std::string& hardware_text) {
    replies["V\r\n"] = "\r\nBootloader\r\nHardware Version : " + hardware_text + "\r\n>";
  }

  std::map<std::string, std::string> replies;
  std::function<std::string(const std::string&)> responder;
  std::vector<std::string> received;
  uint32_t reply_delay_ms = 20;

 private:
  sim::SimPort& port_;
};

// A "VERSION" reply with twelve fields: three leading characters, then vendor, hardware,
// firmware, six unused fields, field 9, an unused field 10 and field 11, then CR LF.
inline std::string VersionReply(const std::string& vendor, const std::string& hardware,
                                const std::string& firmware, const std::string& field9 = "OPEN",
                                const std::string& field11 = "1") {
  return "VR:" + vendor + "," + hardware + "," + firmware + ",a,b,c,d,e,f," + field9 + ",x," +
         field11 + "\r\n";
}

class UpdaterTest : public ::testing::Test {
 protected:
  UpdaterTest() : window_(std::make_unique<MainWindow>(world_.services(), view_)) {}

  // Adds COMn with a scripted device on it.
  ScriptedDevice& AddDevice(int n) {
    sim::SimPort& port = world_.AddPort("COM" + std::to_string(n));
    devices_.push_back(std::make_unique<ScriptedDevice>(port));
    return *devices_.back();
  }
  sim::SimPort& Port(int n) { return *world_.FindPort("COM" + std::to_string(n)); }
  MainWindow& window() { return *window_; }

  sim::SimWorld world_;
  RecordingView view_;
  std::vector<std::unique_ptr<ScriptedDevice>> devices_;
  std::unique_ptr<MainWindow> window_;
};

// The three banner lines of every log.
inline std::vector<std::string> Banner() {
  return {" ***************************************************",
          " * Quarn Firmware Updater to Version 7.15",
          " ***************************************************"};
}

inline std::vector<std::string> Concat(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace updater::testing
