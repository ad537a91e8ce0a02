// The window on a screen Qt scales by two (QT_SCALE_FACTOR=2, set by CTest
// for this test only), as on a HiDPI screen off Windows.

#include "pageview.h"
#include "previewwindow.h"
#include "screenratio.h"
#include "testsupport.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

class TestScreenRatio : public QObject
{
    Q_OBJECT
private slots:
    // Pages are drawn for the screen's ratio, and no query that cannot
    // answer here is made or complained about.
    void pagesAreDrawnAtQtsRatioSilently()
    {
        QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
        testsupport::MessageCapture capture;
        PreviewWindow window;
        window.resize(600, 500);
        window.show();
        window.openFile(testsupport::fixture(QStringLiteral("sample.pdf")));
        PageView *view = window.pageView();
        QVERIFY(QTest::qWaitFor([&] { return view->hasCurrentImage(0); }, 20000));
        QCOMPARE(view->pixelRatio(), 2.0);
        const QSize drawn = view->renderSizeFor(QSize(612, 792));
        view->setPixelRatio(1.0);
        const QSize single = view->renderSizeFor(QSize(612, 792));
        QVERIFY2(qAbs(drawn.width() - 2 * single.width()) <= 1 && qAbs(drawn.height() - 2 * single.height()) <= 1,
                 qPrintable(QStringLiteral("%1x%2 against %3x%4")
                                .arg(drawn.width()).arg(drawn.height()).arg(single.width()).arg(single.height())));
        // (The offscreen platform's own notes about size hints aside.)
        QCOMPARE(capture.matching(QStringLiteral("ERROR")), QStringList());
    }

    void noWidgetMeansOne()
    {
        ScreenRatio ratio;
        QVERIFY(!ratio.asksMonitors());
        QCOMPARE(ratio.ratioFor(nullptr), 1.0);
    }
};

QTEST_MAIN(TestScreenRatio)
#include "tst_screenratio.moc"
