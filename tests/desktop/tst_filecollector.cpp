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

    QString path(const QString &name = QString()) const
    {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }

    void add(const QString &entry)
    {
        QFile file(path(entry));
        const bool made = entry.endsWith('/') ? QDir(m_dir.path()).mkpath(entry)
                                              : file.open(QIODevice::WriteOnly) && file.write("x") == 1;
        QVERIFY2(made, qPrintable(entry));
    }

    // Adds entry and returns once the change has reached the event loop: a
    // watcher of our own on the folder has heard of it, so any other has too.
    void addAndSettle(const QString &entry)
    {
        QFileSystemWatcher witness({path()});
        QSignalSpy heard(&witness, &QFileSystemWatcher::directoryChanged);
        add(entry);
        QTRY_VERIFY(!heard.isEmpty());
        QCoreApplication::processEvents();
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
    return spy.isEmpty() ? Pair() : Pair(spy.last().at(0).toString(), spy.last().at(1).toString());
}

} // namespace

class tst_FileCollector : public QObject
{
    Q_OBJECT

private slots:
    void listing()
    {
        const QMetaObject &mo = FileCollector::staticMetaObject;
        const QMetaMethod signal = mo.method(mo.methodOffset());
        QCOMPARE(signal.parameterNames(), (QList<QByteArray>{"pre", "next"}));

        Folder folder({"c.pdf", "B.PDF", "a.pdf", "e.Pdf", "d.txt", "pdf", "x.pdf.bak", ".hidden.pdf", "sub.pdf/"});
        const QStringList expected{"a.pdf", "B.PDF", "c.pdf", "e.Pdf"};
        QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("B.PDF"))), expected);
        // The current file need not exist for its siblings to be listed.
        QCOMPARE(names(FileCollector::GetSameTypeFileList(folder.path("zz.PdF"))), expected);

        MessageCapture capture;
        QVERIFY(FileCollector::GetSameTypeFileList(QString()).isEmpty());
        QCOMPARE(capture.warnings().size(), 1);
        // The warning ends at the function signature.
        const QRegularExpression warning(
            "^ERROR \\d+ \\S*filecollector\\.cpp "
            + QRegularExpression::escape("static QList<QFileInfo> FileCollector::GetSameTypeFileList(const QString&)")
            + '$');
        QVERIFY2(warning.match(capture.warnings().first()).hasMatch(), qPrintable(capture.warnings().first()));
    }

    void neighbours_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("current"); // in the folder, unless absolute
        QTest::addColumn<QString>("pre");
        QTest::addColumn<QString>("next");

        const QStringList four{"a.pdf", "B.PDF", "c.pdf", "d.pdf", "b.txt", ".e.pdf"};
        QTest::newRow("middle, ignoring case") << four << "B.PDF" << "a" << "c";
        QTest::newRow("first wraps back") << four << "a.pdf" << "d" << "B";
        QTest::newRow("last wraps forward") << four << "d.pdf" << "c" << "a";
        // A current file that is not listed gets the first entry both ways.
        QTest::newRow("deleted") << four << "gone.pdf" << "a" << "a";
        QTest::newRow("hidden") << four << ".e.pdf" << "a" << "a";
        QTest::newRow("not normalised") << four << "./c.pdf" << "a" << "a";

        const QStringList few{"one.png", "two.png", "three.jpg"};
        QTest::newRow("two files") << few << "two.png" << "one" << "one";
        QTest::newRow("only the current file") << few << "three.jpg" << "" << "";
        QTest::newRow("nothing of the kind") << few << "missing.gif" << "" << "";
        QTest::newRow("no such folder") << few << "no/such.png" << "" << "";
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
        QTest::newRow("folder wraps") << folders << "alpha" << "v1.2" << "Beta";
        QTest::newRow("root") << QStringList() << QDir::rootPath() << "" << "";
    }

    void neighbours()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, current);
        QFETCH(QString, pre);
        QFETCH(QString, next);
        Folder folder(entries);
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(QDir::isAbsolutePath(current) ? current : folder.path(current));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(lastEmission(spy), Pair(pre, next));
    }

    void folderChangesEmitAgain()
    {
        Folder folder({"a.pdf", "b.pdf", "c.pdf"});
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(folder.path("b.pdf"));
        QCOMPARE(lastEmission(spy), Pair("a", "c"));

        // An unrelated file: emitted again with the same neighbours.
        folder.add("unrelated.txt");
        QTRY_VERIFY(spy.size() >= 2);
        QCOMPARE(lastEmission(spy), Pair("a", "c"));

        folder.add("bb.pdf");
        QTRY_COMPARE(lastEmission(spy), Pair("a", "bb"));
        QVERIFY(QFile::remove(folder.path("a.pdf")));
        QVERIFY(QFile::remove(folder.path("c.pdf")));
        QTRY_COMPARE(lastEmission(spy), Pair("bb", "bb"));
    }

    void onlyTheCurrentFolderIsWatched()
    {
        Folder first({"a.pdf", "b.pdf"});
        Folder second({"x.pdf", "y.pdf", "z.pdf"});
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(first.path("a.pdf"));
        collector.setCurrentFile(second.path("y.pdf"));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(lastEmission(spy), Pair("x", "z"));
        QCOMPARE(collector.findChildren<QFileSystemWatcher *>().size(), 1);
        first.addAndSettle("c.pdf");
        QCOMPARE(spy.size(), 2);

        // Neither a reset collector nor one given an empty path reports anything.
        collector.reset();
        second.addAndSettle("w.pdf");
        collector.updateSiblingFiles();
        collector.setCurrentFile(QString());
        QCOMPARE(spy.size(), 2);
    }
};

QTEST_GUILESS_MAIN(tst_FileCollector)
#include "tst_filecollector.moc"
