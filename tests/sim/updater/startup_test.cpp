// Start-up of the updater as a whole: the port scan, the unsupported-hardware stop, the
// verdict, the locale, and the full log of a start-up against a device in firmware mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "updater_fixture.h"

namespace updater::testing {
namespace {

using ::testing::ElementsAreArray;

const std::vector<std::string> kNotValidLines = {
    "", " This update version is not valid for connected hardware.", ""};

TEST_F(UpdaterTest, NoPortGivesTheBannerCaseAAndADisabledButton) {
  window().Start();

  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(Concat(Banner(), kNotValidLines)));
  EXPECT_EQ(ToUtf8(view_.caption()), "Quarn Firmware Updater to Version 7.15");
  EXPECT_EQ(view_.icon(), "Quarn");
  EXPECT_EQ(ToUtf8(view_.hardware_caption()), "None");
  EXPECT_EQ(ToUtf8(view_.software_caption()), "None");
  EXPECT_EQ(view_.hardware_color(), kBlack);
  EXPECT_EQ(view_.software_color(), kBlack);
  EXPECT_FALSE(view_.update_enabled());
  EXPECT_TRUE(view_.shown());
  EXPECT_FALSE(window().ended());
  EXPECT_EQ(window().program().ComPortNumber, 0);
  // No port opens, so the scan costs no wait at all.
  EXPECT_LT(world_.NowMs(), 100u);
  // The window appears only after everything else.
  EXPECT_EQ(view_.events().back(), "frmMain.Show");
}

TEST_F(UpdaterTest, EveryPortThatOpensCostsHalfASecondAndTheLineSettingsAreTheDevices) {
  for (int n : {1, 4, 9}) AddDevice(n);  // silent: nothing answers "V"
  window().Start();

  EXPECT_EQ(world_.NowMs() / 100, 15u);  // three waits of 500 ms, plus a few ms of pumping
  for (int n : {1, 4, 9}) {
    sim::SimPort& port = Port(n);
    EXPECT_EQ(std::string(port.written().begin(), port.written().end()), "V\r\n") << n;
    EXPECT_EQ(port.dcb().BaudRate, 57600u);
    EXPECT_EQ(port.dcb().ByteSize, 8);
    EXPECT_EQ(port.dcb().Parity, 0);
    EXPECT_EQ(port.dcb().StopBits, 0);
    EXPECT_EQ(port.dcb().flags & (platform::dcb::kOutxCtsFlow | platform::dcb::kOutX |
                                  platform::dcb::kInX | platform::dcb::kRtsControlMask),
              0u);
    EXPECT_EQ(port.in_queue_size(), 16384u);
    EXPECT_FALSE(port.is_open()) << "every probe closes its port";
  }
  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(Concat(Banner(), kNotValidLines)));
}

TEST_F(UpdaterTest, TheHighestPortWithADeviceWins) {
  AddDevice(2).AnswerAsFirmware(VersionReply("Zandor Ltd", "6.5", "7.10"));
  AddDevice(5).AnswerAsBootloader("7.0");
  AddDevice(11);  // silent
  window().Start();

  EXPECT_EQ(window().program().ComPortNumber, 5);
  EXPECT_EQ(ToUtf8(window().program().DeviceMode), "Bootloader");
  EXPECT_EQ(window().program().HardwareVersion, 7.0f);
  // The firmware version of COM2 stays: the bootloader does not report one.
  EXPECT_EQ(window().program().SoftwareVersion, 7.10f);
  auto lines = view_.log_lines_utf8();
  EXPECT_NE(std::find(lines.begin(), lines.end(), " Quarn Trasmodulator Connected on COM5."),
            lines.end());
  // A firmware device costs two waits, a bootloader and a silent port one each.
  EXPECT_EQ(world_.NowMs() / 100, 20u);
}

TEST_F(UpdaterTest, StoredSettingsOfTheControl) {
  chanfold::ChanfoldCtrl& c = window().RS232();
  EXPECT_EQ(c.get_BaudRate(), 57600);
  EXPECT_EQ(c.get_DataBits(), chanfold::db8Bits);
  EXPECT_EQ(c.get_Parity(), chanfold::pNone);
  EXPECT_EQ(c.get_StopBits(), chanfold::sb1Bit);
  EXPECT_EQ(c.get_FlowControl(), chanfold::fcNone);
  EXPECT_EQ(ToUtf8(c.get_Port()), "COM1");
  EXPECT_EQ(c.get_RThreshold(), 0);
  EXPECT_EQ(c.get_InputQ(), 16384);
  EXPECT_EQ(c.get_OutputQ(), 16384);
  EXPECT_EQ(c.get_XonChar(), 17);
  EXPECT_EQ(c.get_XoffChar(), 19);
  EXPECT_EQ(c.get_XferMode(), chanfold::aUpload);
  EXPECT_EQ(c.get_XferProtocol(), chanfold::pXModem1K);
  EXPECT_EQ(c.get_XferTimeoutInterval(), 5000);
  EXPECT_EQ(c.get_XferTimeoutsAllowed(), 5);
  EXPECT_EQ(ToUtf8(c.get_XferWorkDir()), "");
  EXPECT_EQ(ToUtf8(c.get_PhoneNumber()), "");
  EXPECT_EQ(c.get_ModemSelIndex(), -1);
  EXPECT_FALSE(view_.shown()) << "creating the window shows nothing";
}

TEST_F(UpdaterTest, APortThatFailsHalfWayLeavesTheDevicesValuesAlone) {
  // Alone, a reply cut after the hardware version is no device: case A, not "COM0".
  AddDevice(5).AnswerAsFirmware("VR:Zandor Ltd,7.0");
  window().Start();
  EXPECT_EQ(window().program().ComPortNumber, 0);
  EXPECT_EQ(window().program().HardwareVersion, 0.0f);
  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(Concat(Banner(), kNotValidLines)));
  EXPECT_FALSE(view_.update_enabled());
}

TEST_F(UpdaterTest, ALaterPortThatFailsHalfWayDoesNotMixItsVersionsIn) {
  AddDevice(2).AnswerAsFirmware(VersionReply("Zandor Ltd", "6.5", "7.10"));
  AddDevice(5).AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15", "SECUREACCESS", "300"));
  window().Start();
  EXPECT_EQ(window().program().ComPortNumber, 2);
  EXPECT_EQ(window().program().HardwareVersion, 6.5f);
  EXPECT_EQ(window().program().SoftwareVersion, 7.10f);
  EXPECT_FALSE(window().program().PasswordRequired);
  EXPECT_EQ(ToUtf8(view_.hardware_caption()), "6.5");
  EXPECT_EQ(ToUtf8(view_.software_caption()), "7.1");
}

// ---- Unsupported hardware ----

struct HardwareStopCase {
  const char* name;
  std::string version_reply;  // "" = the device does not answer "VERSION"
};

class HardwareStopTest : public UpdaterTest,
                         public ::testing::WithParamInterface<HardwareStopCase> {};

TEST_P(HardwareStopTest, ShowsTheBoxAndEndsBeforeTheWindowIsShown) {
  AddDevice(3).AnswerAsFirmware(GetParam().version_reply);
  AddDevice(7).AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  bool port_closed_while_box_open = false;
  view_.SetOnMessageBox([&](const RecordingView::MessageBoxRecord&) {
    port_closed_while_box_open = !Port(3).is_open();
  });
  window().Start();

  ASSERT_EQ(view_.message_boxes().size(), 1u);
  const auto& box = view_.message_boxes()[0];
  EXPECT_EQ(box.style, 16u);
  EXPECT_EQ(ToUtf8(box.title), "Hardware Error !!!");
  EXPECT_EQ(ToUtf8(box.text),
            "This software does not support the connected device.\r\n"
            "Contact your device manufacturer for support.\r\n\r\n"
            "The updater program will be terminated.");
  EXPECT_TRUE(port_closed_while_box_open);
  EXPECT_TRUE(window().ended());
  EXPECT_TRUE(view_.ended());
  EXPECT_FALSE(view_.shown());
  EXPECT_EQ(view_.events().back(), "frmMain.End");
  // The scan stopped at COM3 and no banner or verdict was written.
  EXPECT_TRUE(Port(7).written().empty());
  EXPECT_TRUE(view_.log_lines().empty());

  // The program has ended: closing does nothing any more.
  size_t events = view_.events().size();
  window().Unload();
  window().cmdUpdate_Click();
  EXPECT_EQ(view_.events().size(), events);
  EXPECT_FALSE(window().vars().StopRequested);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HardwareStopTest,
    ::testing::Values(
        HardwareStopCase{"ten_fields", "VR:Zandor Ltd,7.0,7.15,a,b,c,d,e,f,OPEN\r\n"},
        HardwareStopCase{"eleven_fields", "VR:Zandor Ltd,7.0,7.15,a,b,c,d,e,f,OPEN,x\r\n"},
        HardwareStopCase{"type_2", VersionReply("Zandor Ltd", "7.0", "7.15", "OPEN", "2")},
        HardwareStopCase{"three_fields", "VR:Zandor Ltd,7.0,7.15\r\n"},
        HardwareStopCase{"no_version_reply", ""},
        HardwareStopCase{"other_vendor", VersionReply("Acme Inc", "7.0", "7.15")},
        HardwareStopCase{"vendor_case", VersionReply("zandor ltd", "7.0", "7.15")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterTest, AfterASupportedDeviceAnUnknownAnswerIsOnlyAnError) {
  AddDevice(2).AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  AddDevice(4).AnswerAsFirmware(VersionReply("Acme Inc", "7.0", "7.15"));
  AddDevice(6).AnswerAsFirmware("");
  window().Start();

  EXPECT_TRUE(view_.message_boxes().empty());
  EXPECT_TRUE(view_.shown());
  EXPECT_EQ(window().program().ComPortNumber, 2);
  EXPECT_TRUE(view_.update_enabled());
}

TEST_F(UpdaterTest, TenFieldsFromTheVendorResetTheHardwareTypeAndStop) {
  // A supported device first, then one with ten fields: its type becomes 0, so it stops.
  AddDevice(2).AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  AddDevice(4).AnswerAsFirmware("VR:Zandor Ltd,7.0,7.15,a,b,c,d,e,f,OPEN\r\n");
  window().Start();
  EXPECT_EQ(view_.message_boxes().size(), 1u);
  EXPECT_TRUE(window().ended());
  EXPECT_EQ(window().program().HardwareType, 0);
}

// ---- Verdict ----

struct VerdictCase {
  const char* name;
  std::string hardware;  // as the device writes it
  std::string firmware;  // "" = device in its bootloader
  bool locked;
  std::vector<std::string> lines;  // the log after the banner
  std::string hw_caption, hw_color, sw_caption, sw_color;
  bool enabled;
  bool bitstream;
};

class VerdictTest : public UpdaterTest, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(VerdictTest, LogLabelsButtonAndBitstream) {
  const VerdictCase& c = GetParam();
  ScriptedDevice& device = AddDevice(3);
  if (c.firmware.empty()) {
    device.AnswerAsBootloader(c.hardware);
  } else {
    device.AnswerAsFirmware(
        VersionReply("Zandor Ltd", c.hardware, c.firmware, c.locked ? "SECUREACCESS" : "OPEN"));
  }
  window().Start();

  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(Concat(Banner(), c.lines)));
  EXPECT_EQ(ToUtf8(view_.hardware_caption()), c.hw_caption);
  EXPECT_EQ(ColorName(view_.hardware_color()), c.hw_color);
  EXPECT_EQ(ToUtf8(view_.software_caption()), c.sw_caption);
  EXPECT_EQ(ColorName(view_.software_color()), c.sw_color);
  EXPECT_EQ(view_.update_enabled(), c.enabled);
  EXPECT_EQ(window().vars().BitstreamPending, c.bitstream);
  EXPECT_EQ(ToUtf8(view_.update_caption()), "Update");
}

const std::vector<std::string> kTail = {"", " Press button Update to start procedure."};

INSTANTIATE_TEST_SUITE_P(
    Cases, VerdictTest,
    ::testing::Values(
        VerdictCase{
            "same_firmware_valid_hardware", "7.0", "7.15", false,
            Concat({"", " Update from Firmware Mode.", "",
                    " Quarn Trasmodulator Connected on COM3.", "", " Hardware Version : 7.0",
                    " Software Version : 7.15", "", " Hardware is Valid for New Firmware.", "",
                    " Firmware is the same of Update ... Reflashing."},
                   kTail),
            "7.0", "green", "7.15", "green", true, false},
        VerdictCase{"older_firmware_old_hardware", "6.5", "7.10", false,
                    Concat({"", " Update from Firmware Mode.", "",
                            " Quarn Trasmodulator Connected on COM3.", "",
                            " Hardware Version : 6.5", " Software Version : 7.1", "",
                            " Hardware is not Valid for New Firmware, need upgrade.", "",
                            " The firmware is less recent of update ... Upgrade."},
                           kTail),
                    "6.5", "red", "7.1", "red", true, true},
        VerdictCase{
            "newer_firmware", "7.0", "7.20", false,
            Concat({"", " Update from Firmware Mode.", "",
                    " Quarn Trasmodulator Connected on COM3.", "", " Hardware Version : 7.0",
                    " Software Version : 7.2", "", " Hardware is Valid for New Firmware.", "",
                    " The firmware is more recent of update ... Downgrade."},
                   kTail),
            "7.0", "green", "7.2", "black", true, false},
        VerdictCase{
            "top_of_range_locked", "7.99", "7.15", true,
            Concat({"", " Password is required to continue upgrade.", "",
                    " Update from Firmware Mode.", "", " Quarn Trasmodulator Connected on COM3.",
                    "", " Hardware Version : 7.99", " Software Version : 7.15", "",
                    " Hardware is not Valid for New Firmware, need upgrade.", "",
                    " Firmware is the same of Update ... Reflashing."},
                   kTail),
            "7.99", "red", "7.15", "green", true, true},
        VerdictCase{"hardware_too_new", "8.0", "7.15", false, kNotValidLines, "None", "black",
                    "None", "black", false, false},
        VerdictCase{"hardware_too_old", "5.9", "7.15", false, kNotValidLines, "None", "black",
                    "None", "black", false, false},
        VerdictCase{
            "firmware_zero",
            "7.0",
            "0",
            false,
            {"", " Update from Firmware Mode.", "", " ERROR !!! Quarn Trasmodulator not Connected.",
             "", " Check power and cable of Quarn Trasmodulator."},
            "None",
            "black",
            "None",
            "black",
            false,
            false},
        VerdictCase{
            "bootloader_valid_hardware",
            "7.0",
            "",
            false,
            {"", " Update from Bootloader Mode.", "", " Quarn Trasmodulator Connected on COM3.", "",
             " Hardware Version : 7.0", "", " Hardware is Valid for New Firmware.", "",
             " Press button Update to start procedure."},
            "7.0",
            "green",
            "N.D.",
            "black",
            true,
            false},
        VerdictCase{"bootloader_old_hardware",
                    "6.0",
                    "",
                    false,
                    {"", " Update from Bootloader Mode.", "",
                     " Quarn Trasmodulator Connected on COM3.", "", " Hardware Version : 6.0", "",
                     " Hardware is not Valid for New Firmware, need upgrade.", "",
                     " Press button Update to start procedure."},
                    "6.0",
                    "red",
                    "N.D.",
                    "black",
                    true,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Locale ----

TEST_F(UpdaterTest, CommaLocaleReadsThePointAndShowsTheComma) {
  world_.locale().SetDecimalSeparator(",");
  AddDevice(3).AnswerAsFirmware(VersionReply("Zandor Ltd", "6.5", "7.15"));
  window().Start();

  EXPECT_EQ(ToUtf8(window().program().DecimalSeparator), ",");
  EXPECT_EQ(window().program().HardwareVersion, 6.5f);
  EXPECT_EQ(ToUtf8(view_.caption()), "Quarn Firmware Updater to Version 7,15");
  auto lines = view_.log_lines_utf8();
  EXPECT_EQ(lines[1], " * Quarn Firmware Updater to Version 7,15");
  EXPECT_NE(std::find(lines.begin(), lines.end(), " Hardware Version : 6,5"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), " Software Version : 7,15"), lines.end());
  EXPECT_EQ(ToUtf8(view_.hardware_caption()), "6,5");
  EXPECT_EQ(ToUtf8(view_.software_caption()), "7,15");
  EXPECT_EQ(view_.software_color(), kGreen) << "7,15 read back is exactly the update's version";
}

TEST_F(UpdaterTest, WithoutASeparatorThePointsGoAndTheHardwareIsOutOfRange) {
  world_.locale().SetDecimalSeparator("");
  AddDevice(3).AnswerAsFirmware(VersionReply("Zandor Ltd", "7.0", "7.15"));
  window().Start();

  EXPECT_EQ(window().program().DecimalSeparator, u"");
  EXPECT_EQ(window().program().HardwareVersion, 70.0f);
  EXPECT_EQ(window().program().SoftwareVersion, 715.0f);
  EXPECT_THAT(view_.log_lines_utf8(), ElementsAreArray(Concat(Banner(), kNotValidLines)));
  EXPECT_FALSE(view_.update_enabled());
}

// ---- The whole log of one start-up ----

TEST_F(UpdaterTest, FullTranscriptOfALockedDeviceInFirmwareMode) {
  AddDevice(1);  // a port without a device
  AddDevice(3).AnswerAsFirmware(
      VersionReply("Zandor Ltd", "7.0", "7.15", " \r\nSECUREACCESS\r\n ", " 1 \r\n"));
  window().Start();

  const std::string expected =
      " ***************************************************\r\n"
      " * Quarn Firmware Updater to Version 7.15\r\n"
      " ***************************************************\r\n"
      "\r\n"
      " Password is required to continue upgrade.\r\n"
      "\r\n"
      " Update from Firmware Mode.\r\n"
      "\r\n"
      " Quarn Trasmodulator Connected on COM3.\r\n"
      "\r\n"
      " Hardware Version : 7.0\r\n"
      " Software Version : 7.15\r\n"
      "\r\n"
      " Hardware is Valid for New Firmware.\r\n"
      "\r\n"
      " Firmware is the same of Update ... Reflashing.\r\n"
      "\r\n"
      " Press button Update to start procedure.\r\n";
  EXPECT_EQ(ToUtf8(view_.log_text()), expected);
  EXPECT_EQ(view_.log_sel_start(), view_.log_text().size());
  EXPECT_TRUE(window().program().PasswordRequired);
  EXPECT_EQ(window().program().HardwareType, 1);
  EXPECT_EQ(ToUtf8(window().program().DeviceMode), "Firmware");
  EXPECT_TRUE(view_.update_enabled());

  // The order in which the window changed: caption and icon, the sign-in window loaded
  // without being shown, the labels and the button as the verdict sets them, then the window
  // appears.
  std::vector<std::string> visible;
  for (const std::string& e : view_.events()) {
    if (e.rfind("txtLog", 0) != 0) visible.push_back(e);
  }
  EXPECT_THAT(visible,
              ElementsAreArray(
                  {"frmMain.Caption=Quarn Firmware Updater to Version 7.15", "frmMain.Icon=Quarn",
                   "txtPassword.PasswordChar=*", "txtPassword.Enabled=1", "cmdSignIn.Enabled=1",
                   "chkViewPassword.Value=0", "txtPassword.Text=", "frmLogin.Caption=Sign in",
                   "lblTitle.Caption=Sign in to your device", "cmdSignIn.Caption=Sign in",
                   "chkViewPassword.Caption=View password", "lblHardware.ForeColor=green",
                   "lblHardware.Caption=7.0", "cmdUpdate.Enabled=1", "lblSoftware.Caption=7.15",
                   "lblSoftware.ForeColor=green", "frmMain.Show"}));
}

}  // namespace
}  // namespace updater::testing
