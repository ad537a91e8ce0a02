#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>

class QDataStream;
class QImage;
struct libdeflate_compressor;

// Writes ARGB32 images as 8-bit RGBA PNG files with libdeflate, several times
// faster than Qt's own PNG writer. The file carries exactly what Qt's writer
// would put in it for such an image (IHDR, pHYs when Qt writes one, IDAT,
// IEND), so Qt's reader gives back an equal image with the same format and
// dots per meter.
//
// A writer keeps its compressor and its scratch buffers between images: a
// server that sends page after page of the same size allocates nothing after
// the first.
class PngWriter
{
public:
    // The PNG row filters this writer can apply, with their on-file numbers,
    // and FilterAdaptive, which picks None or Up row by row.
    enum Filter : quint8 {
        FilterNone = 0,
        FilterSub = 1,
        FilterUp = 2,
        FilterAverage = 3,
        FilterPaeth = 4,
        FilterAdaptive = 5,
    };

    // Picked by measuring rendered pages at thumbnail, screen and print sizes
    // (see bench/png): the best time at a size no larger than Qt's.
    static constexpr int DefaultLevel = 2;
    static constexpr Filter DefaultFilter = FilterAdaptive;

    // level is libdeflate's compression level, 0 (stored) to 12.
    explicit PngWriter(int level = DefaultLevel, Filter filter = DefaultFilter);
    ~PngWriter();

    PngWriter(const PngWriter &) = delete;
    PngWriter &operator=(const PngWriter &) = delete;

    int level() const { return m_level; }
    Filter filter() const { return m_filter; }

    // True for images this writer handles: non-null ARGB32 images without
    // anything Qt's writer would add chunks for (text, colour space, offset).
    static bool canWrite(const QImage &image);

    // The complete PNG file, or an empty array when canWrite is false.
    QByteArray write(const QImage &image);

    // An ARGB32 or RGB32 image as an 8-bit RGB file, its alpha dropped, for
    // a page known to be opaque; empty for any other format.
    QByteArray writeOpaque(const QImage &image);

    // Appends the complete PNG file to the stream's device through the
    // stream; false, with nothing written, when canWrite is false.
    bool write(const QImage &image, QDataStream &stream);

    // Gives back the scratch memory; the next image allocates it again.
    void releaseBuffers();

    // Writes an image the way a QDataStream writes a QImage: qint32 0 for a
    // null image, or qint32 1 and a complete PNG file. ARGB32 images go
    // through a PngWriter kept per thread, which holds on to its buffers for
    // images up to print size; anything else goes through Qt. Built with
    // PDFHELPER_QT_PNG_WRITER, every image goes through Qt.
    static void writeImageField(QDataStream &stream, const QImage &image);

private:
    // Filters and compresses the pixels into m_compressed; returns the number
    // of compressed bytes, 0 on failure.
    size_t compress(const QImage &image, bool opaque = false);
    // The whole file of an image the caller has checked.
    QByteArray file(const QImage &image, bool opaque);
    template<typename Sink>
    void emitFile(const QImage &image, size_t compressedSize, bool opaque, Sink &&sink) const;

    // Grows only; left uninitialised, so that pages of the output buffer the
    // compressor never reaches are never touched.
    struct Buffer {
        std::unique_ptr<uchar[]> data;
        size_t size = 0;
        void reserve(size_t wanted);
    };

    int m_level;
    Filter m_filter;
    libdeflate_compressor *m_compressor = nullptr;
    Buffer m_filtered;
    Buffer m_compressed;
};
