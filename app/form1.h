// Form1, the program's one (never shown) window, with Label1 and Command1.
#pragma once

namespace quorwind {

/// A control's caption and its place, in twips (1/1440 inch).
struct ControlLayout {
  const char16_t* caption;
  int left;
  int top;
  int width;
  int height;
};

/// Form1's client area; its position is left to the window system.
inline constexpr ControlLayout kForm1Layout{u"Form1", 0, 0, 7620, 1200};
inline constexpr ControlLayout kLabel1Layout{u"Label1", 120, 120, 7335, 375};
inline constexpr ControlLayout kCommand1Layout{u"Command1", 240, 720, 1095, 375};

inline constexpr int kTwipsPerInch = 1440;

/// Converts twips to pixels at |dots_per_inch|, rounding to the nearest pixel.
constexpr int TwipsToPixels(int twips, int dots_per_inch) {
  return (twips * dots_per_inch + kTwipsPerInch / 2) / kTwipsPerInch;
}

}  // namespace quorwind
