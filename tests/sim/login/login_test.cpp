// The sign-in window in virtual time: its key filter and box, the password exchange with a
// scripted device, the shake after a wrong password, and what survives hiding and closing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/sim/updater/updater_fixture.h"

namespace updater::testing {
namespace {

using ::testing::ElementsAreArray;

class LoginTest : public UpdaterTest {
 protected:
  LoginTest() : device_(AddDevice(1)) {
    device_.responder = [this](const std::string& piece) -> std::string {
      if (piece.rfind("VERIFYPASSWORD ", 0) != 0) return "";
      return reply_;
    };
    window().program().ComPortNumber = 1;
    frm().Load();
  }

  LoginWindow& frm() { return window().frmLogin(); }
  RecordingLoginView& login() { return view_.login(); }

  // Shows the window modally and runs `script` in it once it is up; the window is closed after
  // a minute if the script left it open.
  void ShowAnd(std::function<void()> script) {
    login().SetOnShow([this, script] {
      world_.After(10, script);
      world_.After(60000, [this] { frm().Close(); });
    });
    frm().ShowModal();
  }
  void Type(const std::string& keys) {
    for (char c : keys) frm().PressKey(static_cast<char16_t>(static_cast<uint8_t>(c)));
  }
  std::string BoxText() { return ToUtf8(login().text()); }

  ScriptedDevice& device_;
  std::string reply_ = "OK\r\n";
};

TEST_F(LoginTest, KeyFilter) {
  struct Case {
    char16_t key;
    char16_t typed;  // 0: discarded
  };
  const Case cases[] = {
      {u'a', u'A'}, {u'z', u'Z'}, {u'Q', u'Q'}, {u'0', u'0'}, {u'9', u'9'},   {u' ', u' '},
      {u'-', 0},    {u'.', 0},    {u'_', 0},    {u'\t', 0},   {u'\x03', 0},   {u'\x16', 0},
      {u'\x18', 0}, {u'\x1b', 0}, {u'\xe9', 0}, {u'\x7f', 0}, {u'\b', u'\b'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(frm().txtPassword_KeyPress(c.key), c.typed) << static_cast<int>(c.key);
  }
}

TEST_F(LoginTest, TheBoxTakesFifteenFilteredCharactersAndBackspace) {
  ShowAnd([this] {
    Type("abc-1.2 z");
    EXPECT_EQ(BoxText(), "ABC12 Z");
    Type("\b\b");
    EXPECT_EQ(BoxText(), "ABC12");
    Type("defghijklmnopqrst");
    EXPECT_EQ(BoxText(), "ABC12DEFGHIJKLM") << "at most 15";
    frm().Close();
  });
}

TEST_F(LoginTest, EnterMovesToTheButtonAndASecondEnterSignsIn) {
  ShowAnd([this] {
    Type("secret");
    frm().PressKey(kKeyEnter);
    EXPECT_EQ(frm().focus(), LoginControl::kSignIn);
    EXPECT_EQ(ToUtf8(frm().Password), "SECRET") << "taken as the box lost the focus";
    EXPECT_TRUE(device_.received.empty()) << "no sign-in yet";
    frm().PressKey(kKeyEnter);
  });
  EXPECT_EQ(device_.received, (std::vector<std::string>{"VERIFYPASSWORD SECRET\r\n"}));
  EXPECT_TRUE(frm().PasswordOK);
  EXPECT_FALSE(login().visible());
  EXPECT_TRUE(login().box_enabled());
  EXPECT_TRUE(login().button_enabled());
}

TEST_F(LoginTest, AnEmptyBoxSendsTheCommandWithoutAPassword) {
  ShowAnd([this] {
    frm().PressKey(kKeyEnter);
    frm().PressKey(kKeyEnter);
  });
  EXPECT_EQ(device_.received, (std::vector<std::string>{"VERIFYPASSWORD \r\n"}));
}

TEST_F(LoginTest, OnlyAnExactOkIsAccepted) {
  struct Case {
    std::string reply;
    bool accepted;
  };
  const Case cases[] = {
      {"OK\r\n", true},   {"  OK  ", true},        {"\r\nOK\r\n", true},  {"OK", true},
      {"ok\r\n", false},  {"OK\r\n>", false},      {"DENIED\r\n", false}, {"", false},  // NoData
      {"O K\r\n", false}, {"OK\r\nOK\r\n", false},
  };
  for (const Case& c : cases) {
    reply_ = c.reply;
    frm().TimerGraphic().SetEnabled(false);
    frm().cmdSignIn_Click();
    EXPECT_EQ(frm().PasswordOK, c.accepted) << c.reply;
    EXPECT_EQ(frm().TimerGraphic().Enabled(), !c.accepted) << c.reply;
    EXPECT_EQ(login().box_enabled(), c.accepted) << "disabled until the shake ends";
  }
}

TEST_F(LoginTest, AClosedPortSendsNothingAndShakes) {
  // The port does not open: the exchange finds it closed ("Disconnect").
  Port(1).SetOpenFails(true);
  frm().cmdSignIn_Click();
  EXPECT_TRUE(device_.received.empty());
  EXPECT_FALSE(frm().PasswordOK);
  EXPECT_TRUE(frm().TimerGraphic().Enabled());
}

TEST_F(LoginTest, TheShakeStepByStep) {
  login().PlaceAt(4320.5);  // a half rounds to the even neighbour
  frm().txtPassword_GotFocus();
  reply_ = "DENIED\r\n";
  frm().cmdSignIn_Click();
  ASSERT_TRUE(frm().TimerGraphic().Enabled());
  const uint64_t t0 = world_.NowMs();
  world_.RunUntil([this] { return !frm().TimerGraphic().Enabled(); }, 5000);
  EXPECT_NEAR(static_cast<double>(world_.NowMs() - t0), 1200, 5) << "twelve ticks of 100 ms";
  EXPECT_THAT(login().lefts(), ElementsAreArray({4120.5, 4520.5, 4120.5, 4520.5, 4120.5, 4520.5,
                                                 4120.5, 4520.5, 4120.5, 4520.5, 4120.5, 4320.0}));
  EXPECT_EQ(frm().RestLeft, 4320);
  EXPECT_EQ(frm().ShakeStep, 0);
  EXPECT_TRUE(login().box_enabled());
  EXPECT_TRUE(login().button_enabled());

  // A second wrong password: the same shake, ending where it began.
  frm().cmdSignIn_Click();
  world_.RunUntil([this] { return !frm().TimerGraphic().Enabled(); }, 5000);
  std::vector<double> lefts = login().lefts();
  ASSERT_EQ(lefts.size(), 24u);
  EXPECT_THAT(std::vector<double>(lefts.begin() + 12, lefts.end()),
              ElementsAreArray({4120.0, 4520.0, 4120.0, 4520.0, 4120.0, 4520.0, 4120.0, 4520.0,
                                4120.0, 4520.0, 4120.0, 4320.0}));
}

TEST_F(LoginTest, ShakeStepsOutOfRangeAndFarToTheRight) {
  // A step beyond the twelve puts the window back and starts over.
  login().PlaceAt(1000);
  frm().RestLeft = 700;
  frm().ShakeStep = 40;
  frm().TimerGraphic_Timer();
  EXPECT_EQ(login().Left(), 700);
  EXPECT_EQ(frm().ShakeStep, 0);
  // A window on a second screen, beyond what 16 bits of twips hold, comes back to its place.
  login().PlaceAt(40000);
  for (int i = 0; i < 12; ++i) frm().TimerGraphic_Timer();
  EXPECT_EQ(login().Left(), 40000);
}

TEST_F(LoginTest, ViewPasswordShowsTheTextInClear) {
  ShowAnd([this] {
    Type("ab");
    frm().SetFocus(LoginControl::kViewPassword);
    frm().PressKey(kKeySpace);
    EXPECT_EQ(login().check_value(), 1);
    EXPECT_EQ(ToUtf8(login().password_char()), "");
    frm().PressKey(kKeySpace);
    EXPECT_EQ(ToUtf8(login().password_char()), "*");
    frm().Close();
  });
}

TEST_F(LoginTest, ShowingAgainClearsTheBoxButKeepsThePasswordUntilTheBoxLosesTheFocus) {
  ShowAnd([this] {
    Type("first");
    frm().PressKey(kKeyEnter);
    frm().PressKey(kKeyEnter);
  });
  ASSERT_TRUE(frm().PasswordOK);
  ShowAnd([this] {
    EXPECT_EQ(BoxText(), "");
    EXPECT_EQ(ToUtf8(frm().Password), "FIRST");
    EXPECT_EQ(frm().focus(), LoginControl::kPassword);
    frm().PressKey(kKeyTab);
    EXPECT_EQ(ToUtf8(frm().Password), "");
    // Closing after an accepted password keeps it accepted.
    frm().Close();
  });
  EXPECT_TRUE(frm().PasswordOK);
  // A closed window is loaded again at its next showing: PasswordOK starts False then.
  ShowAnd([this] {
    EXPECT_FALSE(frm().PasswordOK);
    frm().Close();
  });
}

TEST_F(LoginTest, TypedTextReplacesTheSelectionAfterTheFocusCameBack) {
  ShowAnd([this] {
    Type("wrong");
    frm().PressKey(kKeyTab);
    frm().SetFocus(LoginControl::kPassword);
    EXPECT_EQ(login().sel_start(), 0u);
    EXPECT_EQ(login().sel_length(), 5u);
    Type("r");
    EXPECT_EQ(BoxText(), "R");
    frm().Close();
  });
}

}  // namespace
}  // namespace updater::testing
