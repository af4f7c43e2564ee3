#include "resources/Glyphs.h"

#include <QColor>
#include <QFile>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct TLampKind {
    const char* name;
    // Which channels dominate the lit lamp: a channel marked 1 is at least 1.4 times each channel
    // marked 0 (a kind with every channel 1 is a white-ish bulb).
    int red, green, blue;
};

constexpr TLampKind kKinds[] = {
    {"RED", 1, 0, 0},    {"GREEN", 0, 1, 0},  {"BLUE", 0, 0, 1},
    {"YELLOW", 1, 1, 0}, {"PURPLE", 1, 0, 1}, {"BULB", 1, 1, 1},
};

QString GlyphName(const TLampKind& kind, bool lit) {
    return QStringLiteral("LED%1%2").arg(QLatin1String(kind.name), lit ? "ON" : "OFF");
}

// Mean colour of the lamp's face (inside radius 4 around the centre).
QColor MeanFace(const QImage& image) {
    long r = 0, g = 0, b = 0, n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((x - 7) * (x - 7) + (y - 7) * (y - 7) > 16)
                continue;
            const QColor c = image.pixelColor(x, y);
            r += c.red();
            g += c.green();
            b += c.blue();
            ++n;
        }
    }
    return QColor(int(r / n), int(g / n), int(b / n));
}

// The HSV value: how strongly the lamp shines in its own colour.
int Brightness(const QColor& c) {
    return std::max({c.red(), c.green(), c.blue()});
}

TEST(Glyphs, EveryGlyphIsA16ColourLampPaintedTransparently) {
    const QColor parent(10, 20, 200);
    for (const TLampKind& kind : kKinds) {
        for (bool lit : {true, false}) {
            const QString name = GlyphName(kind, lit);
            SCOPED_TRACE(name.toStdString());

            const QImage raw(QStringLiteral(":/glyphs/%1.bmp").arg(name));
            ASSERT_FALSE(raw.isNull());
            EXPECT_EQ(raw.size(), QSize(15, 15));
            EXPECT_EQ(raw.format(), QImage::Format_Indexed8);
            EXPECT_LE(raw.colorCount(), 16);

            const QImage glyph = LoadGlyphImage(name);
            ASSERT_EQ(glyph.size(), QSize(15, 15));
            const QRgb olive = raw.pixel(0, 14);
            EXPECT_GT(qRed(olive), 2 * qBlue(olive) + 40) << "background is olive";
            for (int y = 0; y < 15; ++y) {
                for (int x = 0; x < 15; ++x) {
                    const bool background = raw.pixel(x, y) == olive;
                    EXPECT_EQ(qAlpha(glyph.pixel(x, y)), background ? 0 : 255) << x << "," << y;
                }
            }
            // Corners are background, the face and the ring are drawn; the ring is grey.
            for (const QPoint corner : {QPoint(0, 0), QPoint(14, 0), QPoint(0, 14), QPoint(14, 14)})
                EXPECT_EQ(qAlpha(glyph.pixel(corner)), 0);
            EXPECT_EQ(qAlpha(glyph.pixel(7, 7)), 255);
            const QColor ring = glyph.pixelColor(7, 0);
            EXPECT_EQ(ring.alpha(), 255);
            EXPECT_LE(std::abs(ring.red() - ring.green()) + std::abs(ring.green() - ring.blue()), 20);

            // Painted over its parent, the parent shows through the background and around the glyph.
            QImage target(25, 25, QImage::Format_RGB32);
            target.fill(parent);
            QPainter(&target).drawPixmap(5, 5, LoadGlyph(name));
            EXPECT_EQ(target.pixelColor(5, 19), parent); // lower-left of the glyph
            EXPECT_EQ(target.pixelColor(19, 5), parent); // upper-right
            EXPECT_EQ(target.pixelColor(12, 12), glyph.pixelColor(7, 7));
            EXPECT_EQ(target.pixelColor(4, 12), parent); // outside the glyph
        }
    }
}

TEST(Glyphs, LitAndDarkTellApartAtAGlance) {
    for (const TLampKind& kind : kKinds) {
        SCOPED_TRACE(kind.name);
        const QColor on = MeanFace(LoadGlyphImage(GlyphName(kind, true)));
        const QColor off = MeanFace(LoadGlyphImage(GlyphName(kind, false)));
        EXPECT_GE(Brightness(on), 2 * Brightness(off));
        EXPECT_GE(Brightness(on) - Brightness(off), 100);

        const int channels[3] = {on.red(), on.green(), on.blue()};
        const int marks[3] = {kind.red, kind.green, kind.blue};
        for (int hi = 0; hi < 3; ++hi) {
            for (int lo = 0; lo < 3; ++lo) {
                if (marks[hi] && !marks[lo]) {
                    EXPECT_GE(channels[hi] * 10, channels[lo] * 14) << hi << " over " << lo;
                }
            }
        }
    }
}

TEST(Glyphs, UnknownNameAndUserBitmaps) {
    EXPECT_TRUE(LoadGlyphImage(QStringLiteral("LEDORANGEON")).isNull());
    EXPECT_TRUE(LoadGlyph(QStringLiteral("")).isNull());
    EXPECT_TRUE(WithAutoTransparency(QImage()).isNull());

    // A user's bitmap: whatever colour its lower-left pixel has becomes transparent everywhere.
    QImage user(3, 2, QImage::Format_RGB32);
    user.fill(QColor(Qt::white));
    user.setPixelColor(0, 1, QColor(Qt::blue));
    user.setPixelColor(2, 0, QColor(Qt::blue));
    const QImage result = WithAutoTransparency(user);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            const bool blue = (x == 0 && y == 1) || (x == 2 && y == 0);
            EXPECT_EQ(qAlpha(result.pixel(x, y)), blue ? 0 : 255) << x << "," << y;
        }
    }
}

} // namespace
