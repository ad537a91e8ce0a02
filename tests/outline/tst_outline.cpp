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
// "depth|title|page", then "|tool tip" and "|display text" where they are set.
QStringList flatten(const QStandardItem *parent)
{
    QStringList out;
    for (int row = 0; row < parent->rowCount(); ++row) {
        const QStandardItem *item = parent->child(row);
        QString line = QStringLiteral("%1|%2|%3")
                           .arg(item->data(OutlineDepthRole).toInt())
                           .arg(item->data(OutlineTitleRole).toString())
                           .arg(item->data(OutlinePageRole).toInt());
        for (const int role : {int(Qt::ToolTipRole), int(Qt::DisplayRole)}) {
            if (item->data(role).isValid())
                line += '|' + item->data(role).toString();
        }
        out << line << flatten(item);
    }
    return out;
}

// The outline of outline.pdf (tools/fixtures/fx_outline.py) read whole.
const QStringList kFullOutline{
    "0|Chapter 1|0",
    "1|Section 1.1|1",
    "2|Subsection 1.1.1|2",
    "1||3",
    "0|Destination wins|2",
    "0|Missing page|-1",
    "0|Website|-1|URI: https://example.org/manual",
    "0|Launch|-1|REMOTE GOTO: notes.txt",
    "0|Other file|-1|REMOTE GOTO: other.pdf",
    "0|Script|-1",
    "0|Named|-1",
    "0|No target|-1",
    QStringLiteral("0|Überblick ✓|3"),
    "1|Appendix|0",
};

// The fixed parts of the engine's debug and error lines.
const QString kDebug = QStringLiteral("^\\[pdf\\] \"outline\" \\[pdfium\\] 0x[0-9a-f]+ ");
const QString kError = QStringLiteral("^ERROR \\d+ \\S+ .*readBookmarksHelper\\(.*\\) ");

// Title calls come in pairs, length then read, per entry in walk order:
// Chapter 1 makes calls 0 and 1, Section 1.1 calls 2 and 3.
int g_quitAt = -1;
int g_failAt = -1;
unsigned long g_result = 0;

std::unique_ptr<QPdfium> loaded(const QString &file)
{
    auto engine = std::make_unique<QPdfium>(QLatin1String("outline"));
    engine->prepare();
    if (engine->loadFile(fixture(file), QString()) != QPdfium::Success)
        qFatal("cannot load %s", qPrintable(file));
    pdfiumspy::reset();
    return engine;
}

} // namespace

class TestOutline : public QObject
{
    Q_OBJECT

private slots:
    void init() { pdfiumspy::reset(); }

    void wellFormedOutlinesAreReadWholeAndInOrder_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<int>("unsupported"); // entries with actions pdfium cannot classify
        QTest::newRow("every kind of entry") << "outline.pdf" << kFullOutline << 2;
        QTest::newRow("no outline") << "plain.pdf" << QStringList() << 0;
        QStringList deep;
        for (int level = 0; level < 64; ++level)
            deep << QStringLiteral("%1|Level %1|0").arg(level);
        QTest::newRow("64 levels") << "outline-deep-64.pdf" << deep << 0;
        QStringList large;
        for (int c = 0; c < 100; ++c) {
            large << QStringLiteral("0|Chapter %1|%2").arg(c + 1).arg(c % 10);
            for (int s = 0; s < 99; ++s)
                large << QStringLiteral("1|Section %1.%2|%3").arg(c + 1).arg(s + 1).arg((c + s) % 10);
        }
        QTest::newRow("10,000 entries") << "outline-10000.pdf" << large << 0;
    }

    void wellFormedOutlinesAreReadWholeAndInOrder()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, tree);
        QFETCH(int, unsupported);
        auto engine = loaded(file);
        // A second read finds the same: nothing of the first walk lingers.
        for (int read = 0; read < 2; ++read) {
            MessageCapture capture;
            QStandardItem root;
            QVERIFY(engine->readBookmarks(&root));
            QCOMPARE(flatten(&root), tree);
            const QStringList lines = capture.warnings();
            QCOMPARE(lines.size(), unsupported);
            for (const QString &line : lines)
                QVERIFY2(line.contains(QRegularExpression(kError + "Unsupported action type:  0$")), qPrintable(line));
            QVERIFY(capture.debugs().isEmpty());
        }
    }

    // A walk may start at any entry, and each walk starts afresh: the second
    // one must not take the first one's entries for a loop.
    void walksBelowTheTopLevel()
    {
        auto engine = loaded("outline.pdf");
        QStandardItem whole;
        QVERIFY(engine->readBookmarks(&whole));
        const FPDF_BOOKMARK chapter = pdfiumspy::counts().firstTitled;
        QVERIFY(chapter);
        for (int walk = 0; walk < 2; ++walk) {
            MessageCapture capture;
            QStandardItem parent;
            bool abort = false;
            engine->readBookmarksHelper(&parent, chapter, 1, abort);
            QVERIFY(!abort);
            QCOMPARE(flatten(&parent), kFullOutline.mid(1, 3));
            QVERIFY(capture.messages().isEmpty());
        }
        QStandardItem again;
        QVERIFY(engine->readBookmarks(&again));
        QCOMPARE(flatten(&again), kFullOutline);
    }

    void incompleteReads_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("quitAt"); // title call that brings a quit request; -2: before the walk
        QTest::addColumn<int>("failAt"); // title call that pdfium answers with result
        QTest::addColumn<unsigned long>("result");
        QTest::addColumn<QStringList>("tree"); // the tree read, or what a bounded read starts with
        QTest::addColumn<int>("atLeast");
        QTest::addColumn<QStringList>("lines"); // every message but the unsupported actions
        auto row = [](const char *name, const QString &file, const QStringList &tree, const QStringList &lines,
                      int quitAt = -1, int failAt = -1, unsigned long result = 0, int atLeast = -1) {
            QTest::newRow(name) << file << quitAt << failAt << result << tree
                                << (atLeast < 0 ? int(tree.size()) : atLeast) << lines;
        };
        const QString getFailed = kError + "Failed to get bookmark title\\.$";
        const QString quitting = kDebug + "read bookmarks quitting$";
        // Section 1.1 fails: Chapter 1 keeps no children and the untitled
        // entry after Section 1.1 is not read; the top level goes on to its
        // end, but its entries no longer get their children.
        QStringList cutShort = kFullOutline;
        cutShort.removeLast();
        cutShort.remove(1, 3);
        row("nested title length", "outline.pdf", cutShort, {getFailed}, -1, 2, 0);
        row("nested title read", "outline.pdf", cutShort, {kError + "Failed to read bookmark title\\.$"}, -1, 3, 4);
        row("first title length", "outline.pdf", {}, {getFailed}, -1, 0, 0);
        row("quit before the walk", "outline.pdf", {}, {quitting}, -2);
        // The entry being read when the request comes is kept; its children
        // and the entries after it are not read.
        row("quit during the walk", "outline.pdf", {"0|Chapter 1|0"},
            {quitting, kDebug + "read bookmarks quitting 2$"}, 0);
        row("siblings loop back", "outline-sibling-loop.pdf", {"0|A|0", "0|B|0", "0|C|0"}, {kError});
        // The branch stops where it links back; the top level still ends
        // with the entry after it.
        row("child is an ancestor", "outline-child-loop.pdf", {"0|A|0", "1|B|0", "2|C|0", "0|After|0"}, {kError});
        // Cut off far deeper than any real outline, far short of the document.
        QStringList deep;
        for (int level = 0; level < 5000; ++level)
            deep << QStringLiteral("%1|Level %1|0").arg(level);
        row("5000 levels", "outline-deep-5000.pdf", deep, {kError}, -1, -1, 0, 100);
    }

    void incompleteReads()
    {
        QFETCH(QString, file);
        QFETCH(int, quitAt);
        QFETCH(int, failAt);
        QFETCH(unsigned long, result);
        QFETCH(QStringList, tree);
        QFETCH(int, atLeast);
        QFETCH(QStringList, lines);
        auto engine = loaded(file);
        g_quitAt = quitAt;
        g_failAt = failAt;
        g_result = result;
        pdfiumspy::counts().titleFilter = [](int call, unsigned long real) {
            if (call == g_quitAt)
                QThread::currentThread()->requestInterruption();
            return call == g_failAt ? g_result : real;
        };
        MessageCapture capture;
        QStandardItem root;
        bool complete = true;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            if (quitAt == -2)
                QThread::currentThread()->requestInterruption();
            complete = engine->readBookmarks(&root);
        }));
        thread->start();
        thread->wait();
        QVERIFY(!complete);
        const QStringList read = flatten(&root);
        QVERIFY2(read.size() >= atLeast, qPrintable(QString::number(read.size())));
        QCOMPARE(read, tree.mid(0, read.size()));
        QStringList messages;
        for (const auto &message : capture.messages()) {
            if (!message.text.contains("Unsupported action type"))
                messages << message.text;
        }
        QCOMPARE(messages.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(QRegularExpression(lines[i]).match(messages[i]).hasMatch(), qPrintable(messages[i]));
    }
};

QTEST_GUILESS_MAIN(TestOutline)
#include "tst_outline.moc"
