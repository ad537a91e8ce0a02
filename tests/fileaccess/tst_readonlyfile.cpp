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

private:
    QTemporaryDir m_dir;

    QString makeFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot create %s", qPrintable(path));
        f.write(content);
        return path;
    }

private slots:
    void openAndReopen()
    {
        MessageCapture capture;
        ReadOnlyFile file;
        QVERIFY(!file.open(QString()));
        QCOMPARE(capture.warnings().size(), 1);
        QVERIFY(capture.warnings().first().startsWith(QLatin1String("ERROR ")));
        QVERIFY(capture.warnings().first().endsWith(QLatin1String(" empty path")));
        QVERIFY(capture.warnings().first().contains(
            QLatin1String("bool ReadOnlyFile::open(const QString&)")));
        QVERIFY(!file.isOpen());

        const QString path = makeFile("reopen.bin", "0123456789");
        QVERIFY(file.open(path));
        QVERIFY(file.isOpen());
        QCOMPARE(file.size(), 10);
        char buf[4];
        QCOMPARE(file.read(buf, 4), 4);
        QCOMPARE(file.pos(), 4);

        // An empty path reopens the same file from the start, also after close.
        QVERIFY(file.open(QString()));
        QCOMPARE(file.pos(), 0);
        QCOMPARE(file.size(), 10);
        file.close();
        QVERIFY(file.open(QString()));
        QCOMPARE(file.read(buf, 4), 4);
        QCOMPARE(QByteArray(buf, 4), QByteArray("0123"));
    }

    void openFailuresReportWindowsErrors_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<quint32>("error");
        QTest::newRow("missing file") << "missing.bin" << 2u;
        QTest::newRow("missing folder") << "no-such-folder/missing.bin" << 3u;
        QTest::newRow("folder") << "." << 5u;
    }

    void openFailuresReportWindowsErrors()
    {
        QFETCH(QString, relative);
        QFETCH(quint32, error);
        const QString path = m_dir.filePath(relative);
        MessageCapture capture;
        ReadOnlyFile file;
        QVERIFY(!file.open(path));
        QVERIFY(!file.isOpen());
        QCOMPARE(file.size(), 0);
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        const QString expectedTail =
            QStringLiteral("CreateFileW failed: \"%1\" error: %2").arg(path).arg(error);
        QVERIFY2(warnings.first().endsWith(expectedTail), qPrintable(warnings.first()));
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

    void othersMayWriteRenameAndDeleteWhileOpen()
    {
        const QString path = makeFile("shared.bin", "original");
        ReadOnlyFile file;
        QVERIFY(file.open(path));
        QVERIFY(!file.isDeleted());

        QFile writer(path);
        QVERIFY(writer.open(QIODevice::ReadWrite));
        QCOMPARE(writer.write("OVER"), 4);
        writer.close();
        char buf[8];
        QCOMPARE(file.read(buf, 8), 8);
        QCOMPARE(QByteArray(buf, 8), QByteArray("OVERinal"));

        const QString renamed = m_dir.filePath("renamed.bin");
        QVERIFY(QFile::rename(path, renamed));
        QVERIFY(!file.isDeleted());

        QVERIFY(QFile::remove(renamed));
        QVERIFY(file.isDeleted());
        // The open handle keeps the bytes readable after the deletion.
        QVERIFY(file.seek(0));
        QCOMPARE(file.read(buf, 4), 4);
        QCOMPARE(QByteArray(buf, 4), QByteArray("OVER"));
    }

    void seekAndReadEdges()
    {
        const QString path = makeFile("edges.bin", "abcdef");
        ReadOnlyFile file;
        char buf[16];
        QVERIFY(!file.seek(0));
        QCOMPARE(file.read(buf, 3), -1);
        QVERIFY(file.isDeleted()); // a closed file counts as gone
        QVERIFY(file.open(path));

        MessageCapture capture;
        QVERIFY(file.seek(6)); // the end itself is a valid position
        QCOMPARE(file.read(buf, 16), 0);
        QVERIFY(file.seek(2));
        QVERIFY(!file.seek(7));
        QVERIFY(!file.seek(-1));
        QCOMPARE(file.pos(), 2);
        QCOMPARE(file.read(buf, 0), -1);
        QCOMPARE(file.read(buf, 16), 4); // a short read at the end is no error
        QCOMPARE(QByteArray(buf, 4), QByteArray("cdef"));
        QCOMPARE(file.pos(), 6);
        QVERIFY(capture.messages().isEmpty());

        file.close();
        file.close();
        QVERIFY(!file.isOpen());
        QCOMPARE(file.size(), 0);
        QCOMPARE(file.pos(), 0);
    }

    void sizeIsTakenAtOpen()
    {
        const QString path = makeFile("grow.bin", "1234");
        ReadOnlyFile file;
        QVERIFY(file.open(path));
        QFile grower(path);
        QVERIFY(grower.open(QIODevice::Append));
        grower.write("56789");
        grower.close();
        QCOMPARE(file.size(), 4);
        QVERIFY(!file.seek(5));
        QVERIFY(file.open(QString()));
        QCOMPARE(file.size(), 9);
        QVERIFY(file.seek(9));
    }
};

QTEST_GUILESS_MAIN(TestReadOnlyFile)
#include "tst_readonlyfile.moc"
