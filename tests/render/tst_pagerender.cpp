#include "enginetest.h"
#include "pdfiumspy.h"

using enginetest::verifyLines;
using testsupport::MessageCapture;

namespace {

// Pages of render.pdf, see tools/fixtures/fx_render.py.
constexpr unsigned kAnnotatedPage = 0; // 200x200 pt
constexpr unsigned kSparsePage = 1;    // 200x200 pt, a grey square in the middle

// The fixed parts of the engine's debug lines and of page()'s error lines.
const QString kDebug = enginetest::debugPrefix("render");
const QString kError = QStringLiteral("^ERROR \\d+ \\S+ .*QPdfium::page\\([^)]*\\)");

// Whatever one render obtained from pdfium has been given back.
bool allReleased()
{
    const auto &c = pdfiumspy::counts();
    return pdfiumspy::openPages() == 0 && c.bitmapDestroy == c.bitmapCreate && c.renderClose == c.renderStart;
}

} // namespace

class TestPageRender : public QObject
{
    Q_OBJECT

private:
    // What the engine did while loading is no concern of the render tests.
    std::unique_ptr<QPdfium> engine(const QString &file = QStringLiteral("render.pdf"))
    {
        auto engine = enginetest::engine(QLatin1String("render"), file);
        pdfiumspy::reset();
        return engine;
    }

private slots:
    void annotationsAreDrawnOnlyWhenAsked()
    {
        auto engine = this->engine();
        MessageCapture capture;
        const QImage without = engine->page(kAnnotatedPage, QSize(200, 200), false, 0);
        verifyLines(capture.matching(QString()), {kDebug + "page render done 0 QSize\\(200, 200\\) ret: 2 elapsed: \\d+ ms$"});
        QVERIFY(allReleased());
        const QImage with = engine->page(kAnnotatedPage, QSize(200, 200), true, 0);
        // The red square annotation is at the top right, the page's own black
        // square at the bottom left.
        QCOMPARE(without.pixel(140, 60), qRgba(255, 255, 255, 255));
        QCOMPARE(with.pixel(140, 60), qRgba(255, 0, 0, 255));
        QCOMPARE(with.pixel(50, 150), qRgba(0, 0, 0, 255));
    }

    void untouchedAreasAreOpaqueWhite()
    {
        // Large enough that the pixels are fresh memory: without a fill they
        // would read as transparent black.
        const QImage image = engine()->page(kSparsePage, QSize(1000, 1000), false, 0);
        for (const QPoint at : {QPoint(0, 0), QPoint(999, 0), QPoint(350, 500), QPoint(0, 999), QPoint(999, 999)})
            QCOMPARE(image.pixel(at), qRgba(255, 255, 255, 255));
        QVERIFY(qGray(image.pixel(500, 500)) < 200);
    }

    void failuresGiveANullImageAndOneErrorLine_data()
    {
        QTest::addColumn<QString>("file"); // empty: never loaded
        QTest::addColumn<unsigned>("index");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("values"); // what the error line carries
        QTest::addColumn<int>("pagesLoaded");
        const QString render = QStringLiteral("render.pdf");
        QTest::newRow("index = page count") << render << 2u << QSize(100, 100) << " 2" << 0;
        // index, requested size, annotations flag, image size, page handle
        QTest::newRow("empty size") << render << 0u << QSize(0, 0)
                                    << " 0 QSize\\(0, 0\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        QTest::newRow("negative size") << render << 0u << QSize(-5, 100)
                                       << " 0 QSize\\(-5, 100\\) true QSize\\(0, 0\\) 0x[0-9a-f]+" << 1;
        QTest::newRow("never loaded") << QString() << 0u << QSize(100, 100) << QString() << 0;
        QTest::newRow("load failed") << "encrypted-rc4.pdf" << 0u << QSize(100, 100) << QString() << 0;
    }

    void failuresGiveANullImageAndOneErrorLine()
    {
        QFETCH(QString, file);
        QFETCH(unsigned, index);
        QFETCH(QSize, size);
        QFETCH(QString, values);
        QFETCH(int, pagesLoaded);
        auto engine = this->engine(file);
        MessageCapture capture;
        QVERIFY(engine->page(index, size, true, 0).isNull());
        verifyLines(capture.matching(QString()), {kError + values + "$"}); // lines of every type
        // Only what was obtained is given back; no render was started.
        QCOMPARE(pdfiumspy::counts().loadPage, pagesLoaded);
        QCOMPARE(pdfiumspy::counts().renderStart, 0);
        QVERIFY(allReleased());
        // The engine is unharmed: the next call renders.
        if (engine->isLoaded())
            QVERIFY(!engine->page(kAnnotatedPage, QSize(50, 50), false, 0).isNull());
    }

    void quitRequestBeforeTheRender()
    {
        auto engine = this->engine();
        MessageCapture capture;
        QImage image;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            QThread::currentThread()->requestInterruption();
            image = engine->page(kSparsePage, QSize(400, 400), false, 0);
        }));
        thread->start();
        thread->wait();
        QVERIFY(image.isNull());
        verifyLines(capture.matching(QString()), {kDebug + "early quit for page render 1$"}); // lines of every type
        QCOMPARE(pdfiumspy::counts().loadPage, 0);
        // The quit belonged to that thread; this one still renders.
        QVERIFY(!engine->page(kSparsePage, QSize(100, 100), false, 0).isNull());
    }
};

QTEST_GUILESS_MAIN(TestPageRender)
#include "tst_pagerender.moc"
