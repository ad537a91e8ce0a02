// The libdeflate PNG writer against Qt's own: what Qt's reader makes of our
// files, and what a peer sees on the stream.

#include "pngwriter.h"

#include <QColorSpace>
#include <QDataStream>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

namespace {

QImage content(const QString &kind, int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::white);
    if (kind == QLatin1String("gradient")) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                image.setPixel(x, y, qRgba(x * 255 / qMax(1, width - 1), y * 255 / qMax(1, height - 1),
                                           (x + y) & 0xff, 255 - (x * 7 + y) % 256));
    } else if (kind == QLatin1String("noise")) {
        // Every alpha value, including colour under full transparency, which
        // a premultiplying path would lose.
        QRandomGenerator random(quint32(width * 1000 + height));
        for (int y = 0; y < height; ++y)
            random.fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), width);
    } else if (kind == QLatin1String("text")) {
        // Dark anti-aliased strokes on paper, like rendered text.
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        QRandomGenerator random(7);
        for (int line = 4; line < height; line += 12)
            for (int x = 3; x < width - 4; x += 7)
                if (random.bounded(5) != 0)
                    painter.drawEllipse(QRectF(x, line, 4.3, 6.7));
    }
    return image;
}

QByteArray field(const QImage &image, bool ours)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    if (ours)
        PngWriter::writeImageField(out, image);
    else
        out << image;
    return bytes;
}

QByteArray fieldOf(const QByteArray &png)
{
    return QByteArray("\0\0\0\1", 4) + png;
}

// The field read back the way the preview application does; it must be
// equal to the image, with its format and resolution, and nothing left over.
void verifyRoundTrip(const QImage &image, const QByteArray &bytes)
{
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    QImage back;
    in >> back;
    QVERIFY(in.atEnd() && in.status() == QDataStream::Ok);
    QCOMPARE(back.format(), QImage::Format_ARGB32);
    QCOMPARE(back.dotsPerMeterX(), image.dotsPerMeterX());
    QCOMPARE(back.dotsPerMeterY(), image.dotsPerMeterY());
    QVERIFY(back == image);
}

// Chunk types and their data, in file order; empty when the framing is off.
// Checksums are left to Qt's reader, which refuses bad ones.
QList<QPair<QByteArray, QByteArray>> chunksOf(const QByteArray &png)
{
    QList<QPair<QByteArray, QByteArray>> chunks;
    for (qsizetype at = 8; png.startsWith("\x89PNG\r\n\x1a\n") && at + 12 <= png.size();) {
        const qsizetype length = qFromBigEndian<quint32>(png.constData() + at);
        chunks.append({png.mid(at + 4, 4), png.mid(at + 8, length)});
        at += 12 + length;
    }
    return chunks;
}

// The filter byte of every row, from the inflated image data.
QList<int> rowFilters(const QByteArray &png, const QSize &size)
{
    const qsizetype rowBytes = 1 + 4 * qsizetype(size.width());
    QByteArray zlib(4, '\0'); // qUncompress wants the inflated size in front
    qToBigEndian(quint32(rowBytes * size.height()), zlib.data());
    for (const auto &chunk : chunksOf(png))
        if (chunk.first == "IDAT")
            zlib += chunk.second;
    const QByteArray rows = qUncompress(zlib);
    QList<int> filters;
    for (qsizetype at = 0; rows.size() == rowBytes * size.height() && at < rows.size(); at += rowBytes)
        filters.append(quint8(rows.at(at)));
    return filters;
}

} // namespace

class TestPngWriter : public QObject
{
    Q_OBJECT

private slots:
    void everyFilterRoundTrips_data()
    {
        QTest::addColumn<int>("filter");
        QTest::addColumn<int>("level");
        for (int filter = PngWriter::FilterNone; filter <= PngWriter::FilterAdaptive; ++filter)
            for (int level : {0, PngWriter::DefaultLevel, 12})
                QTest::addRow("filter %d level %d", filter, level) << filter << level;
    }

    void everyFilterRoundTrips()
    {
        QFETCH(int, filter);
        QFETCH(int, level);
        PngWriter writer(level, PngWriter::Filter(filter));
        // Widths around the vector lengths, leaving a tail behind every
        // vector loop.
        for (const QSize size : {QSize(1, 1), QSize(3, 2), QSize(4, 4), QSize(7, 9), QSize(8, 8), QSize(13, 5),
                                 QSize(38, 29)}) {
            for (const char *kind : {"white", "gradient", "noise", "text"}) {
                const QImage image = content(QString::fromLatin1(kind), size.width(), size.height());
                const QByteArray png = writer.write(image);
                // Every row carries the filter asked for; Up gives way to None
                // on the first row, where the two are the same.
                const QList<int> filters = rowFilters(png, size);
                QCOMPARE(filters.size(), size.height());
                for (int y = 0; y < size.height(); ++y) {
                    if (filter == PngWriter::FilterAdaptive)
                        QVERIFY(filters.at(y) == PngWriter::FilterNone || (y > 0 && filters.at(y) == PngWriter::FilterUp));
                    else
                        QCOMPARE(filters.at(y), (filter == PngWriter::FilterUp && y == 0) ? 0 : filter);
                }
                // A gradient is what Up is there for.
                if (filter == PngWriter::FilterAdaptive && size.width() > 30 && qstrcmp(kind, "gradient") == 0)
                    QVERIFY(filters.contains(PngWriter::FilterUp));
                verifyRoundTrip(image, fieldOf(png));
            }
        }
    }

    void fileHasQtsChunks_data()
    {
        QTest::addColumn<int>("dpmX");
        QTest::addColumn<int>("dpmY");
        QTest::newRow("default") << 0 << 0;
        QTest::newRow("unequal") << 5000 << 2000;
        QTest::newRow("x only positive") << 4000 << -3;
        QTest::newRow("none positive") << -5 << -7;
    }

    void fileHasQtsChunks()
    {
        QFETCH(int, dpmX);
        QFETCH(int, dpmY);
        QImage image = content(QStringLiteral("text"), 60, 40);
        if (dpmX)
            image.setDotsPerMeterX(dpmX);
        if (dpmY)
            image.setDotsPerMeterY(dpmY);
        const auto ours = chunksOf(field(image, true).mid(4));
        const auto theirs = chunksOf(field(image, false).mid(4));
        QVERIFY(!ours.isEmpty());
        // Same chunks in the same order with the same header and resolution;
        // only the compressed data may differ.
        QCOMPARE(ours.size(), theirs.size());
        for (qsizetype i = 0; i < ours.size(); ++i) {
            QCOMPARE(ours.at(i).first, theirs.at(i).first);
            if (ours.at(i).first != "IDAT")
                QCOMPARE(ours.at(i).second, theirs.at(i).second);
        }
    }

    void fieldIsMarkerThenFile()
    {
        // A reader finds the end of the file by decoding it: what follows
        // must come out intact.
        const QImage image = content(QStringLiteral("gradient"), 33, 21);
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        PngWriter::writeImageField(out, image);
        out << qint32(0x1234abcd);
        QVERIFY(bytes.startsWith(QByteArray("\0\0\0\1\x89PNG\r\n\x1a\n", 12)));

        QDataStream in(bytes);
        qint32 after = 0;
        QImage back;
        in >> back >> after;
        QVERIFY(back == image);
        QCOMPARE(after, 0x1234abcd);
        QVERIFY(in.atEnd() && in.status() == QDataStream::Ok);
    }

    void otherImagesGoThroughQt_data()
    {
        QTest::addColumn<QImage>("image");
        const QImage base = content(QStringLiteral("gradient"), 23, 11);
        QTest::newRow("null") << QImage();
        for (QImage::Format format : {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_Indexed8})
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

    void otherImagesGoThroughQt()
    {
        QFETCH(QImage, image);
        QCOMPARE(field(image, true), field(image, false));
        PngWriter writer;
        QVERIFY(writer.write(image).isEmpty());
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        QVERIFY(!writer.write(image, out));
        QVERIFY(bytes.isEmpty());
    }

    void reusedWriterForgetsEarlierImages()
    {
        // Larger, smaller, then larger again than the scratch buffers hold:
        // no byte of an earlier image may leak into a later file, and the
        // stream form writes the same file.
        const QList<QImage> images = {content(QStringLiteral("noise"), 300, 200), content(QStringLiteral("text"), 17, 3),
                                      content(QStringLiteral("noise"), 301, 210), content(QString(), 1, 1)};
        for (int filter : {PngWriter::FilterNone, PngWriter::FilterPaeth, PngWriter::FilterAdaptive}) {
            PngWriter reused(PngWriter::DefaultLevel, PngWriter::Filter(filter));
            for (const QImage &image : images) {
                const QByteArray fresh = PngWriter(PngWriter::DefaultLevel, PngWriter::Filter(filter)).write(image);
                QCOMPARE(reused.write(image), fresh);
                QByteArray streamed;
                QDataStream out(&streamed, QIODevice::WriteOnly);
                QVERIFY(reused.write(image, out));
                QCOMPARE(streamed, fresh);
                reused.releaseBuffers();
                QCOMPARE(reused.write(image), fresh);
            }
        }
    }

    void compressesPaperLikeContent()
    {
        // A writer that silently stored its rows would still round-trip;
        // pages are mostly paper and must shrink to a fraction of their pixels.
        const QImage image = content(QStringLiteral("text"), 620, 877);
        const QByteArray png = PngWriter().write(image);
        QVERIFY(!png.isEmpty());
        QVERIFY2(png.size() < image.sizeInBytes() / 5, qPrintable(QString::number(png.size())));
    }
};

QTEST_MAIN(TestPngWriter)
#include "tst_pngwriter.moc"
