#include "enginetest.h"
#include "pdfiumspy.h"

using testsupport::MessageCapture;
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

// The engine's debug line with the operation, its count and the time taken.
QString debugLine(const char *operation, qsizetype count)
{
    return enginetest::debugPrefix("info") + QStringLiteral("%1 %2 \\d+ ms$").arg(operation).arg(count);
}

// An error line that ends at the function signature.
QString errorLine(const QString &function)
{
    return "^ERROR \\d+ \\S*qpdfium_info\\.cpp .*" + QRegularExpression::escape(function) + '$';
}

} // namespace

class TestInfo : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void metaData_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("full, dates with offset and Z")
            << "info-full.pdf"
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
        QTest::newRow("odd values") << "info-odd.pdf"
                                    << Rows{{"Title", "Report "},
                                            {"CreationDate", longText(kLocal)},
                                            {"ModDate", ""},
                                            {"File Version", "1.7"}};
        QTest::newRow("blank entries") << "info-blank.pdf" << Rows{{"File Version", "1.7"}};
        QTest::newRow("version 1.4") << "version-1.4.pdf" << Rows{{"File Version", "1.4"}};
        QTest::newRow("version 2.0") << "version-2.0.pdf" << Rows{{"File Version", "2"}};
        QTest::newRow("not loaded") << "damaged.pdf" << Rows{};
    }

    void metaData()
    {
        QFETCH(QString, file);
        QFETCH(Rows, expected);
        // Offsets can only be told apart if the long format shows the zone, as
        // it does under the test environment's C locale.
        QVERIFY(longText(kPlusOne) != longText(kUtc));
        auto engine = enginetest::engine(QLatin1String("info"), file);
        MessageCapture capture;
        QCOMPARE(engine->metaData(), expected);
        enginetest::verifyLines(capture.matching(QString()), // lines of every type
                                {engine->isLoaded() ? debugLine("metaData", expected.size())
                                                    : errorLine("QPdfium::metaData() const")});
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
        auto engine = enginetest::engine(QLatin1String("info"), file);
        pdfiumspy::counts().failPageSizeAt = failAt;
        MessageCapture capture;
        QCOMPARE(engine->pageSizeAll(), expected);
        enginetest::verifyLines(capture.debugs(), {debugLine("pageSizeAll", expected.size())});
        enginetest::verifyLines(capture.warnings(), failAt < 0 ? QStringList() : QStringList{errorLine("QPdfium::pageSizeAll()")});
    }

    // Each page of pagesize-hostile.pdf has one box no sane document has.
    // Whatever pdfium reads from it, both calls answer a positive size of at
    // most a million points a side; out of the pages, -1 by -1.
    void hostileBoxesGiveBoundedSizes()
    {
        auto engine = enginetest::engine(QLatin1String("info"), "pagesize-hostile.pdf");
        const Sizes expected{
            {595, 1000000}, // 2147483647 points high: past the range
            {612, 792},     // zero: pdfium falls back to Letter
            {595, 842},     // negative: pdfium normalises the box
            {612, 792},     // 40 digits: not a number pdfium takes
            {612, 792},     // names for numbers
            {1, 1000000},   // 0.3 by 999999.6: both ends of the range
        };
        QCOMPARE(engine->pageSizeAll(), expected);
        Sizes each;
        for (int index = 0; index < expected.size(); ++index)
            each << engine->pageSize(index);
        QCOMPARE(each, expected);
        QCOMPARE(engine->pageSize(-1), QSize());
        QCOMPARE(engine->pageSize(int(expected.size())), QSize());
    }
};

QTEST_GUILESS_MAIN(TestInfo)
#include "tst_info.moc"
