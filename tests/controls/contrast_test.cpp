#include "controls/contrast.h"

#include <gtest/gtest.h>

#include <vector>

namespace tapir::controls {
namespace {

TEST(Contrast, RatiosOfKnownPairs) {
    EXPECT_NEAR(ContrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio(Qt::white, Qt::black), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio(QColor(0x77, 0x77, 0x77), Qt::white), 4.48, 0.01);
    EXPECT_NEAR(ContrastRatio(Qt::red, Qt::black), 5.25, 0.01);
    EXPECT_NEAR(ContrastRatio(Qt::yellow, QColor(0xEF, 0xEF, 0xEF)), 1.07, 0.01);
    EXPECT_NEAR(RelativeLuminance(QColor(0x80, 0x80, 0x80)), 0.2159, 0.0001);
}

TEST(Contrast, ReadableShadeKeepsTheHue) {
    struct Case {
        QColor wanted;
        QColor background;
    };
    const std::vector<Case> cases = {
        {Qt::yellow, QColor(0xEF, 0xEF, 0xEF)},  // yellow captions on a light button
        {Qt::yellow, QColor(0x30, 0x30, 0x30)},  // already readable on a dark one
        {Qt::red, QColor(0x20, 0x20, 0x20)},     // red lightened on a dark background
        {QColor(0x80, 0x00, 0x00), QColor(0x60, 0x60, 0x60)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted.name().toStdString() + " on " + c.background.name().toStdString());
        const QColor readable = ReadableOn(c.wanted, c.background);
        EXPECT_GE(ContrastRatio(readable, c.background), kReadableContrast);
        EXPECT_NEAR(readable.toHsl().hslHueF(), c.wanted.toHsl().hslHueF(), 0.01);
        if (ContrastRatio(c.wanted, c.background) >= kReadableContrast) {
            EXPECT_EQ(readable, c.wanted);
        } else {
            // The nearest readable shade: a little less change would not do.
            EXPECT_LT(ContrastRatio(readable, c.background), kReadableContrast + 0.1);
        }
    }
    // Darkened on light, lightened on dark.
    EXPECT_LT(ReadableOn(Qt::yellow, QColor(0xEF, 0xEF, 0xEF)).lightnessF(),
              QColor(Qt::yellow).lightnessF());
    EXPECT_GT(ReadableOn(Qt::red, QColor(0x20, 0x20, 0x20)).lightnessF(),
              QColor(Qt::red).lightnessF());
}

TEST(Contrast, MidGreyBackgroundFallsBackToBlackOrWhite) {
    // No shade reaches 7:1 on mid grey; black does better than white there.
    const QColor grey(0x77, 0x77, 0x77);
    EXPECT_EQ(ReadableOn(Qt::yellow, grey, 7.0), QColor(Qt::black));
}

}  // namespace
}  // namespace tapir::controls
