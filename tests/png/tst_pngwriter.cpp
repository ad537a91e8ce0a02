// The libdeflate PNG writer against Qt's own: what Qt's reader makes of our
// files, and what a peer sees on the stream.

#include "pngimagefield.h"
#include "pngwriter.h"

#include <QImage>
#include <QtTest>

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
    }
    return image;
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

} // namespace

class TestPngWriter : public QObject
{
    Q_OBJECT

private slots:
    void everyFilterRoundTrips_data()
    {
        QTest::addColumn<int>("filter");
        for (int filter = PngWriter::FilterNone; filter <= PngWriter::FilterAdaptive; ++filter)
            QTest::addRow("filter %d", filter) << filter;
    }

    void everyFilterRoundTrips()
    {
        QFETCH(int, filter);
        PngWriter writer(PngWriter::DefaultLevel, PngWriter::Filter(filter));
        // Widths around the vector lengths, leaving a tail behind every
        // vector loop; one writer for all, so no image may leak into the next.
        for (const QSize size : {QSize(38, 29), QSize(1, 1), QSize(3, 2), QSize(4, 4), QSize(7, 9), QSize(8, 8),
                                 QSize(13, 5)}) {
            for (const char *kind : {"white", "gradient", "noise"}) {
                QImage image = content(QString::fromLatin1(kind), size.width(), size.height());
                image.setDotsPerMeterX(size.width() * 100);
                const QByteArray png = writer.write(image);
                // Read back the way the preview application does, as a
                // field: the marker, then the file.
                QDataStream in(QByteArray("\0\0\0\1", 4) + png);
                QImage back;
                in >> back;
                QVERIFY(in.atEnd() && in.status() == QDataStream::Ok);
                QCOMPARE(back.dotsPerMeterX(), image.dotsPerMeterX());
                QCOMPARE(back.dotsPerMeterY(), image.dotsPerMeterY());
                QVERIFY(back == image); // format included
            }
        }
    }

    // Same chunks in the same order as Qt's, with the same header and
    // resolution: IHDR, pHYs when a resolution is positive, IDAT, IEND.
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
        QImage image = content(QStringLiteral("gradient"), 60, 40);
        if (dpmX)
            image.setDotsPerMeterX(dpmX);
        if (dpmY)
            image.setDotsPerMeterY(dpmY);
        const QByteArray ours = imageField(image, ImageWriter::Fast);
        QVERIFY(ours.startsWith(QByteArray("\0\0\0\1", 4)));
        const auto chunks = chunksOf(ours.mid(4));
        const auto theirs = chunksOf(imageField(image, ImageWriter::Qt).mid(4));
        QCOMPARE(chunks.size(), theirs.size());
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            QCOMPARE(chunks.at(i).first, theirs.at(i).first);
            if (chunks.at(i).first != "IDAT")
                QCOMPARE(chunks.at(i).second, theirs.at(i).second);
        }
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
    }

    void otherImagesGoThroughQt()
    {
        QFETCH(QImage, image);
        QCOMPARE(imageField(image, ImageWriter::Fast), imageField(image, ImageWriter::Qt));
        if (image.isNull()) // the bare marker
            QCOMPARE(imageField(image, ImageWriter::Fast), QByteArray(4, '\0'));
        QVERIFY(PngWriter().write(image).isEmpty());
    }
};

QTEST_MAIN(TestPngWriter)
#include "tst_pngwriter.moc"
