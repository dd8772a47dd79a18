// The windows' font at a pixel size. The design's bitmap sans font is not on this platform: a sans-serif of
// similar width stands in for it, keeping the pixel sizes (scripts/setup.sh installs DejaVu Sans Condensed,
// in which the texts fit the designed boxes). Whatever face the machine really has, the windows measure their
// texts with its metrics and grow beyond the designed sizes where a text needs it: the regular DejaVu Sans,
// the one sans font of a bare Debian, needs 536 pixels for the error dialog's widest line, 481 in the
// condensed face.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <algorithm>
#include <cmath>

namespace app {

// The faces asked for, the first one installed wins. Tests force one face here to see the windows in it.
inline QStringList& UiFontFamilies() {
  static QStringList families{QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                              QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed"),
                              QStringLiteral("DejaVu Sans")};
  return families;
}

inline QFont UiFont(int pixelSize) {
  QFont font;
  font.setFamilies(UiFontFamilies());
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

// The designed size, or more where the measured one is larger: a design size is a minimum, never a cut.
inline int AtLeast(int designed, double measured) {
  return std::max(designed, static_cast<int>(std::ceil(measured)));
}

// The width a push button needs to show its caption whole: the caption in the button's font, the style's
// margin and frame (not the style's preferred minimum, which would widen the designed buttons for nothing).
inline int ButtonWidthFor(const QPushButton& button) {
  const QStyle* style = button.style();
  return button.fontMetrics().horizontalAdvance(button.text()) +
         style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, &button) +
         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &button);
}

// Sizes in the design are outer sizes of a window; Qt places controls in the client area, which is the outer
// size less this nominal frame (border and title bar).
inline constexpr int kFrameWidth = 8;
inline constexpr int kFrameHeight = 31;

}  // namespace app
