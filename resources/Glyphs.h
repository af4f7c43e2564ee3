#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>

// The signal-lamp glyphs "LEDREDON" ... "LEDBULBOFF": 15 x 15, 16-colour bitmaps kept as resources
// under ":/glyphs/<name>.bmp". The colour of a glyph's lower-left pixel is its transparent colour.

// Registers the glyph resources of this static library. The loaders below call it themselves; call it
// directly only to read ":/glyphs/..." through other means. Safe to call more than once and from any
// thread.
void InitGlyphResources();

// The named glyph (without ".bmp") with every pixel of the lower-left pixel's colour made fully
// transparent, as ARGB32 premultiplied; a null image for an unknown name.
QImage LoadGlyphImage(const QString& name);

// The same as a pixmap (needs the GUI application object); a null pixmap for an unknown name.
QPixmap LoadGlyph(const QString& name);

// Makes every pixel of the lower-left pixel's colour transparent: the rule for glyphs given by the
// program and for bitmaps assigned by the user alike. A null image stays null.
QImage WithAutoTransparency(const QImage& image);
