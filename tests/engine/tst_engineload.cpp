#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::fixture;
using testsupport::MessageCapture;

class TestEngineLoad : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void outcomes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::newRow("plain") << "sample.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("rc4 right") << "encrypted-rc4.pdf" << "secret" << int(QPdfium::Success);
        QTest::newRow("rc4 wrong") << "encrypted-rc4.pdf" << "Secret" << int(QPdfium::PasswordError);
        QTest::newRow("rc4 empty") << "encrypted-rc4.pdf" << "" << int(QPdfium::PasswordError);
        QTest::newRow("rc4 null") << "encrypted-rc4.pdf" << QString() << int(QPdfium::PasswordError);
        QTest::newRow("aes256 non-ascii") << "encrypted-aes256.pdf" << QString::fromUtf8("pässwörd✓")
                                          << int(QPdfium::Success);
        QTest::newRow("aes256 latin1 lookalike")
            << "encrypted-aes256.pdf" << "passwort" << int(QPdfium::PasswordError);
        QTest::newRow("no pages") << "no-pages.pdf" << QString() << int(QPdfium::Success);
        QTest::newRow("not a pdf") << "not-a-pdf.pdf" << QString() << int(QPdfium::FormatError);
        QTest::newRow("damaged") << "damaged.pdf" << QString() << int(QPdfium::FormatError);
    }

    void outcomes()
    {
        QFETCH(QString, file);
        QFETCH(QString, password);
        QFETCH(int, status);
        MessageCapture capture;
        QPdfium engine(QLatin1String("load"));
        engine.prepare();
        QCOMPARE(int(engine.loadFile(fixture(file), password)), status);
        QCOMPARE(engine.isLoaded(), status == QPdfium::Success);
        // Even an empty password reaches pdfium as an empty string.
        QVERIFY(!pdfiumspy::counts().lastPasswordWasNull);
        QVERIFY(capture.warnings().isEmpty());
    }

    void unloadableFilesLeaveNoDocument_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("zero bytes") << "empty.pdf";
        QTest::newRow("truncated") << "truncated.pdf";
    }

    void unloadableFilesLeaveNoDocument()
    {
        QFETCH(QString, file);
        MessageCapture capture;
        {
            QPdfium engine(QLatin1String("bad"));
            engine.prepare();
            QVERIFY(engine.loadFile(fixture(file), QString()) != QPdfium::Success);
            QVERIFY(!engine.isLoaded());
        }
        QCOMPARE(pdfiumspy::counts().closeDocument.load(), 0);
    }

    void missingFileIsAFileErrorWithTwoErrorLines()
    {
        MessageCapture capture;
        QPdfium engine(QLatin1String("missing"));
        engine.prepare();
        const QString path = fixture("does-not-exist.pdf");
        QCOMPARE(engine.loadFile(path, QString()), QPdfium::FileError);
        QVERIFY(!engine.isLoaded());
        QCOMPARE(pdfiumspy::counts().loadCustomDocument.load(), 0);

        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        QVERIFY(warnings[0].endsWith(QStringLiteral("CreateFileW failed: \"%1\" error: 2").arg(path)));
        QVERIFY2(warnings[1].startsWith(QLatin1String("ERROR ")), qPrintable(warnings[1]));
        QVERIFY2(warnings[1].endsWith(QLatin1String(
                     "QPdfium::Status QPdfium::loadFile(const QString&, const QString&)")),
                 qPrintable(warnings[1]));
        QVERIFY(warnings[1].contains(QLatin1String("qpdfium.cpp ")));
    }

    void loadLinesAreLogged()
    {
        MessageCapture capture;
        QPdfium engine(QLatin1String("log"));
        engine.prepare();
        capture.clear();
        engine.loadFile(fixture("sample.pdf"), QString());
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].endsWith(QLatin1String(" load file locker")));
        QVERIFY2(QRegularExpression(" load file locker done \\d+ false$").match(lines[1]).hasMatch(),
                 qPrintable(lines[1]));
    }

    void secondLoadReplacesTheFirstDocument()
    {
        auto &c = pdfiumspy::counts();
        QPdfium engine(QLatin1String("twice"));
        engine.prepare();
        QCOMPARE(engine.loadFile(fixture("sample.pdf"), QString()), QPdfium::Success);
        QCOMPARE(engine.loadFile(fixture("plain.pdf"), QString()), QPdfium::Success);
        QCOMPARE(c.closeDocument.load(), 1);
        QCOMPARE(c.loadCustomDocument.load(), 2);

        // A later load that fails at the file open leaves the engine unloaded.
        MessageCapture capture;
        QCOMPARE(engine.loadFile(fixture("gone.pdf"), QString()), QPdfium::FileError);
        QVERIFY(!engine.isLoaded());
        QCOMPARE(c.closeDocument.load(), 1);
    }

    void blockReaderRefusesBytesBeyondATruncatedFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("shrinking.pdf");
        QVERIFY(QFile::copy(fixture("sample.pdf"), path));
        const qint64 fullSize = QFileInfo(path).size();

        QPdfium engine(QLatin1String("shrink"));
        engine.prepare();
        QCOMPARE(engine.loadFile(path, QString()), QPdfium::Success);
        FPDF_FILEACCESS *access = pdfiumspy::counts().lastFileAccess;
        QVERIFY(access);
        QCOMPARE(qint64(access->m_FileLen), fullSize);

        unsigned char buf[16] = {};
        QCOMPARE(access->m_GetBlock(access->m_Param, 0, buf, 5), 5);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(buf), 5), QByteArray("%PDF-"));

        QVERIFY(QFile::resize(path, 100));
        MessageCapture capture;
        QCOMPARE(access->m_GetBlock(access->m_Param, 200, buf, 10), 0);
        QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].endsWith(QLatin1String(" 200 10 0")), qPrintable(warnings[0]));

        // A position past the size taken at open fails at the seek.
        capture.clear();
        QCOMPARE(access->m_GetBlock(access->m_Param, fullSize + 1, buf, 1), 0);
        warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].endsWith(QStringLiteral(" %1").arg(fullSize + 1)), qPrintable(warnings[0]));

        // A request for nothing is a failure too.
        capture.clear();
        QCOMPARE(access->m_GetBlock(access->m_Param, 0, buf, 0), 0);
        QCOMPARE(capture.warnings().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestEngineLoad)
#include "tst_engineload.moc"
