#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QtTest>

#include <climits>
#include <stdexcept>
#include <memory>

using testsupport::fixture;
using testsupport::MessageCapture;

namespace {

// Pages of render.pdf, see tools/fixtures/fx_render.py.
constexpr unsigned kAnnotatedPage = 0; // 200x200 pt
constexpr unsigned kTallPage = 1;      // 200x400 pt
constexpr unsigned kSparsePage = 2;    // 200x200 pt
constexpr unsigned kBusyPage = 3;      // 200x200 pt
constexpr int kRenderPageCount = 4;

const QRgb kWhite = qRgba(255, 255, 255, 255);
const QRgb kBlack = qRgba(0, 0, 0, 255);
const QRgb kRed = qRgba(255, 0, 0, 255);

// Runs work on a thread of its own, the way a caller other than the main
// thread would use the engine.
template<typename Work>
auto onThread(Work work, bool interrupted) -> decltype(work())
{
    decltype(work()) result{};
    std::unique_ptr<QThread> thread(QThread::create([&] {
        if (interrupted)
            QThread::currentThread()->requestInterruption();
        result = work();
    }));
    thread->start();
    thread->wait();
    return result;
}

// Pixels whose colour differs by more than a shade in any channel; a few
// may differ where pdfium's anti-aliasing meets a turned edge.
int differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height() + b.width() * b.height();
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb *la = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *lb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (qAbs(qRed(la[x]) - qRed(lb[x])) > 16 || qAbs(qGreen(la[x]) - qGreen(lb[x])) > 16
                || qAbs(qBlue(la[x]) - qBlue(lb[x])) > 16
                || qAbs(qAlpha(la[x]) - qAlpha(lb[x])) > 16)
                ++count;
        }
    }
    return count;
}

} // namespace

class TestPageRender : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QPdfium> loaded(const QString &file = QStringLiteral("render.pdf"))
    {
        auto engine = std::make_unique<QPdfium>(QLatin1String("render"));
        engine->prepare();
        if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
            qFatal("cannot load %s", qPrintable(file));
        pdfiumspy::reset();
        return engine;
    }

    static void verifyEverythingClosed()
    {
        const auto &c = pdfiumspy::counts();
        QCOMPARE(pdfiumspy::openPages(), 0);
        QCOMPARE(c.bitmapDestroy.load(), c.bitmapCreate.load());
        QCOMPARE(c.renderClose.load(), c.renderStart.load());
    }

private slots:
    void init() { pdfiumspy::reset(); }

    void rendersExactlyTheRequestedSize_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("one pixel per point") << QSize(200, 200);
        QTest::newRow("stretched") << QSize(123, 77);
        QTest::newRow("single pixel") << QSize(1, 1);
    }

    void rendersExactlyTheRequestedSize()
    {
        QFETCH(QSize, size);
        auto engine = loaded();
        MessageCapture capture;
        const QImage image = engine->page(kAnnotatedPage, size, false, 0);
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), size);
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        QVERIFY(capture.warnings().isEmpty());

        const QStringList debugs = capture.debugs();
        QCOMPARE(debugs.size(), 1);
        const QString pattern = QStringLiteral(
            "^\\[pdf\\] \"render\" \\[pdfium\\] 0x[0-9a-f]+ page render done 0 "
            "QSize\\(%1, %2\\) ret: 2 elapsed: \\d+ ms$").arg(size.width()).arg(size.height());
        QVERIFY2(QRegularExpression(pattern).match(debugs[0]).hasMatch(), qPrintable(debugs[0]));

        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.loadPage.load(), 1);
        QCOMPARE(c.renderStart.load(), 1);
        QCOMPARE(c.renderClose.load(), 1);
        QCOMPARE(c.bitmapDestroy.load(), 1);
        QCOMPARE(c.closePage.load(), 1);
    }

    void annotationsAreDrawnOnlyWhenAsked()
    {
        auto engine = loaded();
        const QImage without = engine->page(kAnnotatedPage, QSize(200, 200), false, 0);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), 0);
        const QImage with = engine->page(kAnnotatedPage, QSize(200, 200), true, 0);
        QCOMPARE(pdfiumspy::counts().lastRenderFlags.load(), FPDF_ANNOT);
        QVERIFY(!without.isNull() && !with.isNull());

        // The square annotation covers x 100..180, y 20..100 of the image;
        // the page's own black square x 20..80, y 120..180. Both must show in
        // the returned image, which shares its pixels with pdfium's bitmap.
        QCOMPARE(without.pixel(140, 60), kWhite);
        QCOMPARE(with.pixel(140, 60), kRed);
        // Away from it both renders agree, page content included.
        QCOMPARE(with.pixel(50, 150), kBlack);
        const QRect annotated(96, 16, 88, 88);
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < 200; ++x) {
                if (!annotated.contains(x, y) && with.pixel(x, y) != without.pixel(x, y))
                    QFAIL(qPrintable(QStringLiteral("renders differ at %1,%2").arg(x).arg(y)));
            }
        }
        verifyEverythingClosed();
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
        QVERIFY(!upright.isNull());
        const QSize turnedSize = rotate % 2 ? QSize(400, 200) : QSize(200, 400);
        const QImage turned = engine->page(kTallPage, turnedSize, false, rotate);
        QCOMPARE(pdfiumspy::counts().lastRenderRotate.load(), rotate);
        // The engine leaves fitting a turned page to the caller: the image
        // has the size asked for, whatever the rotation.
        QCOMPARE(turned.size(), turnedSize);

        const QImage expected = upright.transformed(QTransform().rotate(90 * rotate));
        QCOMPARE(expected.size(), turnedSize);
        const int differing = differingPixels(turned, expected);
        QVERIFY2(differing <= turnedSize.width() * turnedSize.height() / 200,
                 qPrintable(QStringLiteral("%1 pixels differ").arg(differing)));
    }

    void quarterTurnPutsTheTopLeftAtTheTopRight()
    {
        auto engine = loaded();
        const QImage turned = engine->page(kTallPage, QSize(400, 200), false, 1);
        // The black quarter at the page's top left goes to the top right, the
        // blue bar along the bottom right edge to the left edge, low down.
        QCOMPARE(turned.pixel(350, 50), kBlack);
        QCOMPARE(turned.pixel(50, 50), kWhite);
        QCOMPARE(turned.pixel(20, 160), qRgba(0, 0, 255, 255));
        QCOMPARE(turned.pixel(380, 160), kWhite);
    }

    void untouchedAreasAreOpaqueWhite()
    {
        // Large enough that the pixel buffer is fresh memory: without a fill
        // it would read as transparent black.
        auto engine = loaded();
        const QImage image = engine->page(kSparsePage, QSize(1000, 1000), false, 0);
        QVERIFY(!image.isNull());
        const QRect square(400, 400, 200, 200);
        const QRect squareWithEdges = square.adjusted(-2, -2, 2, 2);
        const QRect squareInside = square.adjusted(2, 2, -2, -2);
        for (int y = 0; y < image.height(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if (!squareWithEdges.contains(x, y) && line[x] != kWhite)
                    QFAIL(qPrintable(QStringLiteral("not white at %1,%2: %3")
                                         .arg(x).arg(y).arg(line[x], 8, 16)));
                if (squareInside.contains(x, y)
                    && (qAlpha(line[x]) != 255 || qAbs(qGray(line[x]) - 128) > 2))
                    QFAIL(qPrintable(QStringLiteral("not grey at %1,%2").arg(x).arg(y)));
            }
        }
    }

    void indexPastTheLastPage_data()
    {
        QTest::addColumn<unsigned>("index");
        QTest::newRow("page count") << unsigned(kRenderPageCount);
        QTest::newRow("far beyond") << 1000u;
        QTest::newRow("largest") << UINT_MAX;
    }

    void indexPastTheLastPage()
    {
        QFETCH(unsigned, index);
        auto engine = loaded();
        QCOMPARE(engine->pageCount(), kRenderPageCount);
        {
            MessageCapture capture;
            QVERIFY(engine->page(index, QSize(100, 100), false, 0).isNull());
            const QStringList warnings = capture.warnings();
            QCOMPARE(warnings.size(), 1);
            QVERIFY2(warnings[0].startsWith(QLatin1String("ERROR ")), qPrintable(warnings[0]));
            QVERIFY(warnings[0].contains(QLatin1String("QPdfium::page(")));
            QVERIFY2(warnings[0].endsWith(QStringLiteral(") %1").arg(index)),
                     qPrintable(warnings[0]));
        }
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.bitmapCreate.load(), 0);
        QCOMPARE(c.renderStart.load(), 0);
        QCOMPARE(c.closePage.load(), 0);

        const QImage next = engine->page(kAnnotatedPage, QSize(100, 100), false, 0);
        QVERIFY(!next.isNull());
        QCOMPARE(next.size(), QSize(100, 100));
        verifyEverythingClosed();
    }

    void unusableSizeFailsAtTheBitmap_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::newRow("empty") << QSize(0, 0);
        QTest::newRow("invalid") << QSize();
        QTest::newRow("no width") << QSize(0, 100);
        QTest::newRow("no height") << QSize(100, 0);
        QTest::newRow("negative width") << QSize(-5, 100);
        QTest::newRow("both negative") << QSize(-1, -1);
    }

    void unusableSizeFailsAtTheBitmap()
    {
        QFETCH(QSize, size);
        auto engine = loaded();
        {
            MessageCapture capture;
            QVERIFY(engine->page(kAnnotatedPage, size, true, 0).isNull());
            const QStringList warnings = capture.warnings();
            QCOMPARE(warnings.size(), 1);
            // index, requested size, annotations flag, image size, page handle
            const QString pattern = QStringLiteral(
                "^ERROR \\d+ \\S+ .*QPdfium::page\\(.*\\) 0 QSize\\(%1, %2\\) true "
                "QSize\\(0, 0\\) 0x[0-9a-f]+$").arg(size.width()).arg(size.height());
            QVERIFY2(QRegularExpression(pattern).match(warnings[0]).hasMatch(),
                     qPrintable(warnings[0]));
        }
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.loadPage.load(), 1);
        QCOMPARE(c.closePage.load(), 1);
        QCOMPARE(c.bitmapCreate.load(), 0);
        QCOMPARE(c.bitmapDestroy.load(), 0);
        QCOMPARE(c.renderStart.load(), 0);
        QCOMPARE(c.renderClose.load(), 0);

        QVERIFY(!engine->page(kAnnotatedPage, QSize(50, 50), false, 0).isNull());
    }

    void engineWithoutDocumentLeavesPdfiumAlone_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("never loaded") << QString();
        QTest::newRow("not a pdf") << QStringLiteral("not-a-pdf.pdf");
        QTest::newRow("wrong password") << QStringLiteral("encrypted-rc4.pdf");
        QTest::newRow("missing file") << QStringLiteral("no-such-file.pdf");
    }

    void engineWithoutDocumentLeavesPdfiumAlone()
    {
        QFETCH(QString, file);
        QPdfium engine(QLatin1String("unloaded"));
        engine.prepare();
        if (!file.isEmpty())
            QVERIFY(engine.loadFile(fixture(file), QString()) != QPdfium::Success);
        pdfiumspy::reset();

        MessageCapture capture;
        QVERIFY(engine.page(0, QSize(100, 100), true, 0).isNull());
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        // No values after the function signature.
        QVERIFY2(QRegularExpression(QStringLiteral("^ERROR \\d+ \\S+ .*QPdfium::page\\([^)]*\\)$"))
                     .match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        QVERIFY(capture.debugs().isEmpty());
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.loadPage.load(), 0);
        QCOMPARE(c.bitmapCreate.load(), 0);
        QCOMPARE(c.renderStart.load(), 0);
    }

    void quitRequestedBeforeTheRender()
    {
        auto engine = loaded();
        MessageCapture capture;
        const QImage image = onThread(
            [&] { return engine->page(2, QSize(100, 100), true, 0); }, true);
        QVERIFY(image.isNull());
        const QStringList debugs = capture.debugs();
        QCOMPARE(debugs.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^\\[pdf\\] \"render\" \\[pdfium\\] 0x[0-9a-f]+ early quit for page render 2$"))
                     .match(debugs[0]).hasMatch(),
                 qPrintable(debugs[0]));
        QVERIFY(capture.warnings().isEmpty());
        QCOMPARE(pdfiumspy::counts().loadPage.load(), 0);

        // The quit belonged to that thread; this one still renders.
        QVERIFY(!engine->page(2, QSize(100, 100), true, 0).isNull());
    }

    void quitRequestedWhileRendering()
    {
        auto engine = loaded();
        // The request arrives once the render is under way, so only pdfium's
        // pause callback can notice it.
        pdfiumspy::counts().beforeRenderStart = [] {
            QThread::currentThread()->requestInterruption();
        };
        MessageCapture capture;
        const QImage image = onThread(
            [&] { return engine->page(kBusyPage, QSize(400, 400), false, 0); }, false);
        QVERIFY(image.isNull());

        const QStringList debugs = capture.debugs();
        QVERIFY2(debugs.contains(QLatin1String(
                     "[pdf] \"render\" [pdfium] ++++ render stopped forcibly ++++")),
                 qPrintable(debugs.join(QLatin1Char('\n'))));
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^\\[pdf\\] \"render\" \\[pdfium\\] 0x[0-9a-f]+ page render stopped/paused "
                     "ret: 1 elapsed: \\d+ ms$"))
                     .match(debugs.last()).hasMatch(),
                 qPrintable(debugs.last()));
        QVERIFY(capture.warnings().isEmpty());

        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.renderStart.load(), 1);
        QCOMPARE(c.renderClose.load(), 1);
        QCOMPARE(c.bitmapDestroy.load(), 1);
        QCOMPARE(c.closePage.load(), 1);
    }

    void exceptionBeforeTheRenderIsContained()
    {
        auto engine = loaded();
        // Thrown where the render would start: the page and bitmap exist,
        // the render does not.
        pdfiumspy::counts().beforeRenderStart = [] { throw std::runtime_error("injected"); };
        MessageCapture capture;
        QImage image;
        try {
            image = engine->page(kAnnotatedPage, QSize(80, 90), true, 0);
        } catch (...) {
            QFAIL("the exception left page()");
        }
        QVERIFY(image.isNull());

        // index, requested size, bitmap handle, page handle, pdfium's last error
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^ERROR \\d+ \\S+ .*QPdfium::page\\(.*\\) 0 QSize\\(80, 90\\) "
                     "0x[0-9a-f]+ 0x[0-9a-f]+ \\d+$"))
                     .match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));

        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.renderClose.load(), 0);
        QCOMPARE(c.bitmapDestroy.load(), 1);
        QCOMPARE(c.closePage.load(), 1);

        pdfiumspy::counts().beforeRenderStart = nullptr;
        QVERIFY(!engine->page(kAnnotatedPage, QSize(80, 90), true, 0).isNull());
    }

    void manyRendersOneAfterAnother()
    {
        // Every render releases what it took; the pause record is reused.
        auto engine = loaded();
        for (int i = 0; i < 20; ++i) {
            const QImage image =
                engine->page(unsigned(i % kRenderPageCount), QSize(60 + i, 80), i % 2, i % 4);
            QVERIFY(!image.isNull());
        }
        QCOMPARE(pdfiumspy::counts().renderStart.load(), 20);
        verifyEverythingClosed();
    }
};

QTEST_GUILESS_MAIN(TestPageRender)
#include "tst_pagerender.moc"
