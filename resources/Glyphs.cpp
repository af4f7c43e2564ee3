#include "resources/Glyphs.h"

#include <QLoggingCategory>

#include <mutex>

Q_LOGGING_CATEGORY(lcGlyphs, "corvantel.resources", QtWarningMsg)

// Q_INIT_RESOURCE must stand outside any namespace.
static void InitGlyphResourceData() {
    Q_INIT_RESOURCE(glyphs);
}

void InitGlyphResources() {
    static std::once_flag once;
    std::call_once(once, InitGlyphResourceData);
}

QImage WithAutoTransparency(const QImage& image) {
    if (image.isNull())
        return {};
    QImage result = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb transparent = result.pixel(0, result.height() - 1);
    for (int y = 0; y < result.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(result.scanLine(y));
        for (int x = 0; x < result.width(); ++x) {
            if (line[x] == transparent)
                line[x] = 0;
        }
    }
    return result.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage LoadGlyphImage(const QString& name) {
    InitGlyphResources();
    QImage image(QStringLiteral(":/glyphs/%1.bmp").arg(name));
    if (image.isNull()) {
        qCDebug(lcGlyphs) << "no glyph" << name;
        return {};
    }
    return WithAutoTransparency(image);
}

QPixmap LoadGlyph(const QString& name) {
    return QPixmap::fromImage(LoadGlyphImage(name));
}
