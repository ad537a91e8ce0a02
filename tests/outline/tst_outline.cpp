#include "pdfiumspy.h"
#include "qpdfium.h"
#include "testsupport.h"

#include <QStandardItem>
#include <QtTest>

#include <memory>

using testsupport::fixture;
using testsupport::MessageCapture;

namespace {

// One line per item, depth-first in document order:
// "depth|title|page|tool tip". The depth is the one stored in the item.
void flattenInto(const QStandardItem *parent, QStringList &out)
{
    for (int row = 0; row < parent->rowCount(); ++row) {
        const QStandardItem *item = parent->child(row);
        out << QStringLiteral("%1|%2|%3|%4")
                   .arg(item->data(OutlineDepthRole).toInt())
                   .arg(item->data(OutlineTitleRole).toString())
                   .arg(item->data(OutlinePageRole).toInt())
                   .arg(item->toolTip());
        flattenInto(item, out);
    }
}

QStringList flatten(const QStandardItem &root)
{
    QStringList out;
    flattenInto(&root, out);
    return out;
}

int countItems(const QStandardItem *parent)
{
    int count = parent->rowCount();
    for (int row = 0; row < parent->rowCount(); ++row)
        count += countItems(parent->child(row));
    return count;
}

// The outline of outline.pdf (tools/fixtures/fx_outline.py) read whole.
const QStringList kFullOutline{
    "0|Chapter 1|0|",
    "1|Section 1.1|1|",
    "2|Subsection 1.1.1|2|",
    "1||3|",
    "0|Destination wins|2|",
    "0|Missing page|-1|",
    "0|Website|-1|URI: https://example.org/manual",
    "0|Launch|-1|REMOTE GOTO: notes.txt",
    "0|Other file|-1|REMOTE GOTO: other.pdf",
    "0|Script|-1|",
    "0|Named|-1|",
    "0|No target|-1|",
    QStringLiteral("0|Überblick ✓|3|"),
    "1|Appendix|0|",
};

const QString kUnsupportedAction = QStringLiteral("Unsupported action type:  0");

// Title calls are made in pairs, length then read, for each entry in walk
// order: Chapter 1 makes calls 0 and 1, Section 1.1 calls 2 and 3.
int g_titleCall = -1;
unsigned long g_titleResult = 0;

unsigned long replaceOneTitleResult(int call, unsigned long result)
{
    return call == g_titleCall ? g_titleResult : result;
}

unsigned long interruptAtFirstTitle(int call, unsigned long result)
{
    if (call == 0)
        QThread::currentThread()->requestInterruption();
    return result;
}

bool readOnThread(QPdfium &engine, QStandardItem &root, bool interrupted)
{
    bool result = true;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        if (interrupted)
            QThread::currentThread()->requestInterruption();
        result = engine.readBookmarks(&root);
    }));
    thread->start();
    thread->wait();
    return result;
}

} // namespace

class TestOutline : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QPdfium> loaded(const QString &file)
    {
        auto engine = std::make_unique<QPdfium>(QLatin1String("outline"));
        engine->prepare();
        if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
            qFatal("cannot load %s", qPrintable(file));
        pdfiumspy::reset();
        return engine;
    }

private slots:
    void init() { pdfiumspy::reset(); }

    void readsTheWholeTree()
    {
        auto engine = loaded("outline.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(engine->readBookmarks(&root));
        QCOMPARE(flatten(root), kFullOutline);

        // The two entries with actions pdfium cannot classify are kept, and
        // reported; nothing else is.
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        for (const QString &line : warnings) {
            QVERIFY2(line.startsWith(QLatin1String("ERROR ")), qPrintable(line));
            QVERIFY2(line.contains(QLatin1String("readBookmarksHelper")), qPrintable(line));
            QVERIFY2(line.endsWith(kUnsupportedAction), qPrintable(line));
        }
        QVERIFY(capture.debugs().isEmpty());
    }

    void itemsCarryTheirDataInRoles()
    {
        auto engine = loaded("outline.pdf");
        QStandardItem root;
        QVERIFY(engine->readBookmarks(&root));
        const QStandardItem *chapter = root.child(0);
        QVERIFY(chapter);
        QVERIFY(!chapter->data(Qt::DisplayRole).isValid());
        QCOMPARE(chapter->data(OutlineTitleRole).metaType(), QMetaType::fromType<QString>());
        QCOMPARE(chapter->data(OutlineDepthRole).metaType(), QMetaType::fromType<int>());
        QCOMPARE(chapter->data(OutlinePageRole).metaType(), QMetaType::fromType<int>());
        // No tool tip is set for an entry that is not a link.
        QVERIFY(!chapter->data(Qt::ToolTipRole).isValid());

        // The empty title is an empty string, not a missing value.
        const QStandardItem *untitled = chapter->child(1);
        QVERIFY(untitled);
        QCOMPARE(untitled->data(OutlineTitleRole).metaType(), QMetaType::fromType<QString>());
        QVERIFY(untitled->data(OutlineTitleRole).toString().isEmpty());
        QCOMPARE(untitled->parent(), chapter);
    }

    void documentWithoutOutline()
    {
        auto engine = loaded("plain.pdf");
        MessageCapture capture;
        QStandardItem root(QStringLiteral("caller's root"));
        QVERIFY(engine->readBookmarks(&root));
        QCOMPARE(root.rowCount(), 0);
        QCOMPARE(root.text(), QStringLiteral("caller's root"));
        QVERIFY(capture.messages().isEmpty());
    }

    void readingAgainGivesTheSameTree()
    {
        auto engine = loaded("outline.pdf");
        for (int i = 0; i < 3; ++i) {
            QStandardItem root;
            QVERIFY(engine->readBookmarks(&root));
            QCOMPARE(flatten(root), kFullOutline);
        }
    }

    void titleFailureEndsItsLevel_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<bool>("lengthCall");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QStringList>("tree");

        // Section 1.1 fails: Chapter 1 stays without children and the
        // untitled sibling after Section 1.1 is not read; the top level goes
        // on to its end, but its entries no longer get their children.
        QStringList cutShort = kFullOutline;
        cutShort.removeLast();
        cutShort.remove(1, 3);
        QTest::newRow("nested length") << 2 << true
                                       << QStringLiteral("Failed to get bookmark title.")
                                       << cutShort;
        QTest::newRow("nested read") << 3 << false
                                     << QStringLiteral("Failed to read bookmark title.")
                                     << cutShort;
        // The very first entry fails: nothing at all is read.
        QTest::newRow("first length") << 0 << true
                                      << QStringLiteral("Failed to get bookmark title.")
                                      << QStringList();
        QTest::newRow("first read") << 1 << false
                                    << QStringLiteral("Failed to read bookmark title.")
                                    << QStringList();
    }

    void titleFailureEndsItsLevel()
    {
        QFETCH(int, call);
        QFETCH(bool, lengthCall);
        QFETCH(QString, warning);
        QFETCH(QStringList, tree);

        auto engine = loaded("outline.pdf");
        g_titleCall = call;
        // A length of 0, or a read that delivers other than what was asked.
        g_titleResult = lengthCall ? 0 : 4;
        pdfiumspy::counts().titleFilter = replaceOneTitleResult;

        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!engine->readBookmarks(&root));
        QCOMPARE(flatten(root), tree);
        const QStringList titleWarnings = capture.matching(QStringLiteral("bookmark title"));
        QCOMPARE(titleWarnings.size(), 1);
        QVERIFY2(titleWarnings[0].startsWith(QLatin1String("ERROR ")), qPrintable(titleWarnings[0]));
        QVERIFY2(titleWarnings[0].endsWith(QLatin1Char(' ') + warning), qPrintable(titleWarnings[0]));
    }

    void quitRequestedBeforeTheWalk()
    {
        auto engine = loaded("outline.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!readOnThread(*engine, root, true));
        QCOMPARE(root.rowCount(), 0);
        const QStringList debugs = capture.debugs();
        QCOMPARE(debugs.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^\\[pdf\\] \"outline\" \\[pdfium\\] 0x[0-9a-f]+ read bookmarks quitting$"))
                     .match(debugs[0]).hasMatch(),
                 qPrintable(debugs[0]));
        QCOMPARE(pdfiumspy::counts().getTitle.load(), 0);
    }

    void quitRequestedDuringTheWalk()
    {
        auto engine = loaded("outline.pdf");
        pdfiumspy::counts().titleFilter = interruptAtFirstTitle;
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!readOnThread(*engine, root, false));

        // The entry being read when the request came is kept; its children
        // and the entries after it are not read.
        QCOMPARE(flatten(root), QStringList{"0|Chapter 1|0|"});
        const QStringList debugs = capture.debugs();
        QCOMPARE(debugs.size(), 2);
        QVERIFY2(debugs[0].endsWith(QLatin1String(" read bookmarks quitting")), qPrintable(debugs[0]));
        QVERIFY2(debugs[1].endsWith(QLatin1String(" read bookmarks quitting 2")), qPrintable(debugs[1]));
    }

    void siblingsThatLoopBack()
    {
        auto engine = loaded("outline-sibling-loop.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!engine->readBookmarks(&root));
        QCOMPARE(flatten(root), (QStringList{"0|A|0|", "0|B|0|", "0|C|0|"}));
        QCOMPARE(capture.warnings().size(), 1);
        QVERIFY(capture.warnings()[0].startsWith(QLatin1String("ERROR ")));
    }

    void childThatPointsAtAnAncestor()
    {
        auto engine = loaded("outline-child-loop.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!engine->readBookmarks(&root));
        // The branch stops where it links back; the top level still ends
        // with the entry after it.
        QCOMPARE(flatten(root), (QStringList{"0|A|0|", "1|B|0|", "2|C|0|", "0|After|0|"}));
        QCOMPARE(capture.warnings().size(), 1);
    }

    void absurdNestingIsCutOff()
    {
        auto engine = loaded("outline-deep-5000.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(!engine->readBookmarks(&root));

        int levels = 0;
        const QStandardItem *item = &root;
        while (item->rowCount() > 0) {
            QCOMPARE(item->rowCount(), 1);
            item = item->child(0);
            QCOMPARE(item->data(OutlineDepthRole).toInt(), levels);
            QCOMPARE(item->data(OutlineTitleRole).toString(), QStringLiteral("Level %1").arg(levels));
            ++levels;
        }
        // Far deeper than any real outline, far short of the document.
        QVERIFY2(levels >= 100 && levels < 5000, qPrintable(QString::number(levels)));
        QCOMPARE(capture.warnings().size(), 1);
    }

    void deepButSaneNestingIsReadWhole()
    {
        auto engine = loaded("outline-deep-64.pdf");
        QStandardItem root;
        QVERIFY(engine->readBookmarks(&root));
        QCOMPARE(countItems(&root), 64);
    }

    void largeOutlineIsReadWholeAndInOrder()
    {
        auto engine = loaded("outline-10000.pdf");
        MessageCapture capture;
        QStandardItem root;
        QVERIFY(engine->readBookmarks(&root));
        QVERIFY(capture.warnings().isEmpty());
        QCOMPARE(countItems(&root), 10000);
        QCOMPARE(root.rowCount(), 100);
        for (int c = 0; c < 100; ++c) {
            const QStandardItem *chapter = root.child(c);
            QCOMPARE(chapter->data(OutlineTitleRole).toString(), QStringLiteral("Chapter %1").arg(c + 1));
            QCOMPARE(chapter->data(OutlinePageRole).toInt(), c % 10);
            QCOMPARE(chapter->rowCount(), 99);
            for (int s = 0; s < 99; ++s) {
                const QStandardItem *section = chapter->child(s);
                QCOMPARE(section->data(OutlineTitleRole).toString(),
                         QStringLiteral("Section %1.%2").arg(c + 1).arg(s + 1));
                QCOMPARE(section->data(OutlineDepthRole).toInt(), 1);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestOutline)
#include "tst_outline.moc"
