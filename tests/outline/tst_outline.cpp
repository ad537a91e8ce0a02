#include "enginetest.h"
#include "pdfiumspy.h"

#include <QStandardItem>

using testsupport::MessageCapture;

namespace {

// One line per item, depth-first in document order:
// "depth|title|page", then "|tool tip" where there is one.
QStringList flatten(const QStandardItem *parent)
{
    QStringList out;
    for (int row = 0; row < parent->rowCount(); ++row) {
        const QStandardItem *item = parent->child(row);
        QString line = QStringLiteral("%1|%2|%3")
                           .arg(item->data(OutlineDepthRole).toInt())
                           .arg(item->data(OutlineTitleRole).toString())
                           .arg(item->data(OutlinePageRole).toInt());
        if (item->data(Qt::ToolTipRole).isValid())
            line += '|' + item->toolTip();
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
const QString kDebug = enginetest::debugPrefix("outline");
const QString kError = QStringLiteral("^ERROR \\d+ \\S+ .*readBookmarksHelper\\(.*\\) ");
const QString kUnsupported = kError + "Unsupported action type:  0$";

// Title calls come in pairs, length then read, per entry in walk order:
// Chapter 1 makes calls 0 and 1, Section 1.1 calls 2 and 3.
int g_quitAt = -1;
int g_failAt = -1;

std::unique_ptr<QPdfium> loaded(const QString &file)
{
    auto engine = enginetest::engine(QLatin1String("outline"), file);
    pdfiumspy::reset();
    return engine;
}

} // namespace

class TestOutline : public QObject
{
    Q_OBJECT

private slots:
    // A read is complete unless a quit request or a failed title stopped it:
    // a loop or excess depth costs only the entries past it.
    void reads_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("tree"); // the tree read, or what a bounded read starts with
        QTest::addColumn<QStringList>("lines"); // every message
        QTest::addColumn<int>("quitAt"); // title call that brings a quit request; -2: before the walk
        QTest::addColumn<int>("failAt"); // title call that fails
        auto row = [](const char *name, const QString &file, const QStringList &tree, const QStringList &lines,
                      int quitAt = -1, int failAt = -1) {
            QTest::newRow(name) << file << tree << lines << quitAt << failAt;
        };
        // Script and Named have actions pdfium cannot classify.
        row("every kind of entry", "outline.pdf", kFullOutline, {kUnsupported, kUnsupported});
        // Section 1.1 fails: Chapter 1 keeps no children and the untitled
        // entry after Section 1.1 is not read; the top level goes on to its
        // end, but its entries no longer get their children.
        QStringList cutShort = kFullOutline;
        cutShort.removeLast();
        cutShort.remove(1, 3);
        row("nested title length", "outline.pdf", cutShort,
            {kError + "Failed to get bookmark title\\.$", kUnsupported, kUnsupported}, -1, 2);
        row("nested title read", "outline.pdf", cutShort,
            {kError + "Failed to read bookmark title\\.$", kUnsupported, kUnsupported}, -1, 3);
        const QString quitting = kDebug + "read bookmarks quitting$";
        row("quit before the walk", "outline.pdf", {}, {quitting}, -2);
        // The entry being read when the request comes is kept; its children
        // and the entries after it are not read.
        row("quit during the walk", "outline.pdf", {"0|Chapter 1|0"}, {quitting, kDebug + "read bookmarks quitting 2$"}, 0);
        row("siblings loop back", "outline-sibling-loop.pdf", {"0|A|0", "0|B|0", "0|C|0"}, {kError});
        // The branch stops where it links back; the top level still ends
        // with the entry after it.
        row("child is an ancestor", "outline-child-loop.pdf", {"0|A|0", "1|B|0", "2|C|0", "0|After|0"}, {kError});
        // Cut off far short of the document.
        QStringList deep;
        for (int level = 0; level < 5000; ++level)
            deep << QStringLiteral("%1|Level %1|0").arg(level);
        row("5000 levels", "outline-deep-5000.pdf", deep, {kError});
    }

    void reads()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, tree);
        QFETCH(QStringList, lines);
        QFETCH(int, quitAt);
        QFETCH(int, failAt);
        auto engine = loaded(file);
        g_quitAt = quitAt;
        g_failAt = failAt;
        // A failing length call answers 0, a failing read disagrees with it.
        pdfiumspy::counts().titleFilter = [](int call, unsigned long real) {
            if (call == g_quitAt)
                QThread::currentThread()->requestInterruption();
            return call != g_failAt ? real : call % 2 ? real + 2 : 0;
        };
        MessageCapture capture;
        QStandardItem root;
        bool complete = false;
        std::unique_ptr<QThread> thread(QThread::create([&] {
            if (quitAt == -2)
                QThread::currentThread()->requestInterruption();
            complete = engine->readBookmarks(&root);
        }));
        thread->start();
        thread->wait();
        QCOMPARE(complete, quitAt == -1 && failAt == -1);
        const QStringList items = flatten(&root);
        // A read cut short by depth still goes far deeper than real outlines do.
        QVERIFY2(items.size() >= qMin(tree.size(), qsizetype(100)), qPrintable(QString::number(items.size())));
        QCOMPARE(items, tree.mid(0, items.size()));
        enginetest::verifyLines(capture.matching(QString()), lines); // lines of every type
    }

    // A walk may start at any entry, and each walk starts afresh: it must not
    // take the entries an earlier walk saw for a loop.
    void walksBelowTheTopLevel()
    {
        auto engine = loaded("outline.pdf");
        QStandardItem whole;
        QVERIFY(engine->readBookmarks(&whole));
        const FPDF_BOOKMARK chapter = pdfiumspy::counts().firstTitled;
        for (int walk = 0; walk < 2; ++walk) {
            MessageCapture capture;
            QStandardItem parent;
            bool abort = false;
            engine->readBookmarksHelper(&parent, chapter, 1, abort);
            QVERIFY(!abort);
            QCOMPARE(flatten(&parent), kFullOutline.mid(1, 3));
            QVERIFY(capture.messages().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestOutline)
#include "tst_outline.moc"
