#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QPainter>
#include <QtTest>

#include <climits>
#include <memory>
#include <stdexcept>

using testsupport::fixture;
using testsupport::MessageCapture;

namespace {

// Pages of render.pdf, see tools/fixtures/fx_render.py.
constexpr unsigned kAnnotatedPage = 0; // 200x200 pt
constexpr unsigned kTallPage = 1;      // 200x400 pt
constexpr unsigned kSparsePage = 2;    // 200x200 pt, a grey square in the middle
constexpr unsigned kBusyPage = 3;      // 200x200 pt, thousands of paths

// The fixed parts of the engine's debug lines and of page()'s error lines.
const QString kDebug = QStringLiteral("^\\[pdf\\] \"render\" \\[pdfium\\] 0x[0-9a-f]+ ");
const QString kError = QStringLiteral("^ERROR \\d+ \\S+ .*QPdfium::page\\([^)]*\\)");

// Each line matches its pattern, and there are no others.
bool linesMatch(const QStringList &lines, const QStringList &patterns)
{
    if (lines.size() != patterns.size())
        return false;
    for (int i = 0; i < lines.size(); ++i) {
        if (!QRegularExpression(patterns[i]).match(lines[i]).hasMatch())
            return false;
    }
    return true;
}

// Whatever one render obtained from pdfium has been given back.
bool allReleased()
{
    const auto &c = pdfiumspy::counts();
    return pdfiumspy::openPages() == 0 && c.bitmapDestroy == c.bitmapCreate
           && c.renderClose == c.renderStart;
}

// Pixels that differ by more than a shade in some channel; a few may, where
// pdfium's anti-aliasing meets a turned edge.
int differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return INT_MAX;
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) > 16 || qAbs(qGreen(p) - qGreen(q)) > 16
                || qAbs(qBlue(p) - qBlue(q)) > 16 || qAlpha(p) != qAlpha(q))
                ++count;
        }
    }
    return count;
}

std::unique_ptr<QPdfium> loaded()
{
    auto engine = std::make_unique<QPdfium>(QLatin1String("render"));
    engine->prepare();
    if (engine->loadFile(fixture("render.pdf"), QString()) != QPdfium::Success)
        qFatal("cannot load render.pdf");
    pdfiumspy::reset();
    return engine;
}

} // namespace

class TestPageRender : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void annotationsAreDrawnOnlyWhenAsked()
    {
        auto engine = loaded();
        MessageCapture capture;
        const QImage without = engine->page(kAnnotatedPage, QSize(200, 200), false, 0);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), 0);
        QCOMPARE(without.format(), QImage::Format_ARGB32);
        QVERIFY(capture.warnings().isEmpty());
        QVERIFY2(linesMatch(capture.debugs(), {kDebug + "page render done 0 QSize\\(200, 200\\) ret: 2 elapsed: \\d+ ms$"}),
                 qPrintable(capture.debugs().join('\n')));
        QCOMPARE(pdfiumspy::counts().renderStart.load(), 1);
        QVERIFY(allReleased());

        const QImage with = engine->page(kAnnotatedPage, QSize(200, 200), true, 0);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), FPDF_ANNOT);
        // The red square annotation is at the top right, the page's own black
        // square at the bottom left.
        QCOMPARE(without.pixel(140, 60), qRgba(255, 255, 255, 255));
        QCOMPARE(with.pixel(140, 60), qRgba(255, 0, 0, 255));
        QCOMPARE(without.pixel(50, 150), qRgba(0, 0, 0, 255));
        QCOMPARE(with.pixel(50, 150), qRgba(0, 0, 0, 255));
    }

    void rotationTurnsThePageClockwise_data()
    {
        QTest::addColumn<int>("rotate");
        QTest::newRow("quarter") << 1;
        QTest::newRow("half") << 2;
        QTest::newRow("three quarters") << 3;
    }

    void rotationTurnsThePageClockwise()
    {
        QFETCH(int, rotate);
        auto engine = loaded();
        const QImage upright = engine->page(kTallPage, QSize(200, 400), false, 0);
        // Fitting a turned page is the caller's business: the image has the
        // size asked for.
        const QSize turnedSize = rotate % 2 ? QSize(400, 200) : QSize(200, 400);
        const QImage turned = engine->page(kTallPage, turnedSize, false, rotate);
        QCOMPARE(pdfiumspy::counts().lastRenderRotate.load(), rotate);
        QCOMPARE(turned.size(), turnedSize);
        const int differing = differingPixels(turned, upright.transformed(QTransform().rotate(90 * rotate)));
        QVERIFY2(differing <= 400, qPrintable(QStringLiteral("%1 pixels differ").arg(differing)));
    }

    void untouchedAreasAreOpaqueWhite()
    {
        // Large enough that the pixels are fresh memory: without a fill they
        // would read as transparent black.
        auto engine = loaded();
        const QImage image = engine->page(kSparsePage, QSize(1000, 1000), false, 0);
        QImage expected(1000, 1000, QImage::Format_ARGB32);
        expected.fill(Qt::white);
        QPainter(&expected).fillRect(400, 400, 200, 200, QColor(128, 128, 128));
        const int differing = differingPixels(image, expected);
        QVERIFY2(differing <= 1000, qPrintable(QStringLiteral("%1 pixels differ").arg(differing)));
    }

    void failuresGiveANullImageAndOneErrorLine_data()
    {
        QTest::addColumn<QString>("file"); // empty: never loaded
        QTest::addColumn<unsigned>("index");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("throws"); // where the render would start
        QTest::addColumn<QString>("values"); // what the error line carries
        QTest::addColumn<int>("pagesLoaded");
        const QString render = QStringLiteral("render.pdf");
        QTest::newRow("index = page count") << render << 4u << QSize(100, 100) << false << " 4" << 0;
        QTest::newRow("largest index") << render << UINT_MAX << QSize(100, 100) << false << " 4294967295" << 0;
        // index, requested size, annotations flag, image size, page handle
        QTest::newRow("empty size") << render << 0u << QSize(0, 0) << false
                                    << " 0 QSize\\(0, 0\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        QTest::newRow("negative size") << render << 0u << QSize(-5, 100) << false
                                       << " 0 QSize\\(-5, 100\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        // index, requested size, bitmap handle, page handle, pdfium's last error
        QTest::newRow("exception") << render << 0u << QSize(80, 90) << true
                                   << " 0 QSize\\(80, 90\\) 0x[0-9a-f]+ 0x[0-9a-f]+ \\d+" << 1;
        QTest::newRow("never loaded") << QString() << 0u << QSize(100, 100) << false << QString() << 0;
        QTest::newRow("load failed") << "encrypted-rc4.pdf" << 0u << QSize(100, 100) << false << QString() << 0;
    }

    void failuresGiveANullImageAndOneErrorLine()
    {
        QFETCH(QString, file);
        QFETCH(unsigned, index);
        QFETCH(QSize, size);
        QFETCH(bool, throws);
        QFETCH(QString, values);
        QFETCH(int, pagesLoaded);
        QPdfium engine(QLatin1String("render"));
        engine.prepare();
        if (!file.isEmpty())
            engine.loadFile(fixture(file), QString());
        pdfiumspy::reset();
        if (throws)
            pdfiumspy::counts().beforeRenderStart = [] { throw std::runtime_error("injected"); };
        {
            MessageCapture capture;
            QImage image;
            try {
                image = engine.page(index, size, true, 0);
            } catch (...) {
                QFAIL("an exception left page()");
            }
            QVERIFY(image.isNull());
            QVERIFY2(linesMatch(capture.warnings(), {kError + values + "$"}),
                     qPrintable(capture.warnings().join('\n')));
            QVERIFY(capture.debugs().isEmpty());
        }
        // Only what was obtained is given back; no render was started.
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.loadPage.load(), pagesLoaded);
        QCOMPARE(c.bitmapCreate.load(), int(throws));
        QCOMPARE(c.bitmapDestroy.load(), int(throws));
        QCOMPARE(pdfiumspy::openPages(), 0);
        QCOMPARE(c.renderClose.load(), 0);
        // The engine is unharmed: the next call renders.
        pdfiumspy::counts().beforeRenderStart = nullptr;
        if (engine.isLoaded())
            QVERIFY(!engine.page(kAnnotatedPage, QSize(50, 50), false, 0).isNull());
    }

    void quitRequest_data()
    {
        QTest::addColumn<bool>("midRender");
        QTest::addColumn<unsigned>("index");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("before the render") << false << 2u << QStringList{kDebug + "early quit for page render 2$"};
        // Once the render is under way only pdfium's pause callback can
        // notice the request.
        QTest::newRow("while rendering")
            << true << kBusyPage
            << QStringList{"^\\[pdf\\] \"render\" \\[pdfium\\] \\+\\+\\+\\+ render stopped forcibly \\+\\+\\+\\+$",
                           kDebug + "page render stopped/paused ret: 1 elapsed: \\d+ ms$"};
    }

    void quitRequest()
    {
        QFETCH(bool, midRender);
        QFETCH(unsigned, index);
        QFETCH(QStringList, lines);
        auto engine = loaded();
        if (midRender)
            pdfiumspy::counts().beforeRenderStart = [] { QThread::currentThread()->requestInterruption(); };
        MessageCapture capture;
        QImage image;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            if (!midRender)
                QThread::currentThread()->requestInterruption();
            image = engine->page(index, QSize(400, 400), false, 0);
        }));
        thread->start();
        thread->wait();
        QVERIFY(image.isNull());
        QVERIFY2(linesMatch(capture.debugs(), lines), qPrintable(capture.debugs().join('\n')));
        QVERIFY(capture.warnings().isEmpty());
        QCOMPARE(pdfiumspy::counts().renderStart.load(), midRender ? 1 : 0);
        QVERIFY(allReleased());
        // The quit belonged to that thread; this one still renders.
        pdfiumspy::counts().beforeRenderStart = nullptr;
        QVERIFY(!engine->page(index, QSize(100, 100), false, 0).isNull());
    }

};

QTEST_GUILESS_MAIN(TestPageRender)
#include "tst_pagerender.moc"
