// Form1 on Win32: a top-level window of its own class with a static control
// (Label1) and a push button (Command1), all created hidden.
#pragma once

#include <windows.h>

#include "app/form1.h"
#include "playback/platform.h"

namespace quorwind {

/// A window's text as a caption holder.
class WindowCaption : public CaptionHolder {
 public:
  explicit WindowCaption(HWND window) : window_(window) {}
  void SetCaption(std::u16string_view caption) override;
  std::u16string GetCaption() const override;

 private:
  HWND window_;
};

class Form1 {
 public:
  /// Registers the window class and creates the hidden window with its
  /// controls. Throws RuntimeError (kWindowSystem), naming the system's
  /// reason, when the window system refuses.
  void Create(HINSTANCE instance);

  /// The load step: hands Label1 to the play-and-wait sequence, which ends the
  /// program. Runs before the window would be shown.
  [[noreturn]] void Load(PlaybackPlatform& platform);

 private:
  static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static void CreateControls(HWND form, HINSTANCE instance);

  HWND window_ = nullptr;
};

}  // namespace quorwind
