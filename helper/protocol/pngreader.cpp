#include "pngreader.h"

#include "pngpredictor.h"
#include "pngwriter.h"

#include <QtEndian>

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int BytesPerPixel = 4;

struct Decompressor {
    libdeflate_decompressor *handle = libdeflate_alloc_decompressor();
    ~Decompressor()
    {
        if (handle)
            libdeflate_free_decompressor(handle);
    }
};

struct Header {
    quint32 width = 0;
    quint32 height = 0;
    int dpmX = 0;
    int dpmY = 0;
    bool havePhys = false;
};

bool readHeader(const uchar *data, quint32 length, Header &header)
{
    static const uchar expected[5] = {8, 6, 0, 0, 0}; // depth, RGBA, deflate, filters, not interlaced
    if (length != 13 || std::memcmp(data + 8, expected, 5) != 0)
        return false;
    header.width = qFromBigEndian<quint32>(data);
    header.height = qFromBigEndian<quint32>(data + 4);
    return header.width > 0 && header.height > 0;
}

// Undoes one row's filter in place; prev is the row above, unfiltered, or
// null for the first.
bool unfilter(uchar filter, uchar *row, const uchar *prev, size_t n)
{
    constexpr size_t bpp = BytesPerPixel;
    const auto above = [prev](size_t i) { return prev ? int(prev[i]) : 0; };
    switch (filter) {
    case PngWriter::FilterNone:
        return true;
    case PngWriter::FilterSub:
        for (size_t i = bpp; i < n; ++i)
            row[i] = uchar(row[i] + row[i - bpp]);
        return true;
    case PngWriter::FilterUp:
        for (size_t i = 0; prev && i < n; ++i)
            row[i] = uchar(row[i] + prev[i]);
        return true;
    case PngWriter::FilterAverage:
        for (size_t i = 0; i < n; ++i)
            row[i] = uchar(row[i] + ((i >= bpp ? row[i - bpp] : 0) + above(i)) / 2);
        return true;
    case PngWriter::FilterPaeth:
        for (size_t i = 0; i < n; ++i)
            row[i] = uchar(row[i]
                           + paethPredictor(i >= bpp ? row[i - bpp] : 0, above(i), i >= bpp ? above(i - bpp) : 0));
        return true;
    default:
        return false;
    }
}

} // namespace

QImage readRgbaPng(const QByteArray &file, qint64 maxPixels)
{
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (file.size() < 8 || std::memcmp(file.constData(), signature, 8) != 0)
        return QImage();
    const auto *bytes = reinterpret_cast<const uchar *>(file.constData());
    const qsizetype size = file.size();
    Header header;
    QByteArray compressed;
    bool ended = false;
    for (qsizetype at = 8; !ended;) {
        if (size - at < 12)
            return QImage();
        const quint32 length = qFromBigEndian<quint32>(bytes + at);
        if (length > quint32(size - at - 12))
            return QImage();
        const uchar *type = bytes + at + 4;
        const uchar *data = type + 4;
        if (libdeflate_crc32(0, type, 4 + size_t(length)) != qFromBigEndian<quint32>(data + length))
            return QImage();
        const bool first = at == 8;
        if (first != (std::memcmp(type, "IHDR", 4) == 0))
            return QImage();
        if (first && !readHeader(data, length, header))
            return QImage();
        if (std::memcmp(type, "pHYs", 4) == 0 && length == 9 && data[8] == 1) {
            header.dpmX = int(qFromBigEndian<quint32>(data));
            header.dpmY = int(qFromBigEndian<quint32>(data + 4));
            header.havePhys = true;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            compressed.append(reinterpret_cast<const char *>(data), qsizetype(length));
        }
        ended = std::memcmp(type, "IEND", 4) == 0;
        at += 12 + qsizetype(length);
    }
    if (qint64(header.width) * header.height > maxPixels)
        return QImage();

    const size_t rowBytes = 1 + size_t(header.width) * BytesPerPixel;
    const size_t rawSize = rowBytes * header.height;
    std::unique_ptr<uchar[]> raw(new (std::nothrow) uchar[rawSize]());
    QImage image(int(header.width), int(header.height), QImage::Format_ARGB32);
    Decompressor inflater;
    size_t inflated = 0;
    if (!raw || image.isNull() || !inflater.handle
        || libdeflate_zlib_decompress(inflater.handle, compressed.constData(), size_t(compressed.size()), raw.get(),
                                      rawSize, &inflated)
            != LIBDEFLATE_SUCCESS
        || inflated != rawSize)
        return QImage();

    const size_t n = rowBytes - 1;
    for (quint32 y = 0; y < header.height; ++y) {
        uchar *row = raw.get() + y * rowBytes;
        if (!unfilter(row[0], row + 1, y ? row + 1 - rowBytes : nullptr, n))
            return QImage();
        auto *out = reinterpret_cast<quint32 *>(image.scanLine(int(y)));
        const uchar *p = row + 1;
        for (quint32 x = 0; x < header.width; ++x, p += BytesPerPixel)
            out[x] = quint32(p[3]) << 24 | quint32(p[0]) << 16 | quint32(p[1]) << 8 | p[2];
    }
    // As Qt's reader does: without the chunk, the image keeps its default.
    if (header.havePhys) {
        image.setDotsPerMeterX(header.dpmX);
        image.setDotsPerMeterY(header.dpmY);
    }
    return image;
}
