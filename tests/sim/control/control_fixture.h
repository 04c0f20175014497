// A control on a simulated COM3 with a sink that records every event it raises, with the
// virtual time it came at.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "serialctl/chanfold_ctrl.h"

namespace chanfold::testing {

inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

struct Event {
  std::string what;  // "OnComm 5", "HasError <text>", "CTSChanged", ...
  uint64_t at_ms;
};

class RecordingEvents : public ChanfoldEvents {
 public:
  explicit RecordingEvents(platform::EventLoop& loop) : loop_(loop) {}

  void OnComm(int32_t count) override { Add("OnComm " + std::to_string(count)); }
  void CTSChanged() override { Add("CTSChanged"); }
  void DSRChanged() override { Add("DSRChanged"); }
  void RingChanged() override { Add("RingChanged"); }
  void CDChanged() override { Add("CDChanged"); }
  void LineStatus(int16_t id) override { Add("LineStatus " + std::to_string(id)); }
  void HasError(const std::u16string& msg) override { Add("HasError " + Narrow(msg)); }
  void HasWarning(const std::u16string& msg) override { Add("HasWarning " + Narrow(msg)); }
  void DoInit() override { Add("DoInit"); }
  void StartFile(const std::u16string& f) override { Add("StartFile " + Narrow(f)); }
  void OneBlockDone() override { Add("OneBlockDone"); }
  void FinishFile(const std::u16string& f) override { Add("FinishFile " + Narrow(f)); }
  void FinishTransfer() override { Add("FinishTransfer"); }
  void AbortTransfer() override { Add("AbortTransfer"); }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.what);
    return out;
  }
  void Clear() { events.clear(); }

  std::vector<Event> events;

 private:
  void Add(std::string what) { events.push_back({std::move(what), loop_.NowMs()}); }
  platform::EventLoop& loop_;
};

class ControlTest : public ::testing::Test {
 protected:
  ControlTest() : port_(world_.AddPort("COM3")), ctrl_(world_.services()), events_(world_) {
    ctrl_.SetEventSink(&events_);
    ctrl_.put_Port(u"COM3");
  }

  // Opens COM3 with the present settings; the test stops if it does not come up.
  void Open() {
    ctrl_.put_PortOpen(kVTrue);
    ASSERT_EQ(ctrl_.get_Connected(), kVTrue) << ::testing::PrintToString(events_.names());
    events_.Clear();
  }

  std::vector<uint8_t> Bytes(const Variant& v) {
    EXPECT_EQ(v.type(), Variant::Type::kByteArray);
    EXPECT_EQ(v.lower_bound(), 0);
    return v.bytes();
  }

  sim::SimWorld world_;
  sim::SimPort& port_;
  ChanfoldCtrl ctrl_;
  RecordingEvents events_;
};

}  // namespace chanfold::testing
