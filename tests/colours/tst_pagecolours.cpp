// Night and sepia on their own: night inverts lightness and keeps hue, and
// both leave every pixel of the kept rectangles alone, however they overlap
// or run past the image.

#include "pagecolours.h"

#include <QtTest>

class TestPageColours : public QObject
{
    Q_OBJECT

private slots:
    void nightInvertsLightnessOnly_data()
    {
        QTest::addColumn<QRgb>("from");
        QTest::addColumn<QRgb>("to");
        QTest::newRow("paper") << qRgb(255, 255, 255) << qRgb(0, 0, 0);
        QTest::newRow("ink") << qRgb(0, 0, 0) << qRgb(255, 255, 255);
        QTest::newRow("pure red stays") << qRgb(255, 0, 0) << qRgb(255, 0, 0);
        QTest::newRow("dark red turns light red") << qRgb(128, 0, 0) << qRgb(255, 127, 127);
        QTest::newRow("grey") << qRgb(100, 100, 100) << qRgb(155, 155, 155);
        QTest::newRow("pale blue turns deep blue") << qRgb(200, 220, 255) << qRgb(0, 20, 55);
    }

    void nightInvertsLightnessOnly()
    {
        QFETCH(QRgb, from);
        QFETCH(QRgb, to);
        QImage image(1, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, from);
        applyPageColours(image, PageColours::Night);
        QCOMPARE(image.pixel(0, 0), to);
    }

    void keptRectanglesAreLeftAlone_data()
    {
        QTest::addColumn<int>("colours");
        QTest::newRow("night") << int(PageColours::Night);
        QTest::newRow("sepia") << int(PageColours::Sepia);
        QTest::newRow("inverted is drawn, not applied") << int(PageColours::Inverted);
    }

    void keptRectanglesAreLeftAlone()
    {
        QFETCH(int, colours);
        QImage image(40, 30, QImage::Format_ARGB32);
        image.fill(Qt::white);
        const QList<QRect> kept{{5, 5, 10, 10}, {10, 8, 10, 4}, {35, 25, 100, 100}, {-50, -50, 10, 10}};
        applyPageColours(image, pageColoursFrom(colours), kept);
        const QRgb changed = pageColoursFrom(colours) == PageColours::Inverted ? qRgb(255, 255, 255)
                                                                               : paperColour(pageColoursFrom(colours));
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const bool inside = std::any_of(kept.cbegin(), kept.cend(),
                                                [&](const QRect &r) { return r.contains(x, y); });
                QCOMPARE(image.pixel(x, y), inside ? qRgb(255, 255, 255) : changed);
            }
        }
    }

    void unknownValuesAreNormal()
    {
        QCOMPARE(pageColoursFrom(2), PageColours::Night);
        QCOMPARE(pageColoursFrom(4), PageColours::Normal);
        QCOMPARE(pageColoursFrom(-1), PageColours::Normal);
    }
};

QTEST_GUILESS_MAIN(TestPageColours)
#include "tst_pagecolours.moc"
