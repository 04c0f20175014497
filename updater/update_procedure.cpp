// frmMain's update procedure: the click on cmdUpdate. It signs in to a locked device, flashes
// the bitstream through the device's bootloader when the hardware needs it, and starts the
// firmware upload; the firmware's flashing and the final reboot are carried on by the control's
// events (transfer_feedback.cpp). While an update runs the button reads "Stop" and stops it.
//
// The caption of cmdUpdate is the record of a running update: a click reads it to choose
// between starting and stopping.
#include <algorithm>

#include "updater/main_window.h"

namespace updater {

using chanfold::kVTrue;

namespace {

constexpr std::u16string_view kStars = u" *******************************************";

// The product word between two texts, as the log's messages name the device.
std::u16string Named(std::u16string_view before, std::u16string_view after) {
  std::u16string text(before);
  text += kProduct;
  text += after;
  return text;
}

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

// Writes of the image file go in pieces of this size.
constexpr uint32_t kWritePiece = 64 * 1024;

}  // namespace

void MainWindow::cmdUpdate_Click() {
  if (ended_) return;
  // Every click first tells a running wait that the operator pressed the button.
  vars_.StopRequested = true;
  if (view_.cmdUpdate().Caption() != kUpdateCaption) {
    StopUpdate();
    return;
  }
  // The procedure lets clicks run inside its waits. A start while an earlier one is still in
  // its own steps (between a Stop or an abort and the end of its wait) would run a second
  // procedure inside the first: it is refused, and the operator starts again once the first
  // has ended.
  if (procedure_running_) return;
  procedure_running_ = true;
  update_interrupted_ = false;
  RunUpdate();
  procedure_running_ = false;
}

void MainWindow::RunUpdate() {
  if (program_.PasswordRequired) {
    login_->ShowModal();
  } else {
    login_->PasswordOK = true;
  }
  if (!login_->PasswordOK) {
    view_.txtLog().SetText(u"");
    view_.txtLog().SetSelStart(0);
    view_.cmdUpdate().SetEnabled(false);
    WriteLog(u"");
    WriteLog(kStars);
    WriteLog(u" * Password invalid, stop firmware update  *");
    WriteLog(kStars);
    return;
  }
  if (vars_.BitstreamPending && !BitstreamPhase()) return;
  FirmwarePhase();
}

// What tells the two phases apart: the image, the bootloader's menu choice and the texts of its
// answer, and which failures put the button's caption back (the bitstream phase leaves it to
// the caller on an image or reconnect failure, the firmware phase restores it itself).
struct MainWindow::Phase {
  std::u16string_view banner;
  std::string_view resource;
  std::u16string_view name;           // "Bitstream" or "Firmware", in the failure lines
  std::u16string_view menu_choice;    // "B" or "F"
  std::u16string_view after_reboot;   // the menu's answer when reached by a reboot
  std::u16string_view in_bootloader;  // its answer when the device was found in its bootloader
  std::u16string_view send_line;      // " Send Bitstream to " / " Send Firmware to "
  bool restores_caption_on_setup_failure;
};

const MainWindow::Phase MainWindow::kBitstreamPhase = {
    u" * Starting bitstream update               *",
    kBitstreamResource,
    u"Bitstream",
    u"B",
    u"B - Flash programming bitstream",
    u"B - Flash bitstream firmware",
    u" Send Bitstream to ",
    false,
};

const MainWindow::Phase MainWindow::kFirmwarePhase = {
    u" * Starting firmware update                *",
    kFirmwareResource,
    u"Firmware",
    u"F",
    u"F - Flash programming firmware",
    u"F - Flash programming firmware",
    u" Send Firmware to ",
    true,
};

bool MainWindow::BitstreamPhase() {
  if (!RunPhase(kBitstreamPhase)) return false;
  return WaitBitstreamEnd();
}

// The firmware upload runs from the message loop after the click handler has returned.
bool MainWindow::FirmwarePhase() {
  return RunPhase(kFirmwarePhase);
}

bool MainWindow::RunPhase(const Phase& phase) {
  auto restore_caption = [&] { view_.cmdUpdate().SetCaption(std::u16string(kUpdateCaption)); };
  WriteLog(u"");
  WriteLog(kStars);
  WriteLog(phase.banner);
  WriteLog(kStars);
  WriteLog(u"");
  vars_.TempDir = GetTempDir();
  vars_.TempFile = kTempFileName;
  if (!WriteImage(phase.resource)) {
    WriteImageFailure(phase.name);
    if (phase.restores_caption_on_setup_failure) restore_caption();
    return false;
  }
  if (!ReconnectPort(rs232_, program_.ComPortNumber)) {
    WriteReconnectFailure();
    DeleteTempFile();
    if (phase.restores_caption_on_setup_failure) restore_caption();
    return false;
  }
  std::u16string_view expected;
  std::u16string_view device_word;
  if (program_.DeviceMode == u"Firmware") {
    view_.cmdUpdate().SetCaption(std::u16string(kStopCaption));
    WriteLog(Named(u" Send 'Reboot Command' to ", u" Trasmodulator."));
    SendCommand(rs232_, u"REBOOT\r\n");
    WriteLog(u"");
    WriteLog(u" Waiting Bootloader ...");
    int16_t port = program_.ComPortNumber;
    int32_t delay = kBootloaderWaitMs;
    if (WaitingBootloader(rs232_, port, delay) != u"OK") {
      WriteRebootFailure(phase.name);
      DeleteTempFile();
      restore_caption();
      return false;
    }
    WriteLog(u"");
    expected = phase.after_reboot;
    device_word = u" trasmodulator.";
  } else if (program_.DeviceMode == u"Bootloader") {
    view_.cmdUpdate().SetCaption(std::u16string(kStopCaption));
    expected = phase.in_bootloader;
    device_word = u" Trasmodulator.";
  } else {
    WriteReconnectFailure();
    return false;
  }
  WriteLog(Named(u" Send 'Update Command' to ", u" Trasmodulator."));
  if (!Contains(SendCommand(rs232_, std::u16string(phase.menu_choice)), expected)) {
    WriteUpdateCommandFailure();
    DeleteTempFile();
    restore_caption();
    return false;
  }
  WriteLog(u"");
  WriteLog(Named(phase.send_line, device_word));
  WriteLog(u"");
  // A Stop that ran inside the exchanges above (they let pending messages run) ends the update
  // here rather than starting an upload under the caption "Update".
  if (update_interrupted_) {
    DeleteTempFile();
    return false;
  }
  StartUpload();
  return true;
}

bool MainWindow::WaitBitstreamEnd() {
  // The upload, the device's report and the clearing of BitstreamPending all run inside the
  // message processing of this loop. A Stop or an aborted upload ends the wait as well, so
  // the procedure never stays behind while the operator starts again; so does the end of the
  // program.
  platform::EventLoop& loop = *services_.loop;
  while (vars_.BitstreamPending) {
    if (update_interrupted_ || loop.QuitRequested()) return false;
    loop.Sleep(kBitstreamWaitPollMs);
    loop.DoEvents();
  }
  return true;
}

void MainWindow::StopUpdate() {
  WriteLog(u"");
  WriteLog(kStars);
  WriteLog(u" * Stop firmware update                    *");
  WriteLog(kStars);
  update_interrupted_ = true;
  rs232_.put_XferStop(kVTrue);
  rs232_.put_RThreshold(0);
  view_.cmdUpdate().SetCaption(std::u16string(kUpdateCaption));
}

void MainWindow::StartUpload() {
  rs232_.put_XferWorkDir(vars_.TempDir);
  rs232_.XferClearAllFiles();
  rs232_.XferAddFile(vars_.TempFile);
  rs232_.put_XferStart(kVTrue);
}

bool MainWindow::ToAnsiPath(std::u16string_view path, std::string* out) {
  out->clear();
  for (char16_t c : path) {
    int code = services_.locale->ToAnsi(c);
    // A NUL would cut the name short and a character without an ANSI code names no file.
    if (code <= 0) return false;
    *out += static_cast<char>(code);
  }
  return true;
}

bool MainWindow::WriteImage(std::string_view resource_name) {
  platform::ResourceData image = services_.resources->Find(kImageResourceType, resource_name);
  std::string path;
  if (!image.found() || !ToAnsiPath(vars_.TempDir + vars_.TempFile, &path)) return false;
  platform::FileSystem& files = *services_.files;
  // The temporary folder may be shared with other users. The file is made anew, exclusively
  // and without following a link, so that nobody else's file or link of the same name can
  // take the image elsewhere or mix into it. One left by an earlier run of ours goes first
  // (a link is removed itself, never followed); one that is not ours cannot be removed, and
  // the creation then fails.
  files.Delete(path);
  std::unique_ptr<platform::File> file = files.Open(path, platform::OpenMode::kCreateNew);
  if (!file) return false;
  size_t written = 0;
  while (written < image.size) {
    const uint32_t piece =
        static_cast<uint32_t>(std::min<size_t>(kWritePiece, image.size - written));
    uint32_t done = 0;
    if (!file->Write(image.data + written, piece, &done) || done != piece) {
      file.reset();
      files.Delete(path);
      return false;
    }
    written += piece;
  }
  return true;
}

void MainWindow::DeleteTempFile() {
  std::u16string path = vars_.TempDir + vars_.TempFile;
  std::string ansi;
  if (FileExists(path) && ToAnsiPath(path, &ansi)) services_.files->Delete(ansi);
}

void MainWindow::WriteReconnectFailure() {
  WriteLog(u"");
  WriteLog(Named(u" ERROR !!! Impossible reconnect to ", u" Trasmodulator."));
  WriteLog(u"");
  WriteLog(Named(u" Check power and cable of ", u" Trasmodulator."));
}

void MainWindow::WriteUpdateCommandFailure() {
  WriteLog(u"");
  WriteLog(Named(u" ERROR !!! send 'Update Command' to ", u" Trasmodulator."));
  WriteLog(u"");
  WriteLog(Named(u" Check power and cable of ", u" Trasmodulator."));
}

void MainWindow::WriteRebootFailure(std::u16string_view what) {
  WriteLog(u"");
  WriteLog(Named(u" ERROR !!! send 'Reboot Command' to ", u" Trasmodulator."));
  WriteLog(u"");
  WriteLog(u" Unable to update the " + std::u16string(what) + u".");
}

void MainWindow::WriteImageFailure(std::u16string_view what) {
  WriteLog(u"");
  WriteLog(u" ERROR !!! Unable to write the temporary file " + vars_.TempDir + vars_.TempFile +
           u".");
  WriteLog(u"");
  WriteLog(u" Unable to update the " + std::u16string(what) + u".");
}

void MainWindow::AppendLog(std::u16string_view text) {
  std::u16string all = view_.txtLog().Text();
  all += text;
  view_.txtLog().SetText(all);
  view_.txtLog().SetSelStart(all.size());
}

}  // namespace updater
