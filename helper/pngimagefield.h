#pragma once

// The image field of a reply record as either writer makes it, and the image
// the peer's record operator reads back from it.

#include "pngwriter.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QImage>

enum class ImageWriter { Fast, Qt };

inline QByteArray imageField(const QImage &image, ImageWriter writer)
{
    QByteArray field;
    QDataStream out(&field, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    if (writer == ImageWriter::Fast)
        PngWriter::writeImageField(out, image);
    else
        out << image;
    return field;
}

inline QImage imageFromField(const QByteArray &field)
{
    QDataStream in(field);
    in.setVersion(QDataStream::Qt_6_0);
    QImage image;
    in >> image;
    return image;
}
