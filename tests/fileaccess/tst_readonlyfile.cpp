#include "sharedreadfile.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using testsupport::MessageCapture;

class TestReadOnlyFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString makeFile(const QString &name, const QByteArray &content)
    {
        QFile f(m_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot create %s", qPrintable(f.fileName()));
        return f.fileName();
    }

private slots:
    void openFailuresAreReported()
    {
        const QString missing = m_dir.filePath("missing.bin");
        MessageCapture capture;
        ReadOnlyFile file;
        QVERIFY(!file.open(QString()));
        QVERIFY(!file.open(missing));
        QVERIFY(!file.isOpen());
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings[0].endsWith("bool ReadOnlyFile::open(const QString&) empty path"), qPrintable(warnings[0]));
        QVERIFY2(warnings[1].endsWith("CreateFileW failed: \"" + missing + "\" error: 2"), qPrintable(warnings[1]));
    }

    // An empty path reopens the last file from the start, also after close.
    // The size is the one seen at open, however the file grows meanwhile.
    void reopenAndSizeTakenAtOpen()
    {
        const QString path = makeFile("grow.bin", "0123");
        ReadOnlyFile file;
        QVERIFY(file.open(path));
        char buf[16];
        QCOMPARE(file.read(buf, 2), 2);
        QFile grower(path);
        QVERIFY(grower.open(QIODevice::Append) && grower.write("456789") == 6);
        grower.close();
        QCOMPARE(file.size(), 4);
        QVERIFY(!file.seek(5));

        QVERIFY(file.open(QString()));
        QCOMPARE(file.pos(), 0);
        QCOMPARE(file.size(), 10);
        file.close();
        QVERIFY(file.open(QString()));
        QCOMPARE(file.read(buf, 16), 10);
        QCOMPARE(QByteArray(buf, 10), QByteArray("0123456789"));
    }

    // A named pipe nobody writes to must not hold the open up (the test would
    // run into its time limit): it opens, empty, like any file.
    void aNamedPipeOpensWithoutAWriter()
    {
        const QByteArray pipe = QFile::encodeName(m_dir.filePath("pipe"));
        QCOMPARE(::mkfifo(pipe.constData(), 0600), 0);
        ReadOnlyFile file;
        QVERIFY(file.open(QFile::decodeName(pipe)));
        QCOMPARE(file.size(), 0);
        char byte;
        QCOMPARE(file.read(&byte, 1), 0);
    }

    void othersMayWriteAndDeleteWhileOpen()
    {
        const QString path = makeFile("shared.bin", "original");
        ReadOnlyFile file;
        QVERIFY(file.open(path));
        QFile writer(path);
        QVERIFY(writer.open(QIODevice::ReadWrite) && writer.write("OVER") == 4);
        writer.close();
        QVERIFY(!file.isDeleted());
        QVERIFY(QFile::remove(path));
        QVERIFY(file.isDeleted());
        // The open handle keeps the bytes readable after the deletion.
        char buf[8];
        QCOMPARE(file.read(buf, 8), 8);
        QCOMPARE(QByteArray(buf, 8), QByteArray("OVERinal"));
    }

    void seekAndReadEdges()
    {
        ReadOnlyFile file;
        char buf[16];
        QVERIFY(!file.seek(0));
        QCOMPARE(file.read(buf, 3), -1);
        QVERIFY(file.isDeleted()); // a closed file counts as gone
        QVERIFY(file.open(makeFile("edges.bin", "abcdef")));

        MessageCapture capture;
        QVERIFY(file.seek(6)); // the end itself is a valid position
        QCOMPARE(file.read(buf, 16), 0);
        QVERIFY(file.seek(2));
        QVERIFY(!file.seek(7));
        QVERIFY(!file.seek(-1));
        QCOMPARE(file.read(buf, 0), -1);
        QCOMPARE(file.read(buf, 16), 4); // a short read at the end is no error
        QCOMPARE(QByteArray(buf, 4), QByteArray("cdef"));
        QCOMPARE(file.pos(), 6);
        QVERIFY(capture.messages().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestReadOnlyFile)
#include "tst_readonlyfile.moc"
