// The views the updater's main window logic draws on: the window itself and the few of its
// controls that the logic changes or reads. A front-end (Win32 windows, the terminal) implements
// them; RecordingView (recording_view.h) keeps everything in order for tests.
//
// Texts are UTF-16, as in the window system the updater was designed for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace updater {

// A colour as red, green and blue, 0 to 255 each.
struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kRed{255, 0, 0};
inline constexpr Rgb kGreen{0, 255, 0};

// A label whose caption and text colour the logic sets (lblHardware, lblSoftware).
class LabelView {
 public:
  virtual ~LabelView() = default;
  virtual void SetCaption(const std::u16string& caption) = 0;
  virtual void SetForeColor(Rgb color) = 0;
};

// The multi-line, read-only log box (txtLog). The logic reads its whole text back, so the view
// is where the text lives.
class TextBoxView {
 public:
  virtual ~TextBoxView() = default;
  virtual std::u16string Text() = 0;
  virtual void SetText(const std::u16string& text) = 0;
  // Moves the caret (the selection start) to a character position; the box scrolls to it.
  virtual void SetSelStart(size_t position) = 0;
};

// The push button (cmdUpdate): its caption is read by the click handler to tell Update from
// Stop.
class ButtonView {
 public:
  virtual ~ButtonView() = default;
  virtual std::u16string Caption() = 0;
  virtual void SetCaption(const std::u16string& caption) = 0;
  virtual bool Enabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
};

// Texts of the window's design state.
inline constexpr std::u16string_view kVersionHardwareCaption = u"Hardware version : ";
inline constexpr std::u16string_view kVersionSoftwareCaption = u"Software  version : ";
inline constexpr std::u16string_view kVersionDesignCaption = u"N.D.";  // lblHardware, lblSoftware
inline constexpr std::u16string_view kUpdateCaption = u"Update";       // cmdUpdate at rest
inline constexpr std::u16string_view kStopCaption = u"Stop";           // cmdUpdate while updating

// Keys of the window's image list (Icona): image 1 and image 2, the window icon.
inline constexpr std::string_view kIconaImage1Key = "ZDR";
inline constexpr std::string_view kIconaImage2Key = "Quarn";

// Message-box style bits used by the updater.
inline constexpr uint32_t kMbOkOnly = 0;
inline constexpr uint32_t kMbCritical = 16;

// The password box of the sign-in window (txtPassword): its text, the mask character it shows
// for each character ("" shows the text in clear), whether it takes input, and its selection.
class PasswordBoxView {
 public:
  virtual ~PasswordBoxView() = default;
  virtual std::u16string Text() = 0;
  virtual void SetText(const std::u16string& text) = 0;
  virtual void SetPasswordChar(std::u16string_view mask) = 0;
  virtual bool Enabled() = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual size_t SelStart() = 0;
  virtual size_t SelLength() = 0;
  virtual void SetSelStart(size_t position) = 0;
  virtual void SetSelLength(size_t length) = 0;
};

// A check box (chkViewPassword): value 0 unchecked, 1 checked.
class CheckBoxView {
 public:
  virtual ~CheckBoxView() = default;
  virtual int Value() = 0;
  virtual void SetValue(int value) = 0;
  virtual void SetCaption(const std::u16string& caption) = 0;
};

// The controls of the sign-in window that take the focus, in tab order.
enum class LoginControl { kPassword, kSignIn, kViewPassword };

// The design name of a focusable control of the sign-in window, as views print it.
inline const char* LoginControlName(LoginControl control) {
  switch (control) {
    case LoginControl::kPassword:
      return "txtPassword";
    case LoginControl::kSignIn:
      return "cmdSignIn";
    case LoginControl::kViewPassword:
      return "chkViewPassword";
  }
  return "?";
}

// The sign-in window (frmLogin). Starts hidden, the box empty and masked, box and button
// enabled, the check box unchecked.
class LoginView {
 public:
  virtual ~LoginView() = default;

  virtual PasswordBoxView& txtPassword() = 0;
  virtual ButtonView& cmdSignIn() = 0;
  virtual CheckBoxView& chkViewPassword() = 0;

  virtual void SetCaption(const std::u16string& caption) = 0;  // the window's caption
  virtual void SetTitle(const std::u16string& caption) = 0;    // lblTitle
  // The window's left edge on the screen, in twips.
  virtual double Left() = 0;
  virtual void SetLeft(double left) = 0;
  // The focus moved to this control.
  virtual void SetFocus(LoginControl control) = 0;
  // The window appears (modally) / disappears and stays loaded / is unloaded.
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual void Close() = 0;
};

// The main window (frmMain). The views start in the window's design state: labels "N.D." in
// black, the button "Update" and disabled, the log empty, the window hidden.
class MainView {
 public:
  virtual ~MainView() = default;

  virtual LabelView& lblHardware() = 0;
  virtual LabelView& lblSoftware() = 0;
  virtual TextBoxView& txtLog() = 0;
  virtual ButtonView& cmdUpdate() = 0;
  // The view of the sign-in window that the main window loads at start-up.
  virtual LoginView& frmLogin() = 0;

  virtual void SetCaption(const std::u16string& caption) = 0;
  // Sets the window icon to the picture of the image list entry with this key.
  virtual void SetIcon(std::string_view image_key) = 0;
  // Shows a modal message box with one OK button; returns when the operator has closed it.
  virtual void MessageBox(uint32_t style, const std::u16string& title,
                          const std::u16string& text) = 0;
  // Makes the window visible (the end of start-up).
  virtual void Show() = 0;
  // The program ends now, without showing or unloading the window; nothing of the logic runs
  // after this call.
  virtual void EndProgram() = 0;
};

}  // namespace updater
