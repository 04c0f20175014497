// The handlers of the control's events on their own: progress lines and their percentages,
// errors and warnings, and the reader of the device's flashing report fed piece by piece
// through the control's line monitor.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "update_fixture.h"

namespace updater::testing {
namespace {

using ::testing::ElementsAreArray;

struct PercentCase {
  int32_t bytes;
  int32_t size;
  int16_t percent;
};

TEST(ProgressPercentTest, RoundsHalvesToTheEvenNeighbour) {
  const PercentCase cases[] = {
      {1, 40, 2},          // exactly 2.5
      {7, 200, 4},         // 3.5
      {1, 8, 12},          // 12.5
      {3, 8, 38},          // 37.5
      {1, 200, 0},         // 0.5
      {496, 10000, 5},     // 4.96
      {20480, 412936, 5},  // 4.9596...
      {0, 412936, 0},      //
      {412936, 412936, 100},
      {1024, 0, 0},  // no size known: 0, not a division by zero
      {0, 0, 0},
  };
  for (const PercentCase& c : cases) {
    EXPECT_EQ(ProgressPercent(c.bytes, c.size), c.percent) << c.bytes << " of " << c.size;
  }
}

class FeedbackTest : public UpdateTest {
 protected:
  void SetUp() override { window().Start(); }

  // One block event with the control showing these counts.
  void Block(int32_t bytes, int32_t size) {
    window().RS232().xfer_curr_bytes_ = bytes;
    window().RS232().xfer_curr_file_size_ = size;
    window().OneBlockDone();
  }
};

TEST_F(FeedbackTest, ProgressEveryFifthBlockCountedOverUploads) {
  const size_t from = view_.log_lines().size();
  for (int k = 1; k <= 12; ++k) Block(k * 1024, 12 * 1024);
  EXPECT_THAT(LogFrom(from), ElementsAreArray({" Current transfer : 1024 bytes - [ 8% ]",
                                               " Current transfer : 6144 bytes - [ 50% ]",
                                               " Current transfer : 11264 bytes - [ 92% ]"}));
  // The next upload goes on with the count: its line comes at its fourth block.
  const size_t second = view_.log_lines().size();
  for (int k = 1; k <= 4; ++k) Block(k * 1000, 10000);
  EXPECT_THAT(LogFrom(second), ElementsAreArray({" Current transfer : 4000 bytes - [ 40% ]"}));
  // A size of 0 shows 0 %.
  for (int k = 1; k <= 5; ++k) Block(k * 1024, 0);
  EXPECT_EQ(view_.log_lines_utf8().back(), " Current transfer : 5120 bytes - [ 0% ]");
}

TEST_F(FeedbackTest, ErrorsAndWarnings) {
  const size_t from = view_.log_lines().size();
  window().HasError(u"COM1 is not open yet.");
  window().HasError(u"Data error, try again...");
  window().HasWarning(u"No response and timeout, try again (1) ...");
  EXPECT_THAT(LogFrom(from),
              ElementsAreArray({"", " ERROR !!! Data error, try again...", "", "",
                                " WARNING !!! No response and timeout, try again (1) ..."}));
}

TEST_F(FeedbackTest, StartAndEndOfAnUpload) {
  const size_t from = view_.log_lines().size();
  window().vars().TempDir = Utf16(temp_.path() + "/");
  window().vars().TempFile = u"temp.tmp";
  std::ofstream(TempPath()) << "image";
  window().RS232().xfer_curr_file_size_ = 412936;
  window().DoInit();
  window().StartFile(u"ignored");
  window().FinishTransfer();
  EXPECT_THAT(LogFrom(from),
              ElementsAreArray({" Initialization transfer ...", "", " Sending 412936 bytes.", "",
                                "", " Uploading end.", "", " Now Flashing ...", ""}));
  EXPECT_FALSE(TempFileExists());
  EXPECT_EQ(window().RS232().get_RThreshold(), 1);

  // An abort leaves the file (the window's closing removes it) and makes the button ready.
  std::ofstream(TempPath()) << "image";
  view_.cmdUpdate().SetCaption(u"Stop");
  window().AbortTransfer();
  EXPECT_EQ(view_.log_lines_utf8().back(), " Aborting Update.");
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_TRUE(TempFileExists());
}

// The flashing report arriving on the open port while the received-data event is on.
class ReportTest : public UpdateTest {
 protected:
  void SetUp() override {
    trasmod::DeviceConfig config;
    config.silent = true;  // the test speaks for the device
    device_ = &AddTrasmod(1, config);
    device_->port().SetLineTiming(false);
    window().Start();
    window().ReconnectPort(window().RS232(), 1);
    window().RS232().put_RThreshold(1);
    from_ = view_.log_text().size();
  }

  // Sends each piece 600 ms after the one before, so that each is read on its own.
  void Feed(const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
      device_->port().SendToProgram(piece);
      world_.RunFor(600);
    }
  }
  // What the reader added to the log.
  std::string Added() { return ToUtf8(std::u16string_view(view_.log_text()).substr(from_)); }

  trasmod::SimDevice* device_ = nullptr;
  size_t from_ = 0;
};

TEST_F(ReportTest, PiecesAreCollectedUpToALineEnd) {
  window().vars().BitstreamPending = true;
  Feed({"Eras", "ing bit", "stream ...\r\nProgr"});
  // The collected text is one chunk, shown whole once a line end came; what came after its
  // line end goes with it, so the log reads on where the next chunk continues.
  EXPECT_EQ(Added(), "Erasing bitstream ...\r\nProgr");
  EXPECT_EQ(window().vars().DeviceText, u"");
  Feed({"amming ...\r\n", "Done\r\n\r\nBL>"});
  EXPECT_EQ(Added(), "Erasing bitstream ...\r\nProgramming ...\r\nDone\r\n\r\n Flashing end.\r\n");
  EXPECT_FALSE(window().vars().BitstreamPending);
  EXPECT_EQ(window().RS232().get_RThreshold(), 0);
}

TEST_F(ReportTest, AnErrorIsReportedAndTheFlashingGoesOn) {
  window().vars().BitstreamPending = true;
  view_.cmdUpdate().SetCaption(u"Stop");
  Feed({"Programming ...\r\nERROR: verify failed\r\n"});
  EXPECT_EQ(Added(), "\r\n ERROR !!! Try again.\r\n");
  EXPECT_TRUE(window().vars().BitstreamPending);
  EXPECT_EQ(window().RS232().get_RThreshold(), 1);
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Stop");
  // "ERROR" and the prompt together: the prompt is not taken.
  Feed({"ERROR again\r\nBL>"});
  EXPECT_TRUE(window().vars().BitstreamPending);
  // A later prompt is.
  Feed({"\r\nBL>"});
  EXPECT_FALSE(window().vars().BitstreamPending);
}

TEST_F(ReportTest, ThePromptAtEachPosition) {
  struct Case {
    std::string chunk;
    std::string shown;
  };
  const Case cases[] = {
      {">\r\n", ">\r\n"},            // position 1: the whole chunk
      {"A>\r\n", "A>\r\n"},          // 2
      {"AB>\r\n", "AB>\r\n"},        // 3
      {"\r\nB>\r\n", "\r\nB>\r\n"},  // 4
      {"\r\nBL>", ""},               // 5: nothing
      {"X\r\nBL>", "X"},             // 6
      {"Done\r\n\r\nBL> ", "Done\r\n"},
  };
  for (const Case& c : cases) {
    window().vars().BitstreamPending = true;
    window().RS232().put_RThreshold(1);
    from_ = view_.log_text().size();
    Feed({c.chunk});
    EXPECT_EQ(Added(), c.shown + "\r\n Flashing end.\r\n") << c.chunk;
    EXPECT_FALSE(window().vars().BitstreamPending) << c.chunk;
  }
}

TEST_F(ReportTest, APromptInAReadOfItsOwnEndsTheFlashing) {
  // The line end before the prompt was read with the report; the prompt comes apart.
  window().vars().BitstreamPending = true;
  Feed({"Bitstream programmed\r\n\r\nBL", ">"});
  EXPECT_EQ(Added(), "Bitstream programmed\r\n\r\nBL>\r\n Flashing end.\r\n");
  EXPECT_FALSE(window().vars().BitstreamPending);
}

TEST_F(ReportTest, TheEndOfTheFirmwareFlashingRebootsTheDevice) {
  window().vars().BitstreamPending = false;
  view_.cmdUpdate().SetCaption(u"Stop");
  device_->port().ClearWritten();
  Feed({"Firmware programmed\r\n\r\nBL>"});
  EXPECT_EQ(Added(), "Firmware programmed\r\n\r\n Flashing end, now reboot ...\r\n\r\n End.\r\n");
  const std::vector<uint8_t>& sent = device_->port().written();
  EXPECT_EQ(std::string(sent.begin(), sent.end()), "REBOOT\r\n");
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
  EXPECT_FALSE(view_.update_enabled());
  // No more received-data events: later text stays unread.
  Feed({"Quarn firmware 7.15\r\n"});
  EXPECT_EQ(Added(), "Firmware programmed\r\n\r\n Flashing end, now reboot ...\r\n\r\n End.\r\n");
}

TEST_F(ReportTest, TextWithoutLineEndOrPromptWaits) {
  window().vars().BitstreamPending = true;
  Feed({"Erasing", " flash"});
  EXPECT_EQ(Added(), "");
  EXPECT_EQ(ToUtf8(window().vars().DeviceText), "Erasing flash");
}

}  // namespace
}  // namespace updater::testing
