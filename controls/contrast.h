#pragma once
// Colour contrast as readers need it: the contrast ratio of two colours by relative
// luminance, and a colour of the same hue made dark or light enough to be read on a given
// background. Used where a window gives meaning to a text colour.

#include <QColor>

namespace tapir::controls {

// The smallest ratio of text to its background that stays readable for most readers.
inline constexpr double kReadableContrast = 4.5;

// The relative luminance of an opaque colour, 0 (black) .. 1 (white), from its sRGB values.
double RelativeLuminance(const QColor& color);

// (L1 + 0.05) / (L2 + 0.05) with L1 the lighter of the two: 1 .. 21.
double ContrastRatio(const QColor& a, const QColor& b);

// `wanted` itself when it reaches `ratio` against `background`; otherwise the colour of the
// same hue and saturation, as little darker (on a light background) or lighter (on a dark
// one) as reaches it. Falls back to black or white, whichever contrasts more, when no
// shade of the hue does.
QColor ReadableOn(const QColor& wanted, const QColor& background, double ratio = kReadableContrast);

}  // namespace tapir::controls
