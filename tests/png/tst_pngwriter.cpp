// The libdeflate PNG writer against Qt's own: what Qt's reader makes of our
// files, and what a peer sees on the stream.

#include "pngfield.h"
#include "pngreader.h"
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

quint32 crc32(const QByteArray &bytes)
{
    quint32 c = 0xffffffffu;
    for (const char byte : bytes) {
        c ^= uchar(byte);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

QImage withoutAlpha(const QImage &image)
{
    QImage rgb(image.size(), QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            rgb.setPixel(x, y, image.pixel(x, y) | 0xff000000u);
    return rgb;
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
                // Our own reader of our own form undoes every filter too.
                const QImage ours = readRgbaPng(png, 1 << 20);
                QVERIFY(ours == image);
                QCOMPARE(ours.dotsPerMeterX(), image.dotsPerMeterX());
                // The opaque form is RGB, which Qt reads as the image
                // without its alpha.
                const QImage opaque = QImage::fromData(writer.writeOpaque(image), "PNG");
                QCOMPARE(opaque.format(), QImage::Format_RGB32);
                QVERIFY(opaque == withoutAlpha(image));
            }
        }
    }

    // A peer's reader finds the resolution it finds in Qt's file: a pHYs
    // chunk when either resolution is positive, none otherwise.
    void resolutionReadsAsQts_data()
    {
        QTest::addColumn<int>("dpmX");
        QTest::addColumn<int>("dpmY");
        QTest::newRow("default") << 0 << 0;
        QTest::newRow("unequal") << 5000 << 2000;
        QTest::newRow("x only positive") << 4000 << -3;
        QTest::newRow("none positive") << -5 << -7;
    }

    void resolutionReadsAsQts()
    {
        QFETCH(int, dpmX);
        QFETCH(int, dpmY);
        QImage image = content(QStringLiteral("gradient"), 60, 40);
        if (dpmX)
            image.setDotsPerMeterX(dpmX);
        if (dpmY)
            image.setDotsPerMeterY(dpmY);
        const QImage ours = QImage::fromData(imageField(image, ImageWriter::Fast).mid(4), "PNG");
        const QImage theirs = QImage::fromData(imageField(image, ImageWriter::Qt).mid(4), "PNG");
        QVERIFY(!ours.isNull());
        QCOMPARE(ours.dotsPerMeterX(), theirs.dotsPerMeterX());
        QCOMPARE(ours.dotsPerMeterY(), theirs.dotsPerMeterY());
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

    // A field's PNG file read as it is, from either writer: it decodes to the
    // image and the field after it still reads; a null image is no file; a
    // cut field, one that is not PNG or one over the bound is refused.
    void aFieldsPngIsReadWithoutDecoding()
    {
        const QImage image = content(QStringLiteral("gradient"), 23, 11);
        for (ImageWriter writer : {ImageWriter::Fast, ImageWriter::Qt}) {
            const QByteArray field = imageField(image, writer);
            QByteArray record = field;
            QDataStream out(&record, QIODevice::Append);
            out << qint32(4242);
            QDataStream in(record);
            const auto png = readPngField(in, 1 << 20);
            QVERIFY(png && !png->isEmpty());
            QCOMPARE(QImage::fromData(*png, "PNG").convertToFormat(image.format()), image);
            qint32 next = 0;
            in >> next;
            QCOMPARE(next, 4242);

            QDataStream cut(field.left(field.size() - 1));
            QVERIFY(!readPngField(cut, 1 << 20));
            QDataStream bounded(field);
            QVERIFY(!readPngField(bounded, field.size() - 5));
        }
        QDataStream null(imageField(QImage(), ImageWriter::Fast));
        QCOMPARE(readPngField(null, 1 << 20), std::optional<QByteArray>(QByteArray()));
        QByteArray notPng = imageField(image, ImageWriter::Fast);
        notPng[5] = 'Q';
        QDataStream wrong(notPng);
        QVERIFY(!readPngField(wrong, 1 << 20));
    }

    // The reader takes our form and nothing else: whatever a subverted
    // helper sends, it gives a null image, and allocates nothing for an image
    // over its bound.
    void theReaderRefusesWhatIsNotOurForm()
    {
        const QImage image = content(QStringLiteral("noise"), 9, 7);
        const QByteArray png = PngWriter().write(image);
        QVERIFY(!readRgbaPng(png, 63).isNull());
        QVERIFY(readRgbaPng(png, 62).isNull());
        QVERIFY(readRgbaPng(png.left(png.size() - 1), 1 << 20).isNull());
        QVERIFY(readRgbaPng(PngWriter().writeOpaque(image), 1 << 20).isNull());
        QByteArray flipped = png; // a byte of the rows changed: the CRC tells
        const qsizetype rows = png.indexOf("IDAT") + 10;
        flipped[rows] = char(flipped[rows] ^ 1);
        QVERIFY(readRgbaPng(flipped, 1 << 20).isNull());
        // A file claiming more rows than its data holds: the CRC made right,
        // so that only the inflated size can tell.
        QByteArray taller = png;
        taller[8 + 8 + 7] = char(8);
        const quint32 crc = crc32(taller.mid(12, 17));
        for (int i = 0; i < 4; ++i)
            taller[29 + i] = char(crc >> (24 - 8 * i));
        QVERIFY(readRgbaPng(taller, 1 << 20).isNull());
    }
};

QTEST_MAIN(TestPngWriter)
#include "tst_pngwriter.moc"
