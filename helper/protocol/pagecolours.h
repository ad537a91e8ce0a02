#pragma once

// How a drawn page's colours are shown. Inverted is the page request's own
// invert flag; night and sepia are our own preview side's, which a helper
// that knows them applies to every page and tile it draws after being asked
// (a PageColoursRequest), and which the preview side applies itself where a
// helper does not. Both leave the page's images as they were drawn.

#include <QImage>
#include <QList>
#include <QRect>
#include <QtGlobal>

enum class PageColours : quint8 {
    Normal = 0,
    Inverted = 1, // every channel inverted: black on white becomes white on black
    Night = 2,    // lightness inverted, hue and saturation kept: a red link stays red
    Sepia = 3,    // the paper warm, the ink as it was
};

// A value off the wire or from stored settings; anything unknown is Normal.
PageColours pageColoursFrom(int value);

// Whether the colours are applied after drawing (night and sepia): the
// other two are how the page is drawn.
constexpr bool appliedAfterDrawing(PageColours colours)
{
    return colours == PageColours::Night || colours == PageColours::Sepia;
}

// Applies night or sepia in place to a 32-bit image, leaving the pixels
// inside kept (the page's images, in the image's pixels) as they are.
// Normal and inverted leave it alone: inversion is drawn, not applied.
void applyPageColours(QImage &image, PageColours colours, const QList<QRect> &kept = {});

// The colour of blank paper shown so: for what stands in for a page until
// it is drawn.
QRgb paperColour(PageColours colours);
