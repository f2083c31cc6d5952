#include "controls/contrast.h"

#include <algorithm>
#include <cmath>

namespace tapir::controls {

namespace {

double Linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

// The colour of `base`'s hue and saturation at HSL lightness `lightness` (0..1).
QColor AtLightness(const QColor& base, double lightness) {
    QColor hsl = base.toHsl();
    return QColor::fromHslF(hsl.hslHueF(), hsl.hslSaturationF(),
                            static_cast<float>(std::clamp(lightness, 0.0, 1.0)))
        .toRgb();
}

}  // namespace

double RelativeLuminance(const QColor& color) {
    const QColor rgb = color.toRgb();
    return 0.2126 * Linear(rgb.redF()) + 0.7152 * Linear(rgb.greenF()) +
           0.0722 * Linear(rgb.blueF());
}

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = RelativeLuminance(a);
    const double lb = RelativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableOn(const QColor& wanted, const QColor& background, double ratio) {
    if (ContrastRatio(wanted, background) >= ratio) {
        return wanted;
    }
    // Darken on a light background, lighten on a dark one; the ratio grows monotonically
    // along that way, so a bisection over the lightness finds the nearest shade.
    const bool darken = RelativeLuminance(background) > 0.18;
    const double start = wanted.toHsl().lightnessF();
    const double end = darken ? 0.0 : 1.0;
    if (ContrastRatio(AtLightness(wanted, end), background) < ratio) {
        const QColor black(Qt::black);
        const QColor white(Qt::white);
        return ContrastRatio(black, background) >= ContrastRatio(white, background) ? black : white;
    }
    double near = start;  // not readable
    double far = end;     // readable
    for (int step = 0; step < 30; ++step) {
        const double middle = (near + far) / 2;
        if (ContrastRatio(AtLightness(wanted, middle), background) >= ratio) {
            far = middle;
        } else {
            near = middle;
        }
    }
    return AtLightness(wanted, far);
}

}  // namespace tapir::controls
