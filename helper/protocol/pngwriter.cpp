#include "pngwriter.h"

#include "pngpredictor.h"

#include <QColorSpace>
#include <QDataStream>
#include <QImage>
#include <QtEndian>

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#if !defined(PNGWRITER_PORTABLE) \
    && (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define PNGWRITER_SSE2 1
#endif

namespace {

constexpr uchar Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr int BytesPerPixel = 4;
// PNG chunk lengths are 31-bit; longer compressed data goes into several IDAT
// chunks, which readers concatenate.
constexpr size_t MaxChunkData = 0x7fffffff;
// Filtered rows of up to this size stay allocated between images of the
// per-thread writer: an A4 page at 300 dpi (2480 by 3508) needs 34.8 MB, no
// more than the rendered image itself, and allocating it afresh costs a
// tenth of the encoding time in page faults.
constexpr size_t RetainedBufferLimit = size_t(40) << 20;

// ARGB32 keeps each pixel as one native 0xAARRGGBB word; PNG wants the bytes
// R, G, B, A. Everything below works on the words so that it does not depend
// on the machine's byte order, except the SSE2 paths, which only exist on
// little-endian x86.
inline void putRgba(uchar *out, quint32 p)
{
    out[0] = uchar(p >> 16);
    out[1] = uchar(p >> 8);
    out[2] = uchar(p);
    out[3] = uchar(p >> 24);
}

#ifdef PNGWRITER_SSE2
// Swaps R and B in four pixels at once: B, G, R, A in memory becomes R, G,
// B, A.
inline __m128i swizzled(__m128i p)
{
    const __m128i keep = _mm_set1_epi32(int(0xff00ff00u));
    const __m128i low = _mm_set1_epi32(0x000000ff);
    const __m128i r = _mm_and_si128(_mm_srli_epi32(p, 16), low);
    const __m128i b = _mm_slli_epi32(_mm_and_si128(p, low), 16);
    return _mm_or_si128(_mm_and_si128(p, keep), _mm_or_si128(r, b));
}

inline __m128i load4(const quint32 *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

inline void store4(uchar *out, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
}
#endif

void swizzleRow(const quint32 *src, uchar *dst, int width)
{
    int x = 0;
#ifdef PNGWRITER_SSE2
    for (; x + 4 <= width; x += 4)
        store4(dst + x * BytesPerPixel, swizzled(load4(src + x)));
#endif
    for (; x < width; ++x)
        putRgba(dst + x * BytesPerPixel, src[x]);
}

// An opaque image's row as R, G, B bytes, its alpha dropped.
void rgbRow(const quint32 *src, uchar *dst, int width)
{
    for (int x = 0; x < width; ++x, dst += 3) {
        dst[0] = uchar(src[x] >> 16);
        dst[1] = uchar(src[x] >> 8);
        dst[2] = uchar(src[x]);
    }
}

#ifdef PNGWRITER_SSE2
// The filters subtract byte by byte, and swapping bytes within a pixel
// commutes with that; so the difference is taken on the words as they are in
// memory and swizzled once, on the way out.
void upRow(const quint32 *src, const quint32 *above, uchar *dst, int width)
{
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m128i d0 = _mm_sub_epi8(load4(src + x), load4(above + x));
        const __m128i d1 = _mm_sub_epi8(load4(src + x + 4), load4(above + x + 4));
        store4(dst + x * BytesPerPixel, swizzled(d0));
        store4(dst + (x + 4) * BytesPerPixel, swizzled(d1));
    }
    for (; x + 4 <= width; x += 4)
        store4(dst + x * BytesPerPixel, swizzled(_mm_sub_epi8(load4(src + x), load4(above + x))));
    uchar a[4], b[4];
    for (; x < width; ++x) {
        putRgba(a, src[x]);
        putRgba(b, above[x]);
        for (int i = 0; i < BytesPerPixel; ++i)
            dst[x * BytesPerPixel + i] = uchar(a[i] - b[i]);
    }
}

void subRow(const quint32 *src, uchar *dst, int width)
{
    if (width <= 0)
        return;
    putRgba(dst, src[0]);
    int x = 1;
    for (; x + 4 <= width; x += 4)
        store4(dst + x * BytesPerPixel, swizzled(_mm_sub_epi8(load4(src + x), load4(src + x - 1))));
    uchar a[4], b[4];
    for (; x < width; ++x) {
        putRgba(a, src[x]);
        putRgba(b, src[x - 1]);
        for (int i = 0; i < BytesPerPixel; ++i)
            dst[x * BytesPerPixel + i] = uchar(a[i] - b[i]);
    }
}
#endif

// Filters one row of bpp-byte pixels against the row above (all zero for
// the first row), as the PNG format defines the filters.
void filterBytes(PngWriter::Filter filter, const uchar *cur, const uchar *prev, uchar *out, int n, int bpp)
{
    switch (filter) {
    case PngWriter::FilterNone:
    case PngWriter::FilterAdaptive: // resolved per row before this point
        std::memcpy(out, cur, size_t(n));
        break;
    case PngWriter::FilterSub:
        for (int i = 0; i < n; ++i)
            out[i] = uchar(cur[i] - (i >= bpp ? cur[i - bpp] : 0));
        break;
    case PngWriter::FilterUp:
        for (int i = 0; i < n; ++i)
            out[i] = uchar(cur[i] - prev[i]);
        break;
    case PngWriter::FilterAverage:
        for (int i = 0; i < n; ++i)
            out[i] = uchar(cur[i] - ((i >= bpp ? cur[i - bpp] : 0) + prev[i]) / 2);
        break;
    case PngWriter::FilterPaeth:
        for (int i = 0; i < n; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0;
            const int c = i >= bpp ? prev[i - bpp] : 0;
            out[i] = uchar(cur[i] - paethPredictor(a, prev[i], c));
        }
        break;
    }
}

// Adaptive rows are None or Up. None keeps paper and text as they are, so
// that every repetition of a glyph matches the others; Up turns photographs
// and gradients into small residuals. A row goes Up only when that shrinks
// the sum of its bytes, read as signed, to under an eighth: measured on
// rendered pages, anything less strict splits text rows between the two
// forms and loses more on text than it wins on pictures.
inline quint32 signedMagnitude(quint32 byte)
{
    return byte < 128 ? byte : 256 - byte;
}

PngWriter::Filter chooseRowFilter(const quint32 *src, const quint32 *above, int width)
{
    quint64 none = 0;
    quint64 up = 0;
    int x = 0;
#ifdef PNGWRITER_SSE2
    const __m128i zero = _mm_setzero_si128();
    __m128i sumNone = zero;
    __m128i sumUp = zero;
    // min(b, -b) is the magnitude of a byte read as signed; psadbw adds them.
    const auto magnitudes = [zero](__m128i v) {
        return _mm_sad_epu8(_mm_min_epu8(v, _mm_sub_epi8(zero, v)), zero);
    };
    for (; x + 4 <= width; x += 4) {
        const __m128i p = load4(src + x);
        sumNone = _mm_add_epi64(sumNone, magnitudes(p));
        sumUp = _mm_add_epi64(sumUp, magnitudes(_mm_sub_epi8(p, load4(above + x))));
    }
    quint64 lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sumNone);
    none = lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), sumUp);
    up = lanes[0] + lanes[1];
#endif
    for (; x < width; ++x) {
        for (int shift = 0; shift < 32; shift += 8) {
            const quint32 p = (src[x] >> shift) & 0xff;
            const quint32 q = (above[x] >> shift) & 0xff;
            none += signedMagnitude(p);
            up += signedMagnitude((p - q) & 0xff);
        }
    }
    return 8 * up < none ? PngWriter::FilterUp : PngWriter::FilterNone;
}

void putBigEndian(uchar *out, quint32 value)
{
    qToBigEndian(value, out);
}

} // namespace

PngWriter::PngWriter(int level, Filter filter)
    : m_level(std::clamp(level, 0, 12))
    , m_filter(filter <= FilterAdaptive ? filter : DefaultFilter)
{
}

PngWriter::~PngWriter()
{
    if (m_compressor)
        libdeflate_free_compressor(m_compressor);
}

bool PngWriter::canWrite(const QImage &image)
{
    // Qt's writer turns text, a colour space and an offset into chunks of
    // their own; such images are left to it so that nothing gets lost.
    return !image.isNull() && image.format() == QImage::Format_ARGB32
        && image.textKeys().isEmpty() && !image.colorSpace().isValid()
        && image.offset().isNull();
}

void PngWriter::Buffer::reserve(size_t wanted)
{
    if (size >= wanted)
        return;
    data.reset();
    size = 0;
    data.reset(new uchar[wanted]);
    size = wanted;
}

void PngWriter::releaseBuffers()
{
    m_filtered = Buffer();
    m_compressed = Buffer();
}

size_t PngWriter::compress(const QImage &image, bool opaque)
{
    const int width = image.width();
    const int height = image.height();
    const int bytesPerPixel = opaque ? 3 : BytesPerPixel;
    const size_t rowBytes = 1 + size_t(width) * bytesPerPixel;
    const size_t rawSize = rowBytes * size_t(height);

    try {
        if (!m_compressor) {
            m_compressor = libdeflate_alloc_compressor(m_level);
            if (!m_compressor)
                return 0;
        }
        m_filtered.reserve(rawSize);
        m_compressed.reserve(libdeflate_zlib_compress_bound(m_compressor, rawSize));

        uchar *out = m_filtered.data.get();
        const int n = width * bytesPerPixel;
#ifdef PNGWRITER_SSE2
        const bool fused = !opaque && m_filter != FilterAverage && m_filter != FilterPaeth;
#else
        constexpr bool fused = false;
#endif
        // The portable path swizzles each row first and keeps the one above.
        std::vector<uchar> rows(fused ? 0 : 2 * size_t(n), 0);
        uchar *cur = rows.data();
        // No arithmetic on the null data() of the empty vector the fused path has.
        uchar *prev = fused ? nullptr : cur + n;

        for (int y = 0; y < height; ++y, out += rowBytes) {
            const auto *src = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            const auto *above = y ? reinterpret_cast<const quint32 *>(image.constScanLine(y - 1)) : nullptr;
            // Against the all-zero row above the first, Up is None.
            Filter f = m_filter;
            if (f == FilterAdaptive)
                f = above ? chooseRowFilter(src, above, width) : FilterNone;
            else if (f == FilterUp && !above)
                f = FilterNone;
            out[0] = uchar(f);
#ifdef PNGWRITER_SSE2
            if (fused) {
                if (f == FilterNone)
                    swizzleRow(src, out + 1, width);
                else if (f == FilterSub)
                    subRow(src, out + 1, width);
                else
                    upRow(src, above, out + 1, width);
                continue;
            }
#endif
            if (opaque)
                rgbRow(src, cur, width);
            else
                swizzleRow(src, cur, width);
            filterBytes(f, cur, prev, out + 1, n, bytesPerPixel);
            std::swap(cur, prev);
        }

        return libdeflate_zlib_compress(m_compressor, m_filtered.data.get(), rawSize,
                                        m_compressed.data.get(), m_compressed.size);
    } catch (const std::bad_alloc &) {
        releaseBuffers();
        return 0;
    }
}

template<typename Sink>
void PngWriter::emitFile(const QImage &image, size_t compressedSize, bool opaque, Sink &&sink) const
{
    const auto chunk = [&sink](const char type[4], const uchar *data, size_t size) {
        uchar head[8];
        putBigEndian(head, quint32(size));
        std::memcpy(head + 4, type, 4);
        sink(head, 8);
        if (size)
            sink(data, size);
        quint32 crc = libdeflate_crc32(0, head + 4, 4);
        if (size)
            crc = libdeflate_crc32(crc, data, size);
        uchar tail[4];
        putBigEndian(tail, crc);
        sink(tail, 4);
    };

    sink(Signature, sizeof Signature);

    uchar ihdr[13];
    putBigEndian(ihdr, quint32(image.width()));
    putBigEndian(ihdr + 4, quint32(image.height()));
    ihdr[8] = 8;  // bits per sample
    ihdr[9] = opaque ? 2 : 6; // colour type: RGB, or RGB with alpha
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering, one filter byte per row
    ihdr[12] = 0; // not interlaced
    chunk("IHDR", ihdr, sizeof ihdr);

    // Qt writes the resolution whenever one of its values is positive, as the
    // raw 32 bits of each, and reads them back the same way.
    if (image.dotsPerMeterX() > 0 || image.dotsPerMeterY() > 0) {
        uchar phys[9];
        putBigEndian(phys, quint32(image.dotsPerMeterX()));
        putBigEndian(phys + 4, quint32(image.dotsPerMeterY()));
        phys[8] = 1; // per metre
        chunk("pHYs", phys, sizeof phys);
    }

    const uchar *data = m_compressed.data.get();
    size_t left = compressedSize;
    do {
        const size_t piece = std::min(left, MaxChunkData);
        chunk("IDAT", data, piece);
        data += piece;
        left -= piece;
    } while (left);

    chunk("IEND", nullptr, 0);
}

QByteArray PngWriter::write(const QImage &image)
{
    return canWrite(image) ? file(image, false) : QByteArray();
}

QByteArray PngWriter::writeOpaque(const QImage &image)
{
    const bool known = image.format() == QImage::Format_ARGB32 || image.format() == QImage::Format_RGB32;
    return !image.isNull() && known ? file(image, true) : QByteArray();
}

QByteArray PngWriter::file(const QImage &image, bool opaque)
{
    const size_t size = compress(image, opaque);
    if (!size)
        return QByteArray();
    QByteArray file;
    file.reserve(qsizetype(size) + 128);
    emitFile(image, size, opaque,
             [&file](const uchar *data, size_t n) { file.append(reinterpret_cast<const char *>(data), qsizetype(n)); });
    return file;
}

bool PngWriter::write(const QImage &image, QDataStream &stream)
{
    if (!canWrite(image))
        return false;
    const size_t size = compress(image);
    if (!size)
        return false;
    emitFile(image, size, false, [&stream](const uchar *data, size_t n) {
        stream.writeRawData(reinterpret_cast<const char *>(data), qsizetype(n));
    });
    return true;
}

void PngWriter::writeImageField(QDataStream &stream, const QImage &image)
{
#ifndef PDFHELPER_QT_PNG_WRITER
    // Before stream version 5 a QImage has no null marker; leave those to Qt.
    if (stream.version() >= 5 && canWrite(image)) {
        static thread_local PngWriter writer;
        const size_t size = writer.compress(image);
        if (size) {
            stream << qint32(1);
            writer.emitFile(image, size, false, [&stream](const uchar *data, size_t n) {
                stream.writeRawData(reinterpret_cast<const char *>(data), qsizetype(n));
            });
            // Pages come one after the other and reuse the buffers; a
            // freak size should not pin its memory after.
            if (writer.m_filtered.size > RetainedBufferLimit)
                writer.releaseBuffers();
            return;
        }
    }
#endif
    stream << image;
}
