#include "enginetest.h"
#include "pdfiumspy.h"


using enginetest::verifyLines;
using testsupport::fixture;
using testsupport::MessageCapture;

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    // The library lives from the first prepared engine to the end of the last
    // one, and an open document is closed while the library is still there.
    void libraryLivesAsLongAsItsEngines()
    {
        const auto &c = pdfiumspy::counts();
        auto first = enginetest::engine(QLatin1String("first"));
        auto second = enginetest::engine(QLatin1String("second"), "sample.pdf");
        QCOMPARE(c.initLibrary, 1);
        first.reset();
        QCOMPARE(c.destroyLibrary, 0);
        second.reset();
        QCOMPARE(c.destroyLibrary, 1);
        QCOMPARE(c.closeDocument, 1);
        QVERIFY(c.lastCloseDocumentAt < c.lastDestroyLibraryAt);

        // A later engine starts the library again; one that never loaded
        // closes no document. Its debug lines name it, the thread and itself.
        MessageCapture capture;
        QString address;
        {
            QPdfium third(QLatin1String("[helper]"));
            address = QStringLiteral("0x%1").arg(reinterpret_cast<quintptr>(&third), 0, 16);
            third.prepare();
        }
        QCOMPARE(c.initLibrary, 2);
        QCOMPARE(c.destroyLibrary, 2);
        QCOMPARE(c.closeDocument, 1);
        const QString prefix = QRegularExpression::escape(QStringLiteral("[pdf] \"[helper]\" [pdfium] 0x%1 ")
                                   .arg(reinterpret_cast<quintptr>(QThread::currentThreadId()), 0, 16));
        verifyLines(capture.debugs(), {'^' + prefix + address + '$', '^' + prefix + "prepare locker$",
                                       '^' + prefix + "prepare locker done " + address + " \\d+$",
                                       '^' + prefix + "~ " + address + '$'});
        // An empty tag still prints, as an empty quoted string.
        capture.clear();
        QPdfium(QLatin1String("")).prepare();
        verifyLines(capture.debugs(), QStringList(4, enginetest::debugPrefix("")));
    }

    void loadOutcomes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::newRow("plain") << "sample.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("rc4 right") << "encrypted-rc4.pdf" << "secret" << int(QPdfium::Success);
        QTest::newRow("rc4 wrong") << "encrypted-rc4.pdf" << "Secret" << int(QPdfium::PasswordError);
        QTest::newRow("rc4 empty") << "encrypted-rc4.pdf" << "" << int(QPdfium::PasswordError);
        QTest::newRow("aes256 non-ascii") << "encrypted-aes256.pdf" << QString::fromUtf8("pässwörd✓")
                                          << int(QPdfium::Success);
        QTest::newRow("no pages") << "no-pages.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("not a pdf") << "not-a-pdf.pdf" << QString() << int(QPdfium::FormatError);
        QTest::newRow("zero bytes") << "empty.pdf" << QString() << int(QPdfium::FormatError);
        QTest::newRow("truncated") << "truncated.pdf" << QString() << int(QPdfium::FormatError);
    }

    void loadOutcomes()
    {
        QFETCH(QString, file);
        QFETCH(QString, password);
        QFETCH(int, status);
        MessageCapture capture;
        auto engine = enginetest::engine(QLatin1String("load"));
        QCOMPARE(int(engine->loadFile(fixture(file), password)), status);
        QCOMPARE(engine->isLoaded(), status == QPdfium::Success);
        engine.reset();
        // Only a loaded document is there to close, and the library goes
        // cleanly with or without one.
        const auto &c = pdfiumspy::counts();
        QCOMPARE(c.closeDocument, int(status == QPdfium::Success));
        QCOMPARE(c.destroyLibrary, 1);
        QVERIFY(capture.warnings().isEmpty());
    }

    void laterLoadsReplaceTheDocument()
    {
        const auto &c = pdfiumspy::counts();
        auto engine = enginetest::engine(QLatin1String("twice"), "sample.pdf");
        MessageCapture capture;
        QCOMPARE(engine->loadFile(fixture("plain.pdf"), QString()), QPdfium::Success);
        QCOMPARE(c.closeDocument, 1);
        const QString debug = enginetest::debugPrefix("twice");
        verifyLines(capture.debugs(), {debug + "load file locker$", debug + "load file locker done \\d+ false$"});

        // A load that fails at the file open never reaches pdfium and leaves
        // the engine unloaded.
        const QString path = fixture("does-not-exist.pdf");
        QCOMPARE(engine->loadFile(path, QString()), QPdfium::FileError);
        QVERIFY(!engine->isLoaded());
        QCOMPARE(c.loadCustomDocument, 2);
        verifyLines(capture.warnings(),
                    {QRegularExpression::escape(QStringLiteral("CreateFileW failed: \"%1\" error: 2").arg(path)) + '$',
                     "^ERROR \\d+ \\S*qpdfium\\.cpp "
                         + QRegularExpression::escape("QPdfium::Status QPdfium::loadFile(const QString&, const QString&)")
                         + '$'});
    }

    void scanListsPagesWithMarkupAfterWhatTheListHolds()
    {
        auto engine = enginetest::engine(QLatin1String("scan"), "annotations.pdf");
        pdfiumspy::reset();
        QList<int> pages{42, -7};
        engine->readAnnotations(pages);
        // Text, free text, the drawing shapes, text markup and stamp/caret/ink
        // pages (0-13), a link followed by a highlight (15), a subtype pdfium
        // does not know (17) and several markup annotations (18, listed once).
        // Links only (14), pop-up and widget (16), no annotation (19) and
        // kinds from pop-up upwards (20) are not listed.
        QCOMPARE(pages, (QList<int>{42, -7, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 17, 18}));
        QCOMPARE(pdfiumspy::openPages(), 0);
        QCOMPARE(pdfiumspy::openAnnotations(), 0);
        QCOMPARE(pdfiumspy::counts().loadPage, engine->pageCount());
    }

    // pdfium is asked once, also when the answer is no pages at all.
    void pageCountIsAskedOnce_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("pages");
        QTest::newRow("pages") << "annotations.pdf" << 21;
        QTest::newRow("none") << "no-pages.pdf" << 0;
    }

    void pageCountIsAskedOnce()
    {
        QFETCH(QString, file);
        QFETCH(int, pages);
        auto engine = enginetest::engine(QLatin1String("count"), file);
        pdfiumspy::reset();
        QCOMPARE(engine->pageCount(), pages);
        QCOMPARE(engine->pageCount(), pages);
        QCOMPARE(pdfiumspy::counts().getPageCount, 1);
    }

    void scanQuitsBeforeTheFirstPage()
    {
        auto engine = enginetest::engine(QLatin1String("scan"), "annotations.pdf");
        pdfiumspy::reset();
        MessageCapture capture;
        QList<int> pages{5};
        std::unique_ptr<QThread> worker(QThread::create([&] {
            QThread::currentThread()->requestInterruption();
            engine->readAnnotations(pages);
        }));
        worker->start();
        QVERIFY(worker->wait(10000));
        QCOMPARE(pages, QList<int>{5});
        QCOMPARE(pdfiumspy::counts().loadPage, 0);
        const QString debug = enginetest::debugPrefix("scan") + "read annotation";
        verifyLines(capture.debugs(), {debug + '$', debug + " quitting$", debug + " done \\d+$"});
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
