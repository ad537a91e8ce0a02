#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QtTest>

#include <memory>

using testsupport::MessageCapture;

class TestEngineLifecycle : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void libraryIsInitialisedOncePerGeneration()
    {
        auto &c = pdfiumspy::counts();
        auto first = std::make_unique<QPdfium>(QLatin1String("first"));
        auto second = std::make_unique<QPdfium>(QLatin1String("second"));
        QCOMPARE(c.initLibrary.load(), 0); // construction alone touches nothing
        first->prepare();
        second->prepare();
        QCOMPARE(c.initLibrary.load(), 1);

        first.reset();
        QCOMPARE(c.destroyLibrary.load(), 0);
        second.reset();
        QCOMPARE(c.destroyLibrary.load(), 1);

        QPdfium third(QLatin1String("third"));
        third.prepare();
        QCOMPARE(c.initLibrary.load(), 2);
    }

    void destructionClosesTheDocumentBeforeTheLibrary()
    {
        auto &c = pdfiumspy::counts();
        {
            QPdfium engine(QLatin1String("doc"));
            engine.prepare();
            QCOMPARE(engine.loadFile(testsupport::fixture("sample.pdf"), QString()),
                     QPdfium::Success);
        }
        QCOMPARE(c.closeDocument.load(), 1);
        QCOMPARE(c.destroyLibrary.load(), 1);
        QVERIFY(c.lastCloseDocumentAt < c.lastDestroyLibraryAt);
    }

    void engineWithoutDocumentDestroysCleanly()
    {
        auto &c = pdfiumspy::counts();
        {
            QPdfium never(QLatin1String("never"));
            never.prepare();
        }
        {
            QPdfium failed(QLatin1String("failed"));
            failed.prepare();
            QCOMPARE(failed.loadFile(testsupport::fixture("not-a-pdf.pdf"), QString()),
                     QPdfium::FormatError);
            QVERIFY(!failed.isLoaded());
        }
        QCOMPARE(c.closeDocument.load(), 0);
        QCOMPARE(c.initLibrary.load(), 2);
        QCOMPARE(c.destroyLibrary.load(), 2);
    }

    void pageCountIsFetchedOnce()
    {
        auto &c = pdfiumspy::counts();
        QPdfium engine(QLatin1String("count"));
        engine.prepare();
        QCOMPARE(engine.loadFile(testsupport::fixture("sample.pdf"), QString()), QPdfium::Success);
        QCOMPARE(engine.pageCount(), 3);
        QCOMPARE(engine.pageCount(), 3);
        QCOMPARE(c.getPageCount.load(), 1);

        // Zero pages is a real answer and is cached like any other.
        QPdfium empty(QLatin1String("empty"));
        empty.prepare();
        QCOMPARE(empty.loadFile(testsupport::fixture("no-pages.pdf"), QString()), QPdfium::Success);
        QCOMPARE(empty.pageCount(), 0);
        QCOMPARE(empty.pageCount(), 0);
        QCOMPARE(c.getPageCount.load(), 2);
    }

    void quitCheckFollowsTheCallingThread()
    {
        QPdfium engine(QLatin1String("quit"));
        QVERIFY(!engine.isQuitRequested());
        bool seenInWorker = false;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            QThread::currentThread()->requestInterruption();
            seenInWorker = engine.isQuitRequested();
        }));
        worker->start();
        QVERIFY(worker->wait(10000));
        QVERIFY(seenInWorker);
        QVERIFY(!engine.isQuitRequested());
    }

    void debugLinesCarryTagThreadAndAddress()
    {
        MessageCapture capture;
        const QString thread = QStringLiteral("0x%1").arg(
            reinterpret_cast<quintptr>(QThread::currentThreadId()), 0, 16);
        QString address;
        {
            QPdfium engine(QLatin1String("[helper]"));
            address = QStringLiteral("0x%1").arg(reinterpret_cast<quintptr>(&engine), 0, 16);
            engine.prepare();
        }
        {
            QPdfium unnamed{QLatin1String("")};
            unnamed.prepare();
        }
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 8);
        const QString prefix = QStringLiteral("[pdf] \"[helper]\" [pdfium] ") + thread + ' ';
        QCOMPARE(lines[0], prefix + address);
        QCOMPARE(lines[1], prefix + "prepare locker");
        QVERIFY2(QRegularExpression('^' + QRegularExpression::escape(prefix + "prepare locker done "
                                                                     + address)
                                    + " \\d+$")
                     .match(lines[2])
                     .hasMatch(),
                 qPrintable(lines[2]));
        QCOMPARE(lines[3], prefix + "~ " + address);
        // An empty tag still prints, as an empty quoted string.
        for (int i = 4; i < 8; ++i)
            QVERIFY(lines[i].startsWith(QLatin1String("[pdf] \"\" [pdfium] ")));
        QVERIFY(capture.warnings().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestEngineLifecycle)
#include "tst_enginelifecycle.moc"
