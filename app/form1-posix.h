// Form1 without a window system: the controls are plain objects.
#pragma once

#include <string>

#include "app/form1.h"
#include "playback/platform.h"

namespace quorwind {

/// A label or button: a caption and a place, nothing drawn.
class Control : public CaptionHolder {
 public:
  explicit Control(const ControlLayout& layout) : caption_(layout.caption) {}

  void SetCaption(std::u16string_view caption) override { caption_ = caption; }
  std::u16string GetCaption() const override { return caption_; }

 private:
  std::u16string caption_;
};

class Form1 {
 public:
  /// The load step: hands Label1 to the play-and-wait sequence, which ends the
  /// program.
  [[noreturn]] void Load(PlaybackPlatform& platform);

  Control Label1{kLabel1Layout};
  Control Command1{kCommand1Layout};  // no handler for any of its events
};

}  // namespace quorwind
