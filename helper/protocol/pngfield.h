#pragma once

// The image field of a reply record as either writer makes it, the image the
// peer's record operator reads back from it, and the field's PNG file as it
// is, for a reader that only passes it on.

#include "pngwriter.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QImage>
#include <QtEndian>

#include <cstring>

#include <optional>

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

// The PNG file of an image field, read without decoding it: after the null
// marker, the signature and every chunk up to and with IEND. Empty for a
// null image; nothing for a field that is cut, is not PNG, or whose file is
// over maxBytes. The stream is left at the end of the field, so that the
// record's next field reads on, as the record operator's reading leaves it.
inline std::optional<QByteArray> readPngField(QDataStream &in, qint64 maxBytes)
{
    qint32 marker = -1;
    in >> marker;
    if (in.status() != QDataStream::Ok || (marker != 0 && marker != 1))
        return std::nullopt;
    if (marker == 0)
        return QByteArray();
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    QByteArray file(8, '\0');
    if (in.readRawData(file.data(), 8) != 8 || file != QByteArray(signature, 8))
        return std::nullopt;
    for (;;) {
        char head[8];
        if (in.readRawData(head, 8) != 8)
            return std::nullopt;
        const quint32 length = qFromBigEndian<quint32>(head);
        // A chunk's length is at most 2^31 - 1; its data and CRC follow.
        if (length > 0x7fffffffu || file.size() + 12 + qint64(length) > maxBytes)
            return std::nullopt;
        const qsizetype at = file.size();
        file.resize(at + 8 + qsizetype(length) + 4);
        std::memcpy(file.data() + at, head, 8);
        if (in.readRawData(file.data() + at + 8, int(length) + 4) != int(length) + 4)
            return std::nullopt;
        if (QByteArray::fromRawData(head + 4, 4) == "IEND")
            return file;
    }
}
