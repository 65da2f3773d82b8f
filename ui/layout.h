// The main window's layout in twips (1440 to the inch), shared by the toolkits, and the
// conversion to pixels at a screen's logical resolution.
#pragma once

namespace ui {

struct TwipsRect {
  int left;
  int top;
  int width;
  int height;
};

inline constexpr int kFormClientWidth = 4545;
inline constexpr int kFormClientHeight = 6345;
inline constexpr TwipsRect kText1{45, 90, 4425, 5010};
inline constexpr TwipsRect kText2{45, 5220, 4425, 375};
inline constexpr TwipsRect kCommand1{2970, 5760, 1500, 510};
inline constexpr char kCommand1Caption[] = "Command1";

// Twips to pixels at dots_per_inch, rounded to the nearest pixel.
constexpr int twips_to_px(int twips, int dots_per_inch) {
  const long long scaled = static_cast<long long>(twips) * dots_per_inch;
  return static_cast<int>((scaled + (scaled >= 0 ? 720 : -720)) / 1440);
}

}  // namespace ui
