#include "filecollector.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileSystemWatcher>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using testsupport::MessageCapture;

namespace {

// A folder filled with the given entries; names ending in "/" become folders.
class Folder
{
public:
    explicit Folder(const QStringList &entries = {})
    {
        for (const QString &entry : entries)
            add(entry);
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path(const QString &name = QString()) const
    {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }

    void add(const QString &entry)
    {
        if (entry.endsWith('/')) {
            QDir(m_dir.path()).mkpath(entry);
            return;
        }
        QFile file(path(entry));
        if (file.open(QIODevice::WriteOnly))
            file.write("x");
    }

private:
    QTemporaryDir m_dir;
};

QStringList names(const QList<QFileInfo> &list)
{
    QStringList out;
    for (const QFileInfo &info : list)
        out << info.fileName();
    return out;
}

using Pair = QPair<QString, QString>;

Pair lastEmission(const QSignalSpy &spy)
{
    if (spy.isEmpty())
        return {};
    const QList<QVariant> &args = spy.last();
    return {args.at(0).toString(), args.at(1).toString()};
}

// Neighbours reported when path becomes current, or "<none>" when nothing is emitted.
Pair neighboursOf(const QString &path)
{
    FileCollector collector;
    QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
    collector.setCurrentFile(path);
    if (spy.size() != 1)
        return {QStringLiteral("<%1 emissions>").arg(spy.size()), QString()};
    return lastEmission(spy);
}

} // namespace

class tst_FileCollector : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasOnlyTheSignal();
    void listingIgnoresCaseAndOtherTypes();
    void listingOfEmptyPath();
    void neighboursWrapAround_data();
    void neighboursWrapAround();
    void fewSiblings();
    void displayNamesAreShortened();
    void fileWithoutSuffix();
    void unlistedCurrentFileGetsTheFirstEntry();
    void foldersAsCurrentEntries();
    void rootHasNoSiblings();
    void folderChangesEmitAgain();
    void newCurrentFileReplacesTheWatcher();
    void resetStopsEmitting();
    void emptyPathEmitsNothing();
};

void tst_FileCollector::metaObjectHasOnlyTheSignal()
{
    const QMetaObject &mo = FileCollector::staticMetaObject;
    QCOMPARE(mo.className(), "FileCollector");
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    const QMetaMethod signal = mo.method(mo.methodOffset());
    QCOMPARE(signal.methodSignature(), QByteArray("sigSiblingFilesChanged(QString,QString)"));
    QCOMPARE(signal.methodType(), QMetaMethod::Signal);
    QCOMPARE(signal.parameterNames(), (QList<QByteArray>{"pre", "next"}));
}

void tst_FileCollector::listingIgnoresCaseAndOtherTypes()
{
    Folder folder({"c.pdf", "B.PDF", "a.pdf", "e.Pdf", "d.txt", "pdf", "x.pdf.bak", ".hidden.pdf", "sub.pdf/"});
    QVERIFY(folder.isValid());
    const QStringList expected{"a.pdf", "B.PDF", "c.pdf", "e.Pdf"};
    QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("B.PDF"))), expected);
    // The current file need not exist for its siblings to be listed.
    QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("zz.PdF"))), expected);
    // Entries come with absolute paths.
    QCOMPARE(FileCollector::GetSameTypeFileList(folder.path("a.pdf")).first().absoluteFilePath(),
             QDir(folder.path()).absoluteFilePath("a.pdf"));
    QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("d.txt"))), QStringList{"d.txt"});
    // A folder that does not exist lists nothing.
    QVERIFY(FileCollector::GetSameTypeFileList(folder.path("gone/a.pdf")).isEmpty());
}

void tst_FileCollector::listingOfEmptyPath()
{
    MessageCapture capture;
    QVERIFY(FileCollector::GetSameTypeFileList(QString()).isEmpty());
    QCOMPARE(capture.warnings().size(), 1);
    // The warning ends at the function signature.
    const QRegularExpression expected(
        QStringLiteral("^ERROR \\d+ \\S*filecollector\\.cpp ")
        + QRegularExpression::escape("static QList<QFileInfo> FileCollector::GetSameTypeFileList(const QString&)")
        + '$');
    QVERIFY2(expected.match(capture.warnings().first()).hasMatch(), qPrintable(capture.warnings().first()));
}

void tst_FileCollector::neighboursWrapAround_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("pre");
    QTest::addColumn<QString>("next");
    QTest::newRow("middle") << "B.PDF" << "a" << "c";
    QTest::newRow("first") << "a.pdf" << "d" << "B";
    QTest::newRow("last") << "d.pdf" << "c" << "a";
}

void tst_FileCollector::neighboursWrapAround()
{
    QFETCH(QString, current);
    QFETCH(QString, pre);
    QFETCH(QString, next);
    Folder folder({"a.pdf", "B.PDF", "c.pdf", "d.pdf", "b.txt"});
    QCOMPARE(neighboursOf(folder.path(current)), Pair(pre, next));
}

void tst_FileCollector::fewSiblings()
{
    Folder two({"one.png", "two.png", "three.jpg"});
    QCOMPARE(neighboursOf(two.path("one.png")), Pair("two", "two"));
    QCOMPARE(neighboursOf(two.path("two.png")), Pair("one", "one"));

    // Only the current file, or nothing at all.
    QCOMPARE(neighboursOf(two.path("three.jpg")), Pair());
    QCOMPARE(neighboursOf(two.path("missing.gif")), Pair());
    QCOMPARE(neighboursOf(two.path("no/such/folder.png")), Pair());
}

void tst_FileCollector::displayNamesAreShortened()
{
    const QString name25 = QString(25, 'm');
    const QString name26 = QString(25, 'n') + 'N';
    const QString name30 = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123");
    Folder folder({"a.pdf", "report.final.pdf", name25 + ".pdf", name26 + ".pdf", name30 + ".pdf"});

    // Sorted: a, abcd..., mmm..., nnn..., report.final
    QCOMPARE(neighboursOf(folder.path("a.pdf")), Pair("report.final", "abcdefghijklmnopqrstuvw..."));
    QCOMPARE(neighboursOf(folder.path(name30 + ".pdf")), Pair("a", name25));
    QCOMPARE(neighboursOf(folder.path(name25 + ".pdf")),
             Pair("abcdefghijklmnopqrstuvw...", QString(23, 'n') + "..."));
    const Pair shortened = neighboursOf(folder.path(name25 + ".pdf"));
    QCOMPARE(shortened.first.length(), 26);
    QCOMPARE(shortened.second.length(), 26);
}

void tst_FileCollector::fileWithoutSuffix()
{
    Folder folder({"README", "LICENSE", "b.", "a.", "c.txt"});
    // The filter is "*.": only names ending in a full stop match, and the
    // current file itself is not among them.
    QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("README"))), (QStringList{"a.", "b."}));
    QCOMPARE(neighboursOf(folder.path("README")), Pair("a", "a"));
    QCOMPARE(neighboursOf(folder.path("b.")), Pair("a", "a"));
}

void tst_FileCollector::unlistedCurrentFileGetsTheFirstEntry()
{
    Folder folder({"a.pdf", "b.pdf", "c.pdf", ".d.pdf"});

    // Listing paths are absolute; a relative spelling of the same file does
    // not match any of them.
    const QString previousCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    const Pair relative = neighboursOf(QStringLiteral("b.pdf"));
    QVERIFY(QDir::setCurrent(previousCurrent));
    QCOMPARE(relative, Pair("a", "a"));

    QCOMPARE(neighboursOf(folder.path("./b.pdf")), Pair("a", "a"));
    QCOMPARE(neighboursOf(folder.path(".d.pdf")), Pair("a", "a")); // hidden
    QCOMPARE(neighboursOf(folder.path("deleted.pdf")), Pair("a", "a"));
    QCOMPARE(neighboursOf(folder.path("b.pdf")), Pair("a", "c"));
}

void tst_FileCollector::foldersAsCurrentEntries()
{
    Folder folder({"alpha/", "Beta/", "v1.2/", "notes.txt", "zeta.pdf"});
    QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("Beta"))), (QStringList{"alpha", "Beta", "v1.2"}));
    // Folders are shown by their whole names.
    QCOMPARE(neighboursOf(folder.path("Beta")), Pair("alpha", "v1.2"));
    QCOMPARE(neighboursOf(folder.path("alpha")), Pair("v1.2", "Beta"));
}

void tst_FileCollector::rootHasNoSiblings()
{
    QVERIFY(FileCollector::GetSameTypeFileList(QDir::rootPath()).isEmpty());
    QCOMPARE(neighboursOf(QDir::rootPath()), Pair());
}

void tst_FileCollector::folderChangesEmitAgain()
{
    Folder folder({"a.pdf", "b.pdf", "c.pdf"});
    FileCollector collector;
    QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
    collector.setCurrentFile(folder.path("b.pdf"));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(lastEmission(spy), Pair("a", "c"));

    // An unrelated file: emitted again with the same neighbours.
    folder.add("unrelated.txt");
    QTRY_VERIFY(spy.size() >= 2);
    QCOMPARE(lastEmission(spy), Pair("a", "c"));

    // A new sibling between b and c.
    folder.add("bb.pdf");
    QTRY_COMPARE(lastEmission(spy), Pair("a", "bb"));

    // Renamed and removed siblings.
    QVERIFY(QFile::rename(folder.path("a.pdf"), folder.path("aa.pdf")));
    QTRY_COMPARE(lastEmission(spy), Pair("aa", "bb"));
    QVERIFY(QFile::remove(folder.path("bb.pdf")));
    QTRY_COMPARE(lastEmission(spy), Pair("aa", "c"));
    QVERIFY(QFile::remove(folder.path("aa.pdf")));
    QVERIFY(QFile::remove(folder.path("c.pdf")));
    QTRY_COMPARE(lastEmission(spy), Pair());
}

void tst_FileCollector::newCurrentFileReplacesTheWatcher()
{
    Folder first({"a.pdf", "b.pdf"});
    Folder second({"x.pdf", "y.pdf", "z.pdf"});
    FileCollector collector;
    QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
    collector.setCurrentFile(first.path("a.pdf"));
    collector.setCurrentFile(second.path("y.pdf"));
    QCOMPARE(spy.size(), 2);
    QCOMPARE(lastEmission(spy), Pair("x", "z"));

    // One watcher, on the new folder only.
    const QList<QFileSystemWatcher *> watchers = collector.findChildren<QFileSystemWatcher *>();
    QCOMPARE(watchers.size(), 1);
    QCOMPARE(watchers.first()->directories(), QStringList{QDir(second.path()).absolutePath()});

    second.add("w.pdf");
    QTRY_COMPARE(lastEmission(spy), Pair("x", "z"));
    QTRY_VERIFY(spy.size() >= 3);
}

void tst_FileCollector::resetStopsEmitting()
{
    Folder folder({"a.pdf", "b.pdf"});
    FileCollector collector;
    QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
    collector.setCurrentFile(folder.path("a.pdf"));
    QCOMPARE(spy.size(), 1);
    collector.reset();
    QVERIFY(collector.findChildren<QFileSystemWatcher *>().isEmpty());

    // A watcher of our own on the same folder shows when the change has been
    // delivered; by then the collector would have heard of it too.
    QFileSystemWatcher witness({folder.path()});
    QSignalSpy witnessSpy(&witness, &QFileSystemWatcher::directoryChanged);
    folder.add("c.pdf");
    QTRY_VERIFY(!witnessSpy.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(spy.size(), 1);

    // updateSiblingFiles without a current file is silent as well.
    collector.updateSiblingFiles();
    QCOMPARE(spy.size(), 1);
}

void tst_FileCollector::emptyPathEmitsNothing()
{
    Folder folder({"a.pdf", "b.pdf"});
    FileCollector collector;
    QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
    MessageCapture capture;
    collector.setCurrentFile(folder.path("a.pdf"));
    collector.setCurrentFile(QString());
    QCOMPARE(spy.size(), 1);
    QVERIFY(capture.warnings().isEmpty());
    // The empty path still replaced the watcher of the folder before.
    const QList<QFileSystemWatcher *> watchers = collector.findChildren<QFileSystemWatcher *>();
    QCOMPARE(watchers.size(), 1);
    QVERIFY(!watchers.first()->directories().contains(QDir(folder.path()).absolutePath()));
}

QTEST_GUILESS_MAIN(tst_FileCollector)
#include "tst_filecollector.moc"
