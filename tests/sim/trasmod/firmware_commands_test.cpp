// The device in firmware mode: identification replies, the password lock, malformed replies.
#include <gtest/gtest.h>

#include "tests/sim/trasmod/trasmod_fixture.h"

namespace trasmod::testing {
namespace {

using FirmwareCommands = DeviceTest;

TEST_F(FirmwareCommands, VIsRejectedWithError) {
  Make();
  std::string reply = Ask("V\r\n");
  EXPECT_NE(reply.find("ERROR"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("Hardware Version : "), std::string::npos);
  EXPECT_EQ(core_->commands(), std::vector<std::string>{"V"});
}

TEST_F(FirmwareCommands, VersionReplyFieldByField) {
  struct Case {
    const char* name;
    DeviceConfig config;
    std::vector<std::string> expected;  // after the three lead characters, CR LF kept
  };
  DeviceConfig locked;
  locked.password = "ABC 123";
  DeviceConfig other;
  other.vendor = "www.zandor.example";
  other.hardware = "6.5";
  other.firmware = "7.10";
  other.hardware_type = 3;
  const std::vector<Case> cases = {
      {"default",
       {},
       {"Zandor Ltd", "7.0", "7.15", "0000", "0", "0", "0", "0", "0", "OPENACCESS", "0", "1\r\n"}},
      {"locked",
       locked,
       {"Zandor Ltd", "7.0", "7.15", "0000", "0", "0", "0", "0", "0", "SECUREACCESS", "0",
        "1\r\n"}},
      {"options",
       other,
       {"www.zandor.example", "6.5", "7.10", "0000", "0", "0", "0", "0", "0", "OPENACCESS", "0",
        "3\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Make(c.config);
    std::string reply = Ask("VERSION\r\n");
    EXPECT_EQ(reply.substr(0, 3), kVersionLead);
    EXPECT_EQ(VersionFields(reply), c.expected);
    EXPECT_EQ(reply, core_->VersionReply());
  }
}

TEST_F(FirmwareCommands, FieldCountCutsTheReply) {
  for (size_t n : {0u, 2u, 3u, 9u, 10u, 11u, 12u}) {
    SCOPED_TRACE(n);
    DeviceConfig config;
    config.fields = n;
    Make(config);
    std::string reply = Ask("VERSION\r\n");
    ASSERT_GE(reply.size(), 5u);
    EXPECT_EQ(reply.substr(reply.size() - 2), "\r\n");
    // No fields: the lead and the line end only.
    EXPECT_EQ(VersionFields(reply).size(), n == 0 ? 1 : n);
    if (n == 0) {
      EXPECT_EQ(reply, "OK \r\n");
    }
  }
}

TEST_F(FirmwareCommands, MalformedReplies) {
  struct Case {
    Malformed kind;
    std::function<void(const std::string&)> check;
  };
  const std::vector<Case> cases = {
      {Malformed::kNul,
       [](const std::string& r) {
         EXPECT_EQ(VersionFields(r)[3], std::string(4, '\0'));
         EXPECT_EQ(VersionFields(r).size(), 12u);
       }},
      {Malformed::kNulVendor,
       [](const std::string& r) {
         EXPECT_EQ(VersionFields(r)[0], std::string("Zandor\0Ltd", 10));
       }},
      {Malformed::kHighBit,
       [](const std::string& r) { EXPECT_EQ(VersionFields(r)[3], "\x80\xC9\xE8\xFF"); }},
      {Malformed::kShort,
       [](const std::string& r) {
         EXPECT_EQ(VersionFields(r), (std::vector<std::string>{"Zandor Ltd", "7.0\r\n"}));
       }},
      {Malformed::kNonNumericHardware,
       [](const std::string& r) { EXPECT_EQ(VersionFields(r)[1], "seven"); }},
      {Malformed::kNonNumericFirmware,
       [](const std::string& r) { EXPECT_EQ(VersionFields(r)[2], "7.x5"); }},
      {Malformed::kTypeAbove255,
       [](const std::string& r) { EXPECT_EQ(Cleaned(VersionFields(r)[11]), "256"); }},
      {Malformed::kTypeNonNumeric,
       [](const std::string& r) { EXPECT_EQ(Cleaned(VersionFields(r)[11]), "one"); }},
      {Malformed::kEmpty, [](const std::string& r) { EXPECT_EQ(r, "\r\n"); }},
      {Malformed::kLeadOnly, [](const std::string& r) { EXPECT_EQ(r, "OK "); }},
      {Malformed::kNoReply, [](const std::string& r) { EXPECT_EQ(r, ""); }},
      {Malformed::kLong,
       [](const std::string& r) {
         EXPECT_GT(r.size(), 4096u);
         EXPECT_EQ(VersionFields(r).size(), 12u);
         EXPECT_EQ(VersionFields(r)[0], "Zandor Ltd");
       }},
      {Malformed::kVendorCase,
       [](const std::string& r) {
         std::string vendor = VersionFields(r)[0];
         EXPECT_NE(vendor, "Zandor Ltd");
         EXPECT_EQ(vendor.size(), 10u);
         EXPECT_EQ(vendor, "ZANDOR LTD");
       }},
      {Malformed::kPadded,
       [](const std::string& r) {
         auto f = VersionFields(r);
         EXPECT_NE(f[0], "Zandor Ltd");  // needs the cleaning to match
         EXPECT_EQ(Cleaned(f[0]), "Zandor Ltd");
         EXPECT_EQ(Cleaned(f[9]), "SECUREACCESS");
         EXPECT_EQ(Cleaned(f[11]), "1");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(MalformedName(c.kind)));
    ASSERT_EQ(ParseMalformed(MalformedName(c.kind)), c.kind);
    DeviceConfig config;
    config.malformed = c.kind;
    config.password = "X";
    Make(config);
    c.check(Ask("VERSION\r\n"));
    // Only the VERSION reply is spoilt.
    EXPECT_EQ(Ask("V\r\n"), "ERROR\r\n");
  }
  EXPECT_EQ(ParseMalformed("bogus"), std::nullopt);
}

TEST_F(FirmwareCommands, LineHandling) {
  Make();
  // Commands in pieces and several in one piece; CR, LF or CR LF end a line; SUB is dropped.
  EXPECT_EQ(Ask("VER"), "");
  EXPECT_EQ(VersionFields(Ask("SION\r\n")).size(), 12u);
  EXPECT_EQ(Ask("\x1aV\r\x1a\x1aV\n"), "ERROR\r\nERROR\r\n");
  EXPECT_EQ(Ask("version\r\n"), "ERROR\r\n");  // case-sensitive
  EXPECT_EQ(Ask("HELLO\r\n"), "ERROR\r\n");
  // A line longer than the device keeps is answered once, as a whole.
  EXPECT_EQ(Ask(std::string(1000, 'A') + "\r\n"), "ERROR\r\n");
  EXPECT_EQ(VersionFields(Ask("VERSION\r\n")).size(), 12u);
  EXPECT_EQ(core_->commands(),
            (std::vector<std::string>{"VERSION", "V", "V", "version", "HELLO", "VERSION"}));
}

TEST_F(FirmwareCommands, PasswordLock) {
  DeviceConfig config;
  config.password = "ABC 123";
  Make(config);
  // Locked: no reboot before the password.
  EXPECT_EQ(Ask("REBOOT\r\n", 3000), "ERROR\r\n");
  EXPECT_EQ(core_->mode(), Mode::kFirmware);
  EXPECT_EQ(core_->reboots(), 0);

  for (const char* wrong :
       {"VERIFYPASSWORD abc 123\r\n", "VERIFYPASSWORD \r\n", "VERIFYPASSWORD ABC 1234\r\n"}) {
    std::string reply = Ask(wrong);
    EXPECT_EQ(reply.find("OK"), std::string::npos) << wrong;
    EXPECT_EQ(reply.substr(reply.size() - 2), "\r\n");
  }
  EXPECT_FALSE(core_->unlocked());
  EXPECT_EQ(Ask("VERIFYPASSWORD ABC 123\r\n"), "OK\r\n");
  EXPECT_TRUE(core_->unlocked());
  EXPECT_EQ(core_->passwords_tried(),
            (std::vector<std::string>{"abc 123", "", "ABC 1234", "ABC 123"}));
  // Still reported as locked; the reboot now goes ahead and locks it again.
  EXPECT_EQ(VersionFields(Ask("VERSION\r\n"))[9], "SECUREACCESS");
  EXPECT_EQ(Ask("REBOOT\r\n").substr(0, 11), "REBOOTING\r\n");
  EXPECT_EQ(core_->reboots(), 1);
  EXPECT_FALSE(core_->unlocked());
}

TEST_F(FirmwareCommands, UnlockedDeviceAcceptsAnyPassword) {
  Make();
  EXPECT_EQ(Ask("VERIFYPASSWORD WHATEVER\r\n"), "OK\r\n");
  EXPECT_EQ(core_->passwords_tried(), std::vector<std::string>{"WHATEVER"});
}

TEST_F(FirmwareCommands, SilentDeviceAnswersNothing) {
  DeviceConfig config;
  config.silent = true;
  Make(config);
  EXPECT_EQ(Ask("V\r\nVERSION\r\nREBOOT\r\n\x1a", 5000), "");
  EXPECT_EQ(core_->mode(), Mode::kFirmware);
}

}  // namespace
}  // namespace trasmod::testing
