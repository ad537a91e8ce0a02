// The libdeflate PNG writer against Qt's own: what Qt's reader makes of our
// files, and what a peer sees on the stream.

#include "pngwriter.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDataStream>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <cstring>

namespace {

QImage argb(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::white);
    return image;
}

QImage gradient(int width, int height)
{
    QImage image = argb(width, height);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgba(x * 255 / qMax(1, width - 1), y * 255 / qMax(1, height - 1),
                            (x + y) & 0xff, 255 - (x * 7 + y) % 256);
    }
    return image;
}

// Every byte random, so every alpha value appears, including colour under
// full transparency, which a premultiplying path would lose.
QImage noise(int width, int height, quint32 seed)
{
    QImage image = argb(width, height);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y)
        random.fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), width);
    return image;
}

// Dark anti-aliased strokes on paper, like rendered text.
QImage textLike(int width, int height)
{
    QImage image = argb(width, height);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRandomGenerator random(7);
    for (int line = 4; line < height; line += 12) {
        for (int x = 3; x < width - 4; x += 7) {
            if (random.bounded(5) == 0)
                continue;
            QPainterPath glyph;
            glyph.addEllipse(QRectF(x, line, 4.3, 6.7));
            glyph.moveTo(x + 4.1, line - 2);
            glyph.lineTo(x + 4.6, line + 7);
            painter.strokePath(glyph, QPen(QColor(10, 10, 10 + random.bounded(100)), 0.9));
        }
    }
    return image;
}

QImage content(const QString &kind, int width, int height)
{
    if (kind == QLatin1String("white"))
        return argb(width, height);
    if (kind == QLatin1String("gradient"))
        return gradient(width, height);
    if (kind == QLatin1String("noise"))
        return noise(width, height, quint32(width * 1000 + height));
    return textLike(width, height);
}

// The image field as Qt writes it.
QByteArray qtField(const QImage &image)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << image;
    return bytes;
}

QByteArray ourField(const QImage &image)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    PngWriter::writeImageField(out, image);
    return bytes;
}

QByteArray fieldOf(const QByteArray &png)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << qint32(1);
    out.writeRawData(png.constData(), png.size());
    return bytes;
}

// Reads a field back the way the preview application does.
QImage readField(const QByteArray &bytes, bool *consumedAll = nullptr)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    QImage image;
    in >> image;
    if (consumedAll)
        *consumedAll = in.atEnd() && in.status() == QDataStream::Ok;
    return image;
}

// Written from the PNG definition so that it does not share a line with the
// code under test.
quint32 pngCrc(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xedb88320u : crc >> 1;
    }
    return crc ^ 0xffffffffu;
}

struct Chunk {
    QByteArray type;
    QByteArray data;
    bool crcOk = false;
};

// Splits a PNG file into its chunks; an empty list when the framing is off.
QList<Chunk> chunksOf(const QByteArray &png)
{
    static const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
    if (!png.startsWith(signature))
        return {};
    QList<Chunk> chunks;
    qsizetype at = signature.size();
    while (at < png.size()) {
        if (png.size() - at < 12)
            return {};
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        if (qsizetype(length) > png.size() - at - 12)
            return {};
        Chunk chunk;
        chunk.type = png.mid(at + 4, 4);
        chunk.data = png.mid(at + 8, length);
        const quint32 crc = qFromBigEndian<quint32>(png.constData() + at + 8 + length);
        chunk.crcOk = crc == pngCrc(chunk.type + chunk.data);
        chunks.append(chunk);
        at += 12 + length;
    }
    return chunks;
}

QByteArrayList typesOf(const QList<Chunk> &chunks)
{
    QByteArrayList types;
    for (const Chunk &chunk : chunks)
        types.append(chunk.type);
    return types;
}

const Chunk *find(const QList<Chunk> &chunks, const char *type)
{
    for (const Chunk &chunk : chunks) {
        if (chunk.type == type)
            return &chunk;
    }
    return nullptr;
}

// The filter byte of every row, from the inflated image data.
QList<int> rowFilters(const QByteArray &png, const QSize &size)
{
    QByteArray compressed;
    for (const Chunk &chunk : chunksOf(png)) {
        if (chunk.type == "IDAT")
            compressed += chunk.data;
    }
    const qsizetype rowBytes = 1 + 4 * qsizetype(size.width());
    const quint32 rawSize = quint32(rowBytes * size.height());
    // qUncompress wants the inflated size in front of the zlib stream.
    QByteArray sized(4, '\0');
    qToBigEndian(rawSize, sized.data());
    const QByteArray rows = qUncompress(sized + compressed);
    QList<int> filters;
    if (rows.size() != qsizetype(rawSize))
        return filters;
    for (int y = 0; y < size.height(); ++y)
        filters.append(quint8(rows.at(y * rowBytes)));
    return filters;
}

void verifyRoundTrip(const QImage &image, const QByteArray &field)
{
    bool consumedAll = false;
    const QImage back = readField(field, &consumedAll);
    QVERIFY(consumedAll);
    QCOMPARE(back.format(), QImage::Format_ARGB32);
    QCOMPARE(back.size(), image.size());
    QCOMPARE(back.dotsPerMeterX(), image.dotsPerMeterX());
    QCOMPARE(back.dotsPerMeterY(), image.dotsPerMeterY());
    QVERIFY(back == image);
}

} // namespace

class TestPngWriter : public QObject
{
    Q_OBJECT

private slots:
    void roundTripsThroughQtReader_data();
    void roundTripsThroughQtReader();
    void everyFilterRoundTrips_data();
    void everyFilterRoundTrips();
    void adaptiveRowsFollowContent();
    void fileHasQtsChunks_data();
    void fileHasQtsChunks();
    void fieldIsMarkerThenFile();
    void nullImageIsBareMarker();
    void otherImagesGoThroughQt_data();
    void otherImagesGoThroughQt();
    void refusedImagesWriteNothing();
    void reusedWriterForgetsEarlierImages();
    void streamAndArrayFormsAgree();
    void compressesPaperLikeContent();
};

void TestPngWriter::roundTripsThroughQtReader_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QSize>("size");
    // Widths around the vector lengths and the row tails behind them.
    const QList<QSize> sizes = {{1, 1}, {2, 3}, {3, 1}, {4, 4}, {5, 2}, {7, 9}, {8, 8},
                                {9, 3}, {13, 5}, {31, 17}, {64, 2}, {200, 283}, {1, 300}};
    for (const char *kind : {"white", "gradient", "noise", "text"}) {
        for (const QSize &size : sizes)
            QTest::addRow("%s %dx%d", kind, size.width(), size.height())
                << QString::fromLatin1(kind) << size;
    }
}

void TestPngWriter::roundTripsThroughQtReader()
{
    QFETCH(QString, kind);
    QFETCH(QSize, size);
    const QImage image = content(kind, size.width(), size.height());
    verifyRoundTrip(image, ourField(image));
}

void TestPngWriter::everyFilterRoundTrips_data()
{
    QTest::addColumn<int>("filter");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("kind");
    for (int filter : {PngWriter::FilterNone, PngWriter::FilterSub, PngWriter::FilterUp,
                       PngWriter::FilterAverage, PngWriter::FilterPaeth,
                       PngWriter::FilterAdaptive}) {
        for (int level : {0, 1, 6, 12}) {
            for (const char *kind : {"gradient", "noise", "text"})
                QTest::addRow("filter %d level %d %s", filter, level, kind)
                    << filter << level << QString::fromLatin1(kind);
        }
    }
}

void TestPngWriter::everyFilterRoundTrips()
{
    QFETCH(int, filter);
    QFETCH(int, level);
    QFETCH(QString, kind);
    PngWriter writer(level, PngWriter::Filter(filter));
    for (const QSize &size : {QSize(1, 1), QSize(5, 3), QSize(37, 29)}) {
        const QImage image = content(kind, size.width(), size.height());
        const QByteArray png = writer.write(image);
        QVERIFY(!png.isEmpty());
        // Every row must carry the filter asked for; only Up falls back to
        // None on the first row, where the two are the same.
        const QList<int> filters = rowFilters(png, size);
        QCOMPARE(filters.size(), size.height());
        for (int y = 0; y < size.height(); ++y) {
            if (filter == PngWriter::FilterAdaptive)
                QVERIFY(filters.at(y) == PngWriter::FilterNone || (y > 0 && filters.at(y) == PngWriter::FilterUp));
            else
                QCOMPARE(filters.at(y), (filter == PngWriter::FilterUp && y == 0) ? 0 : filter);
        }
        verifyRoundTrip(image, fieldOf(png));
    }
}

void TestPngWriter::adaptiveRowsFollowContent()
{
    // A picture above paper with a few dark strokes: the picture's rows are
    // worth Up, the paper's stay None.
    const int width = 96;
    QImage image = textLike(width, 80);
    const QImage picture = gradient(width, 40);
    for (int y = 0; y < picture.height(); ++y)
        std::memcpy(image.scanLine(y), picture.constScanLine(y), size_t(picture.bytesPerLine()));

    const QByteArray png = PngWriter(PngWriter::DefaultLevel, PngWriter::FilterAdaptive).write(image);
    const QList<int> filters = rowFilters(png, image.size());
    QCOMPARE(filters.size(), image.height());
    QCOMPARE(filters.first(), int(PngWriter::FilterNone));
    for (int y = 1; y < picture.height(); ++y)
        QCOMPARE(filters.at(y), int(PngWriter::FilterUp));
    for (int y = picture.height() + 1; y < image.height(); ++y)
        QCOMPARE(filters.at(y), int(PngWriter::FilterNone));
    verifyRoundTrip(image, fieldOf(png));
}

void TestPngWriter::fileHasQtsChunks_data()
{
    QTest::addColumn<int>("dpmX");
    QTest::addColumn<int>("dpmY");
    QTest::newRow("default") << 0 << 0;
    QTest::newRow("300 dpi") << 11811 << 11811;
    QTest::newRow("unequal") << 5000 << 2000;
    QTest::newRow("x only positive") << 4000 << -3;
    QTest::newRow("none positive") << -5 << -7;
}

void TestPngWriter::fileHasQtsChunks()
{
    QFETCH(int, dpmX);
    QFETCH(int, dpmY);
    QImage image = textLike(60, 40);
    if (dpmX)
        image.setDotsPerMeterX(dpmX);
    if (dpmY)
        image.setDotsPerMeterY(dpmY);

    const QByteArray ours = ourField(image);
    const QByteArray theirs = qtField(image);
    const QList<Chunk> ourChunks = chunksOf(ours.mid(4));
    const QList<Chunk> qtChunks = chunksOf(theirs.mid(4));
    QVERIFY(!ourChunks.isEmpty());
    for (const Chunk &chunk : ourChunks)
        QVERIFY2(chunk.crcOk, chunk.type.constData());

    QCOMPARE(typesOf(ourChunks), typesOf(qtChunks));
    QCOMPARE(ourChunks.first().type, QByteArray("IHDR"));
    QCOMPARE(ourChunks.last().type, QByteArray("IEND"));
    QCOMPARE(find(ourChunks, "IHDR")->data, find(qtChunks, "IHDR")->data);
    const Chunk *ourPhys = find(ourChunks, "pHYs");
    const Chunk *qtPhys = find(qtChunks, "pHYs");
    QCOMPARE(bool(ourPhys), bool(qtPhys));
    if (ourPhys)
        QCOMPARE(ourPhys->data, qtPhys->data);

    // Whatever Qt's writer keeps of the resolution, ours keeps too.
    const QImage viaQt = readField(theirs);
    const QImage viaUs = readField(ours);
    QCOMPARE(viaUs.dotsPerMeterX(), viaQt.dotsPerMeterX());
    QCOMPARE(viaUs.dotsPerMeterY(), viaQt.dotsPerMeterY());
    QVERIFY(viaUs == image);
}

void TestPngWriter::fieldIsMarkerThenFile()
{
    const QImage image = gradient(33, 21);
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << qint32(-7);
        PngWriter::writeImageField(out, image);
        out << qint32(0x1234abcd);
    }
    QCOMPARE(bytes.mid(4, 4), QByteArray("\0\0\0\1", 4));
    QCOMPARE(bytes.mid(8, 8), QByteArray("\x89PNG\r\n\x1a\n", 8));

    // A reader finds the end of the file by decoding it: what follows must
    // come out intact.
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    qint32 before = 0, after = 0;
    QImage back;
    in >> before >> back >> after;
    QCOMPARE(in.status(), QDataStream::Ok);
    QCOMPARE(before, -7);
    QVERIFY(back == image);
    QCOMPARE(after, 0x1234abcd);
    QVERIFY(in.atEnd());
}

void TestPngWriter::nullImageIsBareMarker()
{
    QCOMPARE(ourField(QImage()), QByteArray(4, '\0'));
    QCOMPARE(ourField(QImage()), qtField(QImage()));
    QVERIFY(PngWriter().write(QImage()).isEmpty());
}

void TestPngWriter::otherImagesGoThroughQt_data()
{
    QTest::addColumn<QImage>("image");
    const QImage base = gradient(23, 11);
    for (QImage::Format format : {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied,
                                  QImage::Format_RGB888, QImage::Format_RGBA8888,
                                  QImage::Format_Grayscale8, QImage::Format_Indexed8,
                                  QImage::Format_Mono})
        QTest::addRow("format %d", int(format)) << base.convertToFormat(format);

    // ARGB32, but with something Qt's writer puts into chunks of its own.
    QImage withText = base;
    withText.setText(QStringLiteral("Title"), QStringLiteral("page"));
    QTest::newRow("text") << withText;
    QImage withSpace = base;
    withSpace.setColorSpace(QColorSpace(QColorSpace::SRgb));
    QTest::newRow("colour space") << withSpace;
    QImage withOffset = base;
    withOffset.setOffset(QPoint(3, 4));
    QTest::newRow("offset") << withOffset;
}

void TestPngWriter::otherImagesGoThroughQt()
{
    QFETCH(QImage, image);
    QVERIFY(!PngWriter::canWrite(image));
    QCOMPARE(ourField(image), qtField(image));
}

void TestPngWriter::refusedImagesWriteNothing()
{
    PngWriter writer;
    const QImage rgb = gradient(5, 5).convertToFormat(QImage::Format_RGB32);
    QVERIFY(writer.write(rgb).isEmpty());

    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    QVERIFY(!writer.write(rgb, out));
    QVERIFY(!writer.write(QImage(), out));
    QVERIFY(bytes.isEmpty());
}

void TestPngWriter::reusedWriterForgetsEarlierImages()
{
    // Larger, smaller, then larger again than the scratch buffers hold: no
    // byte of an earlier image may leak into a later file.
    const QList<QImage> images = {noise(300, 200, 1), gradient(17, 3), textLike(120, 90),
                                  noise(301, 210, 2), argb(1, 1)};
    for (int filter : {PngWriter::FilterNone, PngWriter::FilterUp, PngWriter::FilterPaeth,
                       PngWriter::FilterAdaptive}) {
        PngWriter reused(PngWriter::DefaultLevel, PngWriter::Filter(filter));
        for (const QImage &image : images) {
            const QByteArray png = reused.write(image);
            QCOMPARE(png, PngWriter(PngWriter::DefaultLevel, PngWriter::Filter(filter)).write(image));
            verifyRoundTrip(image, fieldOf(png));
        }
        reused.releaseBuffers();
        QCOMPARE(reused.write(images.first()),
                 PngWriter(PngWriter::DefaultLevel, PngWriter::Filter(filter)).write(images.first()));
    }
}

void TestPngWriter::streamAndArrayFormsAgree()
{
    const QImage image = textLike(150, 100);
    PngWriter writer;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    QVERIFY(writer.write(image, out));
    QCOMPARE(bytes, writer.write(image));
#ifdef PDFHELPER_QT_PNG_WRITER
    // Built for Qt's writer, the field is Qt's for every image.
    QCOMPARE(ourField(image), qtField(image));
#else
    QCOMPARE(ourField(image), fieldOf(bytes));
#endif
}

void TestPngWriter::compressesPaperLikeContent()
{
    // A writer that silently stored its rows would still round-trip; pages
    // are mostly paper and must shrink to a fraction of their pixels.
    const QImage image = textLike(620, 877);
    const QByteArray png = PngWriter().write(image);
    QVERIFY(!png.isEmpty());
    QVERIFY2(png.size() < image.sizeInBytes() / 5,
             qPrintable(QStringLiteral("%1 of %2").arg(png.size()).arg(image.sizeInBytes())));
}

QTEST_MAIN(TestPngWriter)
#include "tst_pngwriter.moc"
