#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

using testsupport::fixture;
using testsupport::MessageCapture;

class TestAnnotationScan : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QPdfium> loaded(const QString &file)
    {
        auto engine = std::make_unique<QPdfium>(QLatin1String("scan"));
        engine->prepare();
        if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
            qFatal("cannot load %s", qPrintable(file));
        return engine;
    }

private slots:
    void init() { pdfiumspy::reset(); }

    void onlyMarkupSubtypesCount()
    {
        auto engine = loaded("annotations.pdf");
        QList<int> pages;
        engine->readAnnotations(pages);
        // Text, free text, the drawing shapes, text markup and stamp/caret/ink
        // pages (0-13), a link followed by a highlight (15), a subtype pdfium
        // does not know (17) and several markup annotations (18, listed once).
        // Links only (14), pop-up and widget (16), no annotation (19) and
        // kinds from pop-up upwards (20) are not listed.
        const QList<int> expected{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 17, 18};
        QCOMPARE(pages, expected);
        QCOMPARE(pdfiumspy::openPages(), 0);
        QCOMPARE(pdfiumspy::openAnnotations(), 0);
        QCOMPARE(pdfiumspy::counts().loadPage.load(), engine->pageCount());
    }

    void appendsToWhatTheListHolds()
    {
        auto engine = loaded("sample.pdf");
        QList<int> pages{42, -7};
        engine->readAnnotations(pages);
        QCOMPARE(pages, (QList<int>{42, -7, 0, 2}));
    }

    void linksAloneDoNotCount()
    {
        auto engine = loaded("links-only.pdf");
        QList<int> pages;
        engine->readAnnotations(pages);
        QVERIFY(pages.isEmpty());
        QVERIFY(pdfiumspy::counts().getAnnot.load() >= 2);
        QCOMPARE(pdfiumspy::openAnnotations(), 0);
    }

    void documentWithoutPagesLogsStartAndEnd()
    {
        auto engine = loaded("no-pages.pdf");
        MessageCapture capture;
        QList<int> pages;
        engine->readAnnotations(pages);
        QVERIFY(pages.isEmpty());
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith(QLatin1String(" read annotation")));
        QVERIFY2(QRegularExpression(" read annotation done \\d+$").match(lines[1]).hasMatch(),
                 qPrintable(lines[1]));
    }

    void quitRequestBeforeTheFirstPage()
    {
        auto engine = loaded("annotations.pdf");
        MessageCapture capture;
        QList<int> pages{5};
        std::unique_ptr<QThread> worker(QThread::create([&] {
            QThread::currentThread()->requestInterruption();
            engine->readAnnotations(pages);
        }));
        worker->start();
        QVERIFY(worker->wait(10000));
        QCOMPARE(pages, QList<int>{5});
        QCOMPARE(pdfiumspy::counts().loadPage.load(), 0);
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].endsWith(QLatin1String(" read annotation")));
        QVERIFY(lines[1].endsWith(QLatin1String(" read annotation quitting")));
        QVERIFY(lines[2].contains(QLatin1String(" read annotation done ")));
    }
};

QTEST_GUILESS_MAIN(TestAnnotationScan)
#include "tst_annotationscan.moc"
