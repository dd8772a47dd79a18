// The windows' font at a pixel size. The design's bitmap sans font is not on this platform: a sans-serif of
// similar width stands in for it, keeping the pixel sizes, so the texts fit the designed boxes (the widest
// line of the error dialog is 481 pixels in the condensed face, 536 in the regular one).
#pragma once

#include <QFont>

namespace app {

inline QFont UiFont(int pixelSize) {
  QFont font;
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"),
                    QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

// Sizes in the design are outer sizes of a window; Qt places controls in the client area, which is the outer
// size less this nominal frame (border and title bar).
inline constexpr int kFrameWidth = 8;
inline constexpr int kFrameHeight = 31;

}  // namespace app
