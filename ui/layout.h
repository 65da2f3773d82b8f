// The main window's layout in twips (1440 to the inch), shared by the toolkits, the conversion
// to pixels at a screen's logical resolution, and the rule both windows follow when resized:
// the boxes widen with the window, Text1 also grows taller, the button keeps to the bottom
// right, and the status line (when it says something) sits under the input line.
#pragma once

namespace ui {

struct TwipsRect {
  int left;
  int top;
  int width;
  int height;
};

struct PixelRect {
  int left;
  int top;
  int width;
  int height;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
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

constexpr PixelRect to_pixels(const TwipsRect& r, int dpi_x, int dpi_y) {
  return {twips_to_px(r.left, dpi_x), twips_to_px(r.top, dpi_y), twips_to_px(r.width, dpi_x),
          twips_to_px(r.height, dpi_y)};
}

struct FormLayout {
  PixelRect text1;
  PixelRect text2;
  PixelRect status;  // zero height when the status line is empty
  PixelRect command1;
};

// The form's client size in pixels at a resolution.
constexpr PixelRect form_client(int dpi_x, int dpi_y) {
  return {0, 0, twips_to_px(kFormClientWidth, dpi_x), twips_to_px(kFormClientHeight, dpi_y)};
}

// The smallest client size that keeps the button, the input line, a status line of
// status_height and a line of Text1 whole.
constexpr PixelRect minimum_client(int dpi_x, int dpi_y, int status_height) {
  const PixelRect form = form_client(dpi_x, dpi_y);
  const PixelRect text1 = to_pixels(kText1, dpi_x, dpi_y);
  const PixelRect text2 = to_pixels(kText2, dpi_x, dpi_y);
  const PixelRect command1 = to_pixels(kCommand1, dpi_x, dpi_y);
  const int gap = status_height > 0 ? status_height + text1.left : 0;
  return {0, 0, command1.width + 2 * text1.left, form.height - text1.height + text2.height + gap};
}

// Where the controls go in a client area of width x height pixels.
constexpr FormLayout lay_out(int width, int height, int dpi_x, int dpi_y, int status_height) {
  const PixelRect form = form_client(dpi_x, dpi_y);
  const int dw = width - form.width;
  const int dh = height - form.height;
  const PixelRect text1 = to_pixels(kText1, dpi_x, dpi_y);
  const PixelRect text2 = to_pixels(kText2, dpi_x, dpi_y);
  const PixelRect command1 = to_pixels(kCommand1, dpi_x, dpi_y);
  // The status line takes its room from Text1: the input line moves up by as much.
  const int lift = status_height > 0 ? status_height + text1.left : 0;
  FormLayout layout{};
  layout.text1 = {text1.left, text1.top, text1.width + dw, text1.height + dh - lift};
  layout.text2 = {text2.left, text2.top + dh - lift, text2.width + dw, text2.height};
  layout.status = {text2.left, text2.top + text2.height + dh - lift + text1.left / 2,
                   text2.width + dw, status_height};
  layout.command1 = {command1.left + dw, command1.top + dh, command1.width, command1.height};
  return layout;
}

}  // namespace ui
