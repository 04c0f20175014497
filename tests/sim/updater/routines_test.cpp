// The main window's shared routines (log, locale text, temporary folder, file test) and its
// shut-down, on the real file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "updater_fixture.h"

namespace updater::testing {
namespace {

std::u16string Wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

TEST_F(UpdaterTest, WriteLogAppendsALineAndPutsTheCaretAtTheEnd) {
  view_.txtLog().SetText(u"earlier text");  // not ending in a line end
  window().WriteLog(u" first");
  EXPECT_EQ(view_.log_text(), u"earlier text first\r\n");
  EXPECT_EQ(view_.log_sel_start(), view_.log_text().size());
  window().WriteLog(u"");
  EXPECT_EQ(view_.log_text(), u"earlier text first\r\n\r\n");
  EXPECT_EQ(view_.log_sel_start(), view_.log_text().size());
  view_.txtLog().SetSelStart(3);  // the operator clicked into the log
  window().WriteLog(u" last");
  EXPECT_EQ(view_.log_sel_start(), view_.log_text().size());
  EXPECT_THAT(view_.log_lines_utf8(), ::testing::ElementsAre("earlier text first", "", " last"));
}

TEST_F(UpdaterTest, ReadLocaleInfoAsksForTheSizeFirst) {
  for (const char* sep : {".", ",", "::"}) {
    world_.locale().SetDecimalSeparator(sep);
    EXPECT_EQ(ToUtf8(window().ReadLocaleInfo(0x0409, platform::kLocaleSDecimal)), sep);
  }
  world_.locale().SetDecimalSeparator("");  // the system cannot tell
  EXPECT_EQ(window().ReadLocaleInfo(0x0409, platform::kLocaleSDecimal), u"");
  world_.locale().SetDecimalSeparator(",");
  EXPECT_EQ(window().ReadLocaleInfo(0x0409, 15), u"") << "an item the locale does not know";
}

TEST_F(UpdaterTest, GetTempDirGivesTheFolderWithItsSeparatorOrNothing) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  {
    testsupport::ScopedEnv tmp("TMPDIR", dir.path());
    EXPECT_EQ(ToUtf8(window().GetTempDir()), dir.path() + "/");
  }
  // A folder whose name does not fit the 260 characters the routine offers.
  std::string deep = dir.path();
  while (deep.size() < 300) deep += "/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
  ASSERT_TRUE(std::filesystem::create_directories(deep));
  testsupport::ScopedEnv tmp("TMPDIR", deep);
  EXPECT_EQ(window().GetTempDir(), u"");
}

TEST_F(UpdaterTest, FileExistsOnlyForFiles) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::ofstream(dir.File("image.tmp")) << "x";
  EXPECT_TRUE(window().FileExists(Wide(dir.File("image.tmp"))));
  EXPECT_FALSE(window().FileExists(Wide(dir.path()))) << "a folder";
  EXPECT_FALSE(window().FileExists(Wide(dir.path() + "/"))) << "a folder";
  EXPECT_FALSE(window().FileExists(u"")) << "an empty path";
  EXPECT_FALSE(window().FileExists(Wide(dir.File("missing.tmp"))));
  EXPECT_FALSE(window().FileExists(Wide(dir.File("image.tmp")) + u'\0' + u"x"))
      << "a NUL does not cut the name short";
  EXPECT_FALSE(window().FileExists(Wide(dir.path()) + u"/\u4e2d")) << "no ANSI name";
}

TEST_F(UpdaterTest, UnloadDeletesTheTemporaryFileAndClosesThePort) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::ofstream(dir.File("temp.tmp")) << "image";
  world_.AddPort("COM4");
  window().Start();
  ASSERT_TRUE(window().ReconnectPort(window().RS232(), 4));
  window().vars().TempDir = Wide(dir.path() + "/");
  window().vars().TempFile = u"temp.tmp";

  window().Unload();
  EXPECT_FALSE(std::filesystem::exists(dir.File("temp.tmp")));
  EXPECT_FALSE(Port(4).is_open());
  EXPECT_EQ(window().RS232().get_Connected(), chanfold::kVFalse);
}

TEST_F(UpdaterTest, UnloadLeavesAFolderAndIsQuietWithoutAFile) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::filesystem::create_directory(dir.File("temp.tmp"));
  window().Start();
  window().vars().TempDir = Wide(dir.path() + "/");
  window().vars().TempFile = u"temp.tmp";
  window().Unload();
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("temp.tmp")));
}

TEST_F(UpdaterTest, UnloadBeforeAnyUpdateTouchesNothing) {
  // Both names are empty: nothing is deleted, nothing fails; the main window shows nothing
  // more and the hidden sign-in window is unloaded.
  window().Start();
  size_t before = view_.events().size();
  window().Unload();
  ASSERT_EQ(view_.events().size(), before + 1);
  EXPECT_EQ(view_.events().back(), "frmLogin.Close");
}

}  // namespace
}  // namespace updater::testing
