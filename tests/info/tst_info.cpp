#include "qpdfium.h"
#include "qpdfium_p.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using testsupport::fixture;
using testsupport::MessageCapture;

// The engine's calls to the information functions pass through these (the
// test is linked with --wrap for each), so a test can make one fail and see
// whether pdfiumMutex was held at the time.
namespace hooks {
std::atomic<int> metaTextCalls{0};
std::atomic<int> failPageSizeAt{-1};
std::atomic<bool> failFileVersion{false};
std::atomic<bool> checkLock{false};
std::atomic<int> callsWithoutLock{0};

void reset()
{
    metaTextCalls = 0;
    failPageSizeAt = -1;
    failFileVersion = false;
    checkLock = false;
    callsWithoutLock = 0;
}

// A recursive mutex held by this thread would let this thread in again, so
// ask from another one.
bool lockHeldElsewhere()
{
    bool free = false;
    std::thread probe([&free] {
        if (pdfiumMutex()->tryLock()) {
            free = true;
            pdfiumMutex()->unlock();
        }
    });
    probe.join();
    return !free;
}

void noteCall()
{
    if (checkLock && !lockHeldElsewhere())
        ++callsWithoutLock;
}
} // namespace hooks

extern "C" {
unsigned long __real_FPDF_GetMetaText(FPDF_DOCUMENT, FPDF_BYTESTRING, void *, unsigned long);
FPDF_BOOL __real_FPDF_GetFileVersion(FPDF_DOCUMENT, int *);
int __real_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT, int, double *, double *);

unsigned long __wrap_FPDF_GetMetaText(FPDF_DOCUMENT doc, FPDF_BYTESTRING tag, void *buffer,
                                      unsigned long length)
{
    ++hooks::metaTextCalls;
    hooks::noteCall();
    return __real_FPDF_GetMetaText(doc, tag, buffer, length);
}

FPDF_BOOL __wrap_FPDF_GetFileVersion(FPDF_DOCUMENT doc, int *version)
{
    hooks::noteCall();
    if (hooks::failFileVersion)
        return 0;
    return __real_FPDF_GetFileVersion(doc, version);
}

int __wrap_FPDF_GetPageSizeByIndex(FPDF_DOCUMENT doc, int index, double *width, double *height)
{
    hooks::noteCall();
    if (index == hooks::failPageSizeAt)
        return 0;
    return __real_FPDF_GetPageSizeByIndex(doc, index, width, height);
}
}

using Rows = QList<QList<QString>>;

namespace {

// What the system locale makes of one instant; the engine must show the
// stored dates the same way.
QString longText(const QDateTime &when)
{
    return QLocale::system().toString(when, QLocale::LongFormat);
}

const QDateTime kNoonPlusOne(QDate(2023, 1, 15), QTime(10, 30, 0), Qt::OffsetFromUTC, 3600);
const QDateTime kNoonUtc(QDate(2023, 1, 15), QTime(10, 30, 0), Qt::UTC);
const QDateTime kNoonLocal(QDate(2023, 1, 15), QTime(10, 30, 0), Qt::LocalTime);

QString valueOf(const Rows &rows, const QString &key)
{
    for (const QList<QString> &row : rows) {
        if (row.value(0) == key)
            return row.value(1);
    }
    return QStringLiteral("<absent>");
}

} // namespace

class TestInfo : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QPdfium> loaded(const QString &file)
    {
        auto engine = std::make_unique<QPdfium>(QLatin1String("info"));
        engine->prepare();
        if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
            qFatal("cannot load %s", qPrintable(file));
        return engine;
    }

private slots:
    void init() { hooks::reset(); }

    void fullInformationInFixedOrder()
    {
        auto engine = loaded("info-full.pdf");
        const Rows rows = engine->metaData();
        const Rows expected{
            {"Title", "Quarterly report"},
            {"Subject", "Numbers, mostly"},
            {"Author", "Ada Lovelace"},
            {"Keywords", QString::fromUtf8("Größe, Zahlen ✓")},
            {"Producer", "pdfhelper fixtures"},
            {"Creator", "make_fixtures.py"},
            {"CreationDate", longText(kNoonPlusOne)},
            {"ModDate", longText(kNoonUtc)},
            {"File Version", "1.7"},
        };
        QCOMPARE(rows, expected);
        // Two metaText calls per key: the length, then the text.
        QCOMPARE(hooks::metaTextCalls.load(), 16);
    }

    void dates_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QDateTime>("instant");

        QTest::newRow("D: with offset") << "info-full.pdf" << "CreationDate" << kNoonPlusOne;
        QTest::newRow("D: with Z") << "info-full.pdf" << "ModDate" << kNoonUtc;
        QTest::newRow("ISO without D:") << "info-odd.pdf" << "CreationDate" << kNoonLocal;
        QTest::newRow("truncated D:2023") << "info-odd.pdf" << "ModDate" << QDateTime();
    }

    void dates()
    {
        QFETCH(QString, file);
        QFETCH(QString, key);
        QFETCH(QDateTime, instant);
        // The comparison below only tells offsets apart if the locale's long
        // format shows the zone, as it does under the test environment's C locale.
        QVERIFY(longText(kNoonPlusOne) != longText(kNoonUtc));

        auto engine = loaded(file);
        const QString value = valueOf(engine->metaData(), key);
        if (instant.isValid()) {
            QVERIFY(!value.isEmpty());
            QCOMPARE(value, longText(instant));
        } else {
            // An unreadable date keeps its row, with nothing to show.
            QCOMPARE(value, QString(""));
        }
    }

    void blankEntriesAreLeftOut()
    {
        // Title, subject and both dates hold blanks only.
        QCOMPARE(loaded("info-blank.pdf")->metaData(), (Rows{{"File Version", "1.7"}}));
        QCOMPARE(loaded("info-empty.pdf")->metaData(), (Rows{{"File Version", "1.7"}}));
        // No information dictionary at all.
        QCOMPARE(loaded("plain.pdf")->metaData(), (Rows{{"File Version", "1.7"}}));
    }

    void valuesAreNotTrimmed()
    {
        const Rows rows = loaded("info-odd.pdf")->metaData();
        QCOMPARE(rows.size(), 4);
        QCOMPARE(rows[0], (QList<QString>{"Title", "Report "}));
        QCOMPARE(rows[1].value(0), QString("CreationDate"));
        QCOMPARE(rows[2].value(0), QString("ModDate"));
        QCOMPARE(rows[3].value(0), QString("File Version"));
    }

    void fileVersion_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("version");
        QTest::newRow("1.4") << "version-1.4.pdf" << "1.4";
        QTest::newRow("1.7") << "version-1.7.pdf" << "1.7";
        QTest::newRow("2.0") << "version-2.0.pdf" << "2";
    }

    void fileVersion()
    {
        QFETCH(QString, file);
        QFETCH(QString, version);
        QCOMPARE(loaded(file)->metaData(), (Rows{{"File Version", version}}));
    }

    void failedVersionQueryLeavesOutItsRow()
    {
        auto engine = loaded("info-full.pdf");
        hooks::failFileVersion = true;
        MessageCapture capture;
        const Rows rows = engine->metaData();
        QCOMPARE(rows.size(), 8);
        QCOMPARE(rows.last().value(0), QString("ModDate"));
        QVERIFY(capture.warnings().isEmpty());
    }

    void metaDataLogsRowCountAndTime()
    {
        auto engine = loaded("info-full.pdf");
        MessageCapture capture;
        engine->metaData();
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression("^\\[pdf\\] \"info\" \\[pdfium\\] 0x[0-9a-f]+ metaData 9 \\d+ ms$")
                     .match(lines[0]).hasMatch(),
                 qPrintable(lines[0]));
    }

    void metaDataWithoutDocument()
    {
        QPdfium engine(QLatin1String("info"));
        engine.prepare();
        MessageCapture capture;
        QCOMPARE(engine.loadFile(fixture("damaged.pdf"), QString()), QPdfium::FormatError);
        capture.clear();

        // Another thread holds the lock meanwhile: metaData must not wait for it.
        std::mutex m;
        std::condition_variable cv;
        bool holding = false;
        bool done = false;
        std::atomic<bool> released{false};
        std::thread holder([&] {
            pdfiumMutex()->lock();
            std::unique_lock<std::mutex> lock(m);
            holding = true;
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
            released = true;
            pdfiumMutex()->unlock();
        });
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return holding; });
        }
        const Rows rows = engine.metaData();
        const bool returnedWhileLocked = !released;
        {
            std::lock_guard<std::mutex> lock(m);
            done = true;
        }
        cv.notify_all();
        holder.join();

        QVERIFY(returnedWhileLocked);
        QVERIFY(rows.isEmpty());
        QCOMPARE(hooks::metaTextCalls.load(), 0);
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        // Only where it happened: line, file and signature, nothing after.
        QVERIFY2(QRegularExpression("^ERROR \\d+ \\S*qpdfium_info\\.cpp .*QPdfium::metaData\\(\\) const$")
                     .match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        QVERIFY(capture.debugs().isEmpty());
    }

    void pageSizeRoundsToWholePoints()
    {
        auto engine = loaded("pagesize-a4.pdf");
        MessageCapture capture;
        QCOMPARE(engine->pageSize(0), QSize(595, 842));
        QCOMPARE(loaded("plain.pdf")->pageSize(0), QSize(612, 792));
        QVERIFY(capture.warnings().isEmpty());
    }

    void pageSizeOutOfRangeIsInvalid()
    {
        auto engine = loaded("pagesize-a4.pdf");
        MessageCapture capture;
        for (int index : {1, -1, 1000}) {
            const QSize size = engine->pageSize(index);
            QVERIFY(!size.isValid());
            QCOMPARE(size, QSize(-1, -1));
        }
        QVERIFY(capture.messages().isEmpty());
    }

    void pageSizeAllInPageOrder()
    {
        auto engine = loaded("pagesize-mixed.pdf");
        MessageCapture capture;
        const QList<QSize> sizes = engine->pageSizeAll();
        const QList<QSize> expected{{612, 792}, {595, 842}, {842, 595}, {200, 101}, {1191, 1684}};
        QCOMPARE(sizes, expected);
        for (int i = 0; i < sizes.size(); ++i)
            QCOMPARE(engine->pageSize(i), sizes[i]);
        QVERIFY(capture.warnings().isEmpty());
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression("^\\[pdf\\] \"info\" \\[pdfium\\] 0x[0-9a-f]+ pageSizeAll 5 \\d+ ms$")
                     .match(lines[0]).hasMatch(),
                 qPrintable(lines[0]));
    }

    void pageSizeAllKeepsOneEntryPerPage()
    {
        auto engine = loaded("pagesize-mixed.pdf");
        hooks::failPageSizeAt = 3;
        MessageCapture capture;
        const QList<QSize> sizes = engine->pageSizeAll();
        QCOMPARE(sizes, (QList<QSize>{{612, 792}, {595, 842}, {842, 595}, {1, 1}, {1191, 1684}}));
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(QRegularExpression("^ERROR \\d+ \\S*qpdfium_info\\.cpp .*QPdfium::pageSizeAll\\(\\)$")
                     .match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        QVERIFY(!engine->pageSize(3).isValid());
    }

    void pageSizeAllWithoutPages()
    {
        auto engine = loaded("no-pages.pdf");
        MessageCapture capture;
        QVERIFY(engine->pageSizeAll().isEmpty());
        const QStringList lines = capture.debugs();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(QRegularExpression(" pageSizeAll 0 \\d+ ms$")), qPrintable(lines[0]));
    }

    void pdfiumIsOnlyCalledUnderTheLock()
    {
        auto engine = loaded("info-full.pdf");
        hooks::checkLock = true;
        QCOMPARE(engine->metaData().size(), 9);
        QCOMPARE(engine->pageSize(0), QSize(612, 792));
        QCOMPARE(engine->pageSizeAll().size(), 1);
        hooks::checkLock = false;
        QCOMPARE(hooks::callsWithoutLock.load(), 0);
        // The probe itself works: outside any engine call the lock is free.
        QVERIFY(!hooks::lockHeldElsewhere());
    }
};

QTEST_GUILESS_MAIN(TestInfo)
#include "tst_info.moc"
