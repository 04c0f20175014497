// The primitives the protocol engines use: paced writes of the transmit buffer, reads bounded
// by the buffers they fill, the input purge, and the transfer file in blocks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "tests/sim/control/control_fixture.h"

namespace chanfold::testing {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return out;
}

class PrimitivesTest : public ControlTest {
 protected:
  void SetUp() override {
    Open();
    port_.SetOnReceive([this](const uint8_t*, size_t n) {
      arrivals_.push_back({world_.NowMs(), n});
    });
    std::vector<uint8_t> p = Pattern(kBufferSize, 3);
    std::copy(p.begin(), p.end(), ctrl_.transmit_buffer_.begin());
  }

  struct Arrival {
    uint64_t at_ms;
    size_t size;
  };
  std::vector<Arrival> arrivals_;
};

TEST_F(PrimitivesTest, SendBytesWritesPacedPiecesOfAtMost256) {
  struct Case {
    int32_t n;
    std::vector<uint32_t> pieces;
  };
  const Case cases[] = {
      {512, {256, 256}}, {1029, {256, 256, 256, 256, 5}}, {133, {133}}, {0, {}}, {-4, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    port_.ClearWritten();
    arrivals_.clear();
    uint64_t start = world_.NowMs();

    ctrl_.SendBytes(c.n);

    EXPECT_EQ(port_.write_sizes(), c.pieces);
    size_t total = c.n > 0 ? static_cast<size_t>(c.n) : 0;
    EXPECT_THAT(port_.written(), ElementsAreArray(ctrl_.transmit_buffer_.begin(),
                                                  ctrl_.transmit_buffer_.begin() + total));
    // Each piece is followed by a 10 ms pause before the next goes out.
    world_.RunFor(1);
    ASSERT_EQ(arrivals_.size(), c.pieces.size());
    for (size_t i = 1; i < arrivals_.size(); ++i) {
      uint64_t gap = arrivals_[i].at_ms - arrivals_[i - 1].at_ms;
      EXPECT_GE(gap, 10u);
      EXPECT_LE(gap, 20u);
    }
    if (!c.pieces.empty()) {
      EXPECT_GE(world_.NowMs() - start, 10 * c.pieces.size());
    }
  }
}

TEST_F(PrimitivesTest, SendBytesNeverReadsPastTheTransmitBuffer) {
  ctrl_.SendBytes(5000);
  EXPECT_EQ(port_.written().size(), static_cast<size_t>(kBufferSize));
  EXPECT_EQ(port_.write_sizes().size(), 17u);  // 16 x 256 + 1
  EXPECT_EQ(port_.write_sizes().back(), 1u);
}

TEST_F(PrimitivesTest, ReadReplyTakesWhatFitsAndLeavesTheRestQueued) {
  std::vector<uint8_t> line = Pattern(5000, 11);
  port_.SendToProgram(line.data(), line.size());
  ASSERT_EQ(ctrl_.InQueueCount(), 5000);

  ctrl_.ReadReply(ctrl_.InQueueCount());

  EXPECT_THAT(ctrl_.reply_buffer_, ElementsAreArray(line.begin(), line.begin() + kBufferSize));
  EXPECT_THAT(ctrl_.read_ahead_buffer_, Each(0));  // the buffer behind it is untouched
  EXPECT_EQ(ctrl_.InQueueCount(), 5000 - kBufferSize);
  ctrl_.ReadReply(ctrl_.InQueueCount());
  EXPECT_THAT(std::vector<uint8_t>(ctrl_.reply_buffer_.begin(),
                                   ctrl_.reply_buffer_.begin() + (5000 - kBufferSize)),
              ElementsAreArray(line.begin() + kBufferSize, line.end()));
  EXPECT_EQ(ctrl_.InQueueCount(), 0);
}

TEST_F(PrimitivesTest, ReadAheadStaysInsideItsBuffer) {
  port_.SendToProgram("0123456789");
  EXPECT_EQ(ctrl_.ReadAhead(0, 4), 4);
  EXPECT_EQ(ctrl_.ReadAhead(4, 3), 3);
  EXPECT_EQ(std::string(ctrl_.read_ahead_buffer_.begin(), ctrl_.read_ahead_buffer_.begin() + 7),
            "0123456");

  // Near the end only what fits is read; outside the buffer nothing is.
  EXPECT_EQ(ctrl_.ReadAhead(kBufferSize - 2, 3), 2);
  EXPECT_EQ(ctrl_.read_ahead_buffer_[kBufferSize - 2], '7');
  EXPECT_EQ(ctrl_.read_ahead_buffer_[kBufferSize - 1], '8');
  EXPECT_EQ(ctrl_.ReadAhead(kBufferSize, 1), 0);
  EXPECT_EQ(ctrl_.ReadAhead(-1, 1), 0);
  EXPECT_EQ(ctrl_.InQueueCount(), 1);
  EXPECT_THAT(ctrl_.file_block_buffer_, Each(0));
}

TEST_F(PrimitivesTest, PurgeInputEmptiesOnlyTheInputQueue) {
  port_.SendToProgram("stale reply");
  ctrl_.PurgeInput();
  EXPECT_EQ(ctrl_.InQueueCount(), 0);
  EXPECT_EQ(port_.purge_count(), 1);
  EXPECT_THAT(port_.written(), IsEmpty());
  // Closed: nothing to purge, nothing happens.
  ctrl_.put_PortOpen(kVFalse);
  ctrl_.PurgeInput();
  EXPECT_EQ(port_.purge_count(), 1);
}

// A file in the temporary folder through the control's file service, removed at the end.
class FileBlocksTest : public ControlTest {
 protected:
  void SetUp() override {
    files_ = world_.services().files;
    ASSERT_NE(files_, nullptr) << "the host file service is missing";
    char dir[512] = {};
    uint32_t len = files_->GetTempPath(sizeof dir, dir);
    ASSERT_GT(len, 0u);
    ASSERT_LT(len, sizeof dir);
    path_ = std::string(dir) + "chanfold-blocks-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
            std::to_string(std::random_device{}()) + ".bin";
  }
  void TearDown() override {
    ctrl_.transfer_file_.reset();
    if (files_ && !path_.empty()) files_->Delete(path_);
  }

  void WriteFile(const std::vector<uint8_t>& bytes) {
    auto f = files_->Open(path_, platform::OpenMode::kCreateAlways);
    ASSERT_NE(f, nullptr);
    uint32_t done = 0;
    ASSERT_TRUE(f->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &done));
    ASSERT_EQ(done, bytes.size());
  }
  std::vector<uint8_t> ReadFile() {
    auto f = files_->Open(path_, platform::OpenMode::kReadExisting);
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    std::vector<uint8_t> out(static_cast<size_t>(f->Size()));
    uint32_t done = 0;
    EXPECT_TRUE(f->Read(out.data(), static_cast<uint32_t>(out.size()), &done));
    out.resize(done);
    return out;
  }

  platform::FileSystem* files_ = nullptr;
  std::string path_;
};

TEST_F(FileBlocksTest, ReadFileBlocksReturnsWhatTheFileHad) {
  std::vector<uint8_t> content = Pattern(4500, 5);
  WriteFile(content);
  ctrl_.transfer_file_ = files_->Open(path_, platform::OpenMode::kReadExisting);
  ASSERT_NE(ctrl_.transfer_file_, nullptr);

  // Two pieces (3000 + 1000), then the end of the file cuts the second request short.
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, 0, 4000), 4000);
  EXPECT_THAT(std::vector<uint8_t>(ctrl_.work_buffer_.begin(), ctrl_.work_buffer_.begin() + 4000),
              ElementsAreArray(content.begin(), content.begin() + 4000));
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.file_block_buffer_, 10, 4000), 500);
  EXPECT_THAT(std::vector<uint8_t>(ctrl_.file_block_buffer_.begin() + 10,
                                   ctrl_.file_block_buffer_.begin() + 510),
              ElementsAreArray(content.begin() + 4000, content.end()));
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, 0, 1024), 0);
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, 0, 0), 0);
}

TEST_F(FileBlocksTest, ReadFileBlocksIsBoundedByTheBuffer) {
  std::vector<uint8_t> content = Pattern(4500, 9);
  WriteFile(content);
  ctrl_.transfer_file_ = files_->Open(path_, platform::OpenMode::kReadExisting);
  ASSERT_NE(ctrl_.transfer_file_, nullptr);

  // 6000 bytes asked of a 4500-byte file: only the buffer's 4097 can be taken; the rest of the
  // file is still there for the next read.
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.transmit_buffer_, 0, 6000), kBufferSize);
  EXPECT_THAT(ctrl_.transmit_buffer_,
              ElementsAreArray(content.begin(), content.begin() + kBufferSize));
  EXPECT_THAT(ctrl_.work_buffer_, Each(0));
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, kBufferSize - 3, 100), 3);
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, kBufferSize, 100), 0);
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, 0, 1000), 4500 - kBufferSize - 3);
}

TEST_F(FileBlocksTest, WriteFileBlocksWritesFromTheOffset) {
  std::vector<uint8_t> p = Pattern(kBufferSize, 21);
  std::copy(p.begin(), p.end(), ctrl_.file_block_buffer_.begin());
  ctrl_.transfer_file_ = files_->Open(path_, platform::OpenMode::kCreateAlways);
  ASSERT_NE(ctrl_.transfer_file_, nullptr);

  ctrl_.WriteFileBlocks(ctrl_.file_block_buffer_, 100, 3500);  // 3000 + 500
  ctrl_.WriteFileBlocks(ctrl_.file_block_buffer_, 0, 0);
  ctrl_.WriteFileBlocks(ctrl_.file_block_buffer_, kBufferSize - 2, 50);  // only 2 fit
  ctrl_.WriteFileBlocks(ctrl_.file_block_buffer_, -1, 50);
  ctrl_.transfer_file_.reset();

  std::vector<uint8_t> expected(p.begin() + 100, p.begin() + 3600);
  expected.push_back(p[kBufferSize - 2]);
  expected.push_back(p[kBufferSize - 1]);
  EXPECT_THAT(ReadFile(), ElementsAreArray(expected));
}

TEST_F(FileBlocksTest, NoTransferFileMeansNothingMoves) {
  EXPECT_EQ(ctrl_.ReadFileBlocks(ctrl_.work_buffer_, 0, 100), 0);
  ctrl_.WriteFileBlocks(ctrl_.work_buffer_, 0, 100);
  EXPECT_THAT(ctrl_.work_buffer_, Each(0));
}

}  // namespace
}  // namespace chanfold::testing
