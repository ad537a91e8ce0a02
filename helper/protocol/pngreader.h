#pragma once

#include <QByteArray>
#include <QImage>
#include <QtGlobal>

// Reads back the one form of PNG that PngWriter writes: 8-bit RGBA, not
// interlaced, with an optional pHYs chunk. For a program that takes a page's
// PNG from a helper and has no use for Qt's image plugins, which Qt loads,
// every one of them, on the first image it reads. Anything else, a file
// that is cut, a chunk whose CRC is wrong, data that inflates to other than
// the rows' exact size, gives a null image; so does an image of more than
// maxPixels pixels, checked before anything is allocated for it.
QImage readRgbaPng(const QByteArray &file, qint64 maxPixels);
