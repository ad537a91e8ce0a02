#include "qpdfium.h"
#include "qpdfium_p.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <future>
#include <memory>

using testsupport::fixture;
using testsupport::MessageCapture;

// The engine's calls to the information functions pass through these (the
// test is linked with --wrap for each), so a test can make one fail and see
// whether pdfiumMutex was held at the time.
namespace hooks {
std::atomic<int> failPageSizeAt{-1};
std::atomic<bool> failFileVersion{false};
std::atomic<int> callsWithoutLock{0};

// Counts a call made without pdfiumMutex held. A recursive mutex held by this
// thread would let this thread in again, so ask from another one.
void noteCall()
{
    const bool free = std::async(std::launch::async, [] {
        const bool got = pdfiumMutex()->tryLock();
        if (got)
            pdfiumMutex()->unlock();
        return got;
    }).get();
    callsWithoutLock += free ? 1 : 0;
}
} // namespace hooks

extern "C" {
unsigned long __real_FPDF_GetMetaText(FPDF_DOCUMENT, FPDF_BYTESTRING, void *, unsigned long);
FPDF_BOOL __real_FPDF_GetFileVersion(FPDF_DOCUMENT, int *);
int __real_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT, int, double *, double *);

unsigned long __wrap_FPDF_GetMetaText(FPDF_DOCUMENT doc, FPDF_BYTESTRING tag, void *buffer, unsigned long length)
{
    hooks::noteCall();
    return __real_FPDF_GetMetaText(doc, tag, buffer, length);
}

FPDF_BOOL __wrap_FPDF_GetFileVersion(FPDF_DOCUMENT doc, int *version)
{
    hooks::noteCall();
    return hooks::failFileVersion ? 0 : __real_FPDF_GetFileVersion(doc, version);
}

int __wrap_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT doc, int index, double *width, double *height)
{
    hooks::noteCall();
    return index == hooks::failPageSizeAt ? 0 : __real_FPDF_GetPageSizeByIndex(doc, index, width, height);
}
}

using Rows = QList<QList<QString>>;
using Sizes = QList<QSize>;

namespace {

// What the system locale makes of one instant; the engine must show the
// stored dates the same way.
QString longText(const QDateTime &when)
{
    return QLocale::system().toString(when, QLocale::LongFormat);
}

const QDateTime kPlusOne(QDate(2023, 1, 15), QTime(10, 30), Qt::OffsetFromUTC, 3600);
const QDateTime kUtc(QDate(2023, 1, 15), QTime(10, 30), Qt::UTC);
const QDateTime kLocal(QDate(2023, 1, 15), QTime(10, 30), Qt::LocalTime);

std::unique_ptr<QPdfium> loaded(const QString &file)
{
    auto engine = std::make_unique<QPdfium>(QLatin1String("info"));
    engine->prepare();
    if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(file));
    return engine;
}

// Exactly one line, matching pattern.
void checkOneLine(const QStringList &lines, const QString &pattern)
{
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression(pattern).match(lines[0]).hasMatch(), qPrintable(lines[0]));
}

// The engine's debug line with the operation, its count and the time taken.
QString debugLine(const char *operation, qsizetype count)
{
    return QStringLiteral("^\\[pdf\\] \"info\" \\[pdfium\\] 0x[0-9a-f]+ %1 %2 \\d+ ms$").arg(operation).arg(count);
}

// An error line that ends at the function signature.
QString bareWarning(const QString &function)
{
    return "^ERROR \\d+ \\S*qpdfium_info\\.cpp .*" + QRegularExpression::escape(function) + '$';
}

} // namespace

class TestInfo : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        hooks::failPageSizeAt = -1;
        hooks::failFileVersion = false;
        hooks::callsWithoutLock = 0;
    }

    void metaData_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("versionFails");
        QTest::addColumn<Rows>("expected");

        QTest::newRow("full, dates with offset and Z")
            << "info-full.pdf" << false
            << Rows{{"Title", "Quarterly report"},
                    {"Subject", "Numbers, mostly"},
                    {"Author", "Ada Lovelace"},
                    {"Keywords", QString::fromUtf8("Größe, Zahlen ✓")},
                    {"Producer", "pdfhelper fixtures"},
                    {"Creator", "make_fixtures.py"},
                    {"CreationDate", longText(kPlusOne)},
                    {"ModDate", longText(kUtc)},
                    {"File Version", "1.7"}};
        // A trailing blank stays; an ISO date is read as is; D:2023 keeps an empty row.
        QTest::newRow("odd values") << "info-odd.pdf" << false
                                    << Rows{{"Title", "Report "},
                                            {"CreationDate", longText(kLocal)},
                                            {"ModDate", ""},
                                            {"File Version", "1.7"}};
        QTest::newRow("blank entries") << "info-blank.pdf" << false << Rows{{"File Version", "1.7"}};
        QTest::newRow("empty dictionary") << "info-empty.pdf" << false << Rows{{"File Version", "1.7"}};
        QTest::newRow("version 1.4") << "version-1.4.pdf" << false << Rows{{"File Version", "1.4"}};
        QTest::newRow("version 2.0") << "version-2.0.pdf" << false << Rows{{"File Version", "2"}};
        QTest::newRow("version query fails") << "version-1.4.pdf" << true << Rows{};
    }

    void metaData()
    {
        QFETCH(QString, file);
        QFETCH(bool, versionFails);
        QFETCH(Rows, expected);
        // Offsets can only be told apart if the long format shows the zone, as
        // it does under the test environment's C locale.
        QVERIFY(longText(kPlusOne) != longText(kUtc));

        auto engine = loaded(file);
        hooks::failFileVersion = versionFails;
        MessageCapture capture;
        QCOMPARE(engine->metaData(), expected);
        QVERIFY(capture.warnings().isEmpty());
        checkOneLine(capture.debugs(), debugLine("metaData", expected.size()));
        QCOMPARE(hooks::callsWithoutLock.load(), 0);
    }

    void metaDataWithoutDocument()
    {
        QPdfium engine(QLatin1String("info"));
        engine.prepare();
        MessageCapture capture;
        QCOMPARE(engine.loadFile(fixture("damaged.pdf"), QString()), QPdfium::FormatError);
        capture.clear();

        QVERIFY(engine.metaData().isEmpty());
        checkOneLine(capture.warnings(), bareWarning("QPdfium::metaData() const"));
        QVERIFY(capture.debugs().isEmpty());
    }

    void pageSizes_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("failAt");
        QTest::addColumn<Sizes>("expected");
        // The second page is 595.3 by 841.9 points.
        QTest::newRow("mixed") << "pagesize-mixed.pdf" << -1
                               << Sizes{{612, 792}, {595, 842}, {842, 595}, {200, 101}, {1191, 1684}};
        QTest::newRow("one page fails") << "pagesize-mixed.pdf" << 3
                                        << Sizes{{612, 792}, {595, 842}, {842, 595}, {1, 1}, {1191, 1684}};
        QTest::newRow("no pages") << "no-pages.pdf" << -1 << Sizes{};
    }

    void pageSizes()
    {
        QFETCH(QString, file);
        QFETCH(int, failAt);
        QFETCH(Sizes, expected);
        auto engine = loaded(file);
        hooks::failPageSizeAt = failAt;
        MessageCapture capture;
        QCOMPARE(engine->pageSizeAll(), expected);
        checkOneLine(capture.debugs(), debugLine("pageSizeAll", expected.size()));
        if (failAt >= 0)
            checkOneLine(capture.warnings(), bareWarning("QPdfium::pageSizeAll()"));
        else
            QVERIFY(capture.warnings().isEmpty());

        // One page at a time: the same sizes, an invalid one for a failure, silently.
        capture.clear();
        for (int i = -1; i <= expected.size(); ++i)
            QCOMPARE(engine->pageSize(i), i == failAt || i < 0 || i == expected.size() ? QSize(-1, -1) : expected[i]);
        QVERIFY(capture.messages().isEmpty());
        QCOMPARE(hooks::callsWithoutLock.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestInfo)
#include "tst_info.moc"
