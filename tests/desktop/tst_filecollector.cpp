#include "filecollector.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Makes the entries in dir; names ending in "/" become folders.
void fill(const QTemporaryDir &dir, const QStringList &entries)
{
    for (const QString &entry : entries) {
        QFile file(dir.filePath(entry));
        const bool made = entry.endsWith('/') ? QDir(dir.path()).mkpath(entry) : file.open(QIODevice::WriteOnly);
        QVERIFY2(made, qPrintable(entry));
    }
}

// Adds entry and returns once the change has reached the event loop: a
// watcher of our own on the folder has heard of it, so any other has too.
void addAndSettle(const QTemporaryDir &dir, const QString &entry)
{
    QFileSystemWatcher witness({dir.path()});
    QSignalSpy heard(&witness, &QFileSystemWatcher::directoryChanged);
    fill(dir, {entry});
    QTRY_VERIFY(!heard.isEmpty());
    QCoreApplication::processEvents();
}

} // namespace

class tst_FileCollector : public QObject
{
    Q_OBJECT

private slots:
    void neighbours_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("current"); // in the folder, unless absolute
        QTest::addColumn<QString>("pre");
        QTest::addColumn<QString>("next");

        const QStringList four{"a.pdf", "B.PDF", "c.pdf", "d.pdf", "b.txt", "x.pdf.bak", "sub.pdf/"};
        QTest::newRow("middle, ignoring case") << four << "B.PDF" << "a" << "c";
        QTest::newRow("first wraps back") << four << "a.pdf" << "d" << "B";
        QTest::newRow("last wraps forward") << four << "d.pdf" << "c" << "a";
        // A current file that is not listed gets the first entry both ways.
        QTest::newRow("deleted") << four << "gone.pdf" << "a" << "a";

        const QStringList few{"one.png", "two.png", "three.jpg"};
        QTest::newRow("two files") << few << "two.png" << "one" << "one";
        QTest::newRow("only the current file") << few << "three.jpg" << "" << "";
        // The filter "*." matches only names that end in a full stop.
        QTest::newRow("no suffix") << QStringList{"README", "LICENSE", "b.", "a.", "c.txt"} << "README" << "a" << "a";

        const QString name25(25, 'm');
        const QString name26 = QString(25, 'n') + 'N';
        const QStringList longNames{"a.pdf", "report.final.pdf", name25 + ".pdf", name26 + ".pdf"};
        QTest::newRow("last suffix dropped") << longNames << "a.pdf" << "report.final" << name25;
        QTest::newRow("shortened at 26") << longNames << name25 + ".pdf" << "a" << QString(23, 'n') + "...";

        // Folders: the sub-folders of the parent, by their whole names.
        const QStringList folders{"alpha/", "Beta/", "v1.2/", "notes.txt", "zeta.pdf"};
        QTest::newRow("folder") << folders << "Beta" << "alpha" << "v1.2";
        QTest::newRow("root") << QStringList() << QDir::rootPath() << "" << "";
    }

    void neighbours()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, current);
        QFETCH(QString, pre);
        QFETCH(QString, next);
        QTemporaryDir folder;
        fill(folder, entries);
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(QDir::isAbsolutePath(current) ? current : folder.filePath(current));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.last(), (QVariantList{pre, next}));
    }

    void folderChangesEmitAgain()
    {
        QTemporaryDir folder;
        fill(folder, {"a.pdf", "b.pdf", "c.pdf"});
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(folder.filePath("b.pdf"));
        fill(folder, {"bb.pdf"});
        QTRY_COMPARE(spy.last(), (QVariantList{"a", "bb"}));
        QVERIFY(QFile::remove(folder.filePath("a.pdf")));
        QVERIFY(QFile::remove(folder.filePath("c.pdf")));
        QTRY_COMPARE(spy.last(), (QVariantList{"bb", "bb"}));
    }

    void onlyTheCurrentFolderIsWatched()
    {
        QTemporaryDir first, second;
        fill(first, {"a.pdf", "b.pdf"});
        fill(second, {"x.pdf", "y.pdf", "z.pdf"});
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(first.filePath("a.pdf"));
        collector.setCurrentFile(second.filePath("y.pdf"));
        QCOMPARE(spy.size(), 2);
        addAndSettle(first, "c.pdf");
        QCOMPARE(spy.size(), 2);

        // Neither a reset collector nor one given an empty path reports anything.
        collector.reset();
        addAndSettle(second, "w.pdf");
        collector.updateSiblingFiles();
        collector.setCurrentFile(QString());
        QCOMPARE(spy.size(), 2);
    }
};

QTEST_GUILESS_MAIN(tst_FileCollector)
#include "tst_filecollector.moc"
