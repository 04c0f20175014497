// The transfer front: settings that refuse during a transfer, the start checks with their texts,
// the time-out chain, the stop paths and the protocols without an engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serialctl/transfer/transfer_manager.h"
#include "tests/sim/transfer/transfer_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

TEST_F(TransferTest, StartRefusalsRaiseTheirTextsThenAbortTransfer) {
  WriteFile("empty.bin", {});
  WriteFile("good.bin", Pattern(10));
  const std::string dir = dir_.path();
  struct Case {
    const char* what;
    std::function<void()> setup;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"missing folder",
       [&] { ctrl_.put_XferWorkDir(u"/no/such/folder"); },
       {"HasError /no/such/folder does not exist.", "AbortTransfer"}},
      {"blank folder, upload",
       [&] { ctrl_.put_XferWorkDir(u"  "); },
       {"HasError "
        "  "
        " does not exist.",
        "HasError Please specify the work directory on the upload side.", "AbortTransfer"}},
      {"blank folder, download",
       [&] {
         ctrl_.put_XferWorkDir(u"");
         ctrl_.put_XferMode(aDownload);
         ctrl_.XferSetDstFile(u"x");
       },
       {"HasError  does not exist.",
        "HasError Please specify the work directory on the download side.", "AbortTransfer"}},
      {"missing and empty files",
       [&] {
         ctrl_.put_XferProtocol(pYModem);
         ctrl_.XferAddFile(u"nothing.bin");
         ctrl_.XferAddFile(u"empty.bin");
         ctrl_.XferAddFile(u"good.bin");
       },
       {"HasError " + dir + "\\nothing.bin does not exist.",
        "HasError " + dir + "\\empty.bin is empty.", "AbortTransfer"}},
      {"XModem download without a name",
       [&] {
         ctrl_.put_XferMode(aDownload);
         ctrl_.XferSetDstFile(u"   ");
       },
       {"HasError For all XModem protocols, the name of the file on the download side must be "
        "specified.",
        "AbortTransfer"}},
      {"port closed",
       [&] { ctrl_.XferAddFile(u"good.bin"); },
       {"HasError COM4 is not open yet.", "AbortTransfer"}},
      {"modem call without connection",
       [&] {
         ctrl_.XferAddFile(u"good.bin");
         ctrl_.modem_call_ = true;
       },
       {"HasError There is no connection yet.", "AbortTransfer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ctrl_.put_XferWorkDir(Wide(dir));
    ctrl_.put_XferMode(aUpload);
    ctrl_.put_XferProtocol(pXModem1K);
    ctrl_.XferClearAllFiles();
    ctrl_.XferSetDstFile(u"");
    ctrl_.modem_call_ = false;
    c.setup();
    events_.Clear();
    ctrl_.put_XferStart(kVTrue);
    EXPECT_EQ(events_.names(), c.events);
    EXPECT_FALSE(ctrl_.transfer_active_);
    world_.RunFor(500);
    EXPECT_EQ(events_.names().size(), c.events.size()) << "no engine may start";
  }
}

TEST_F(TransferTest, SettingsDuringATransferAreRefused) {
  Open();
  WriteFile("a.bin", Pattern(100));
  ctrl_.XferAddFile(u"a.bin");
  // XferStart False does nothing at all.
  ctrl_.put_XferStart(kVFalse);
  world_.RunFor(300);
  EXPECT_THAT(events_.names(), IsEmpty());

  // Inside AbortTransfer the transfer is still active: the list cannot be cleared there.
  int32_t count_in_handler = -1;
  events_.on_abort = [&] {
    ctrl_.XferClearAllFiles();
    count_in_handler = ctrl_.file_count_;
  };
  // The engine runs inside the world's dispatch until the transfer ends, so the host's calls
  // "during" it are world events that fire inside the engine's yields.
  bool checked = false;
  world_.After(300, [&] {
    ASSERT_TRUE(ctrl_.transfer_active_) << ::testing::PrintToString(events_.names());
    ctrl_.put_XferProtocol(pYModem);
    ctrl_.put_XferWorkDir(u"/tmp");
    ctrl_.XferClearAllFiles();
    ctrl_.XferSetDstFile(u"other");
    EXPECT_EQ(ctrl_.get_XferProtocol(), pXModem1K);
    EXPECT_EQ(Narrow(ctrl_.get_XferWorkDir()), dir_.path());
    EXPECT_EQ(ctrl_.file_count_, 1);
    EXPECT_EQ(ctrl_.dst_file_name_, u"");
    // A second start is refused and the running transfer goes on.
    ctrl_.put_XferStart(kVTrue);
    EXPECT_THAT(events_.names(),
                ElementsAre("DoInit",
                            "HasError You can't do the file-transfer now since another "
                            "file-transfer is underway.",
                            "AbortTransfer"));
    EXPECT_TRUE(ctrl_.transfer_active_);
    checked = true;
    ctrl_.put_XferStop(kVTrue);
  });
  Start(pXModem1K, aUpload);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(checked);
  EXPECT_EQ(events_.names().back(), "AbortTransfer");
  EXPECT_EQ(count_in_handler, 1);
}

TEST_F(TransferTest, PropertyRules) {
  ctrl_.put_XferWorkDir(Wide(dir_.path() + "\\"));
  EXPECT_EQ(Narrow(ctrl_.get_XferWorkDir()), dir_.path());
  EXPECT_TRUE(ctrl_.work_dir_present_);
  ctrl_.put_XferWorkDir(u"C:\\Temp\\");
  EXPECT_EQ(ctrl_.get_XferWorkDir(), u"C:\\Temp");
  EXPECT_FALSE(ctrl_.work_dir_present_);

  ctrl_.put_XferTimeoutInterval(500);
  EXPECT_EQ(ctrl_.get_XferTimeoutInterval(), 500);
  EXPECT_EQ(ctrl_.timer_out_.Interval(), 5000u);
  ctrl_.put_XferTimeoutInterval(1000);
  EXPECT_EQ(ctrl_.timer_out_.Interval(), 1000u);

  ctrl_.put_XferTimeoutsAllowed(0);
  EXPECT_EQ(ctrl_.get_XferTimeoutsAllowed(), 0);
  EXPECT_EQ(ctrl_.retry_limit_, 5);
  ctrl_.put_XferTimeoutsAllowed(3);
  EXPECT_EQ(ctrl_.retry_limit_, 3);

  ctrl_.put_XferProtocol(pXModem1K);
  EXPECT_EQ(ctrl_.XferAddFile(u"one"), kOk);
  EXPECT_EQ(ctrl_.XferAddFile(u"two"), kOk);
  EXPECT_THAT(events_.names(),
              ElementsAre("HasError All XModem protocols can only transfer one file once."));
  EXPECT_EQ(ctrl_.file_count_, 1);

  ctrl_.XferClearAllFiles();
  ctrl_.put_XferProtocol(pYModem);
  for (int i = 0; i < kMaxFiles; ++i) ASSERT_EQ(ctrl_.XferAddFile(u"f"), kOk) << i;
  EXPECT_EQ(ctrl_.XferAddFile(u"one too many"), kBadIndex);
  EXPECT_EQ(ctrl_.file_count_, kMaxFiles);
  EXPECT_EQ(ctrl_.file_list_[100], u"f");
}

TEST_F(TransferTest, SilentReceiverGivesFourWarningsThenTheErrorAfter25Seconds) {
  Open();
  WriteFile("fw.bin", Pattern(3000));
  ctrl_.XferAddFile(u"fw.bin");
  port_.ClearWritten();
  const uint64_t start = world_.NowMs();
  Start(pXModem1K, aUpload);
  ASSERT_TRUE(RunToEnd(60000));
  EXPECT_THAT(
      events_.names(),
      ElementsAre("DoInit", "HasWarning No response and timeout, try again (1) ...",
                  "HasWarning No response and timeout, try again (2) ...",
                  "HasWarning No response and timeout, try again (3) ...",
                  "HasWarning No response and timeout, try again (4) ...",
                  "HasError Maximum timeouts reached, action terminated.", "AbortTransfer"));
  for (int i = 1; i <= 5; ++i) {
    // Each time-out comes 5 s after the last, counted from the engine's start 100 ms in.
    EXPECT_NEAR(static_cast<double>(events_.events[i].at_ms - start), 100.0 + 5000.0 * i, 30.0)
        << i;
  }
  EXPECT_THAT(port_.written(), IsEmpty()) << "the sender sends nothing while it waits";
  EXPECT_FALSE(ctrl_.timer_out_.Enabled());
}

TEST_F(TransferTest, StopSendsFiveCanAndEndsTheTransfer) {
  Open();
  WriteFile("fw.bin", Pattern(5000));
  ctrl_.XferAddFile(u"fw.bin");
  ReceiverPeer peer(world_, port_);
  // Stop from the host while the third block is on its way.
  events_.on_block = [&] {
    if (events_.blocks_done == 3) ctrl_.put_XferStop(kVTrue);
  };
  Start(pXModem1K, aUpload);
  peer.SendLater("C", 300);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(Aborted());
  EXPECT_EQ(peer.cans, 5);
  EXPECT_FALSE(ctrl_.transfer_active_);
  EXPECT_FALSE(ctrl_.transfer_file_);
  // The file is closed again: it can be opened at once.
  EXPECT_TRUE(
      world_.services().files->Open(dir_.File("fw.bin"), platform::OpenMode::kReadExisting));
}

TEST_F(TransferTest, StopWhileIdleIsForgottenAtTheNextStart) {
  Open();
  WriteFile("fw.bin", Pattern(200));
  ctrl_.XferAddFile(u"fw.bin");
  ctrl_.put_XferStop(kVTrue);
  ReceiverPeer peer(world_, port_);
  Start(pXModem1K, aUpload);
  peer.SendLater("C", 300);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(Finished());
  EXPECT_EQ(peer.cans, 0);
}

TEST_F(TransferTest, ClosingThePortStopsTheTransfer) {
  Open();
  WriteFile("fw.bin", Pattern(5000));
  ctrl_.XferAddFile(u"fw.bin");
  ReceiverPeer peer(world_, port_);
  events_.on_block = [&] {
    if (events_.blocks_done == 2) ctrl_.put_PortOpen(kVFalse);
  };
  Start(pXModem1K, aUpload);
  peer.SendLater("C", 300);
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(Aborted());
  EXPECT_FALSE(ctrl_.transfer_active_);
}

TEST_F(TransferTest, CountDataErrorUpToTheLimit) {
  ctrl_.put_XferTimeoutsAllowed(3);
  ctrl_.data_error_count_ = 0;
  EXPECT_TRUE(CountDataError(ctrl_));
  EXPECT_TRUE(CountDataError(ctrl_));
  EXPECT_FALSE(CountDataError(ctrl_));
  EXPECT_THAT(events_.names(),
              ElementsAre("HasError Data error, try again...", "HasError Data error, try again...",
                          "HasError Too many errors, action terminated."));
}

}  // namespace
}  // namespace chanfold::testing
