#include "sharedreadfile.h"
#include "testsupport.h"
#include "winapi.h"

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

    // Others may open the file for writing, rename it and delete it while
    // it is open, through the same calls the platform checks sharing in; a
    // handle that shares less would stop each of them.
    void othersMayWriteRenameAndDeleteWhileOpen()
    {
        const QString path = makeFile("shared.bin", "original");
        const QString moved = m_dir.filePath("moved.bin");
        const auto wide = [](const QString &p) { return reinterpret_cast<LPCWSTR>(p.utf16()); };
        constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        ReadOnlyFile file;
        QVERIFY(file.open(path));
        const HANDLE writer = CreateFileW(wide(path), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(writer != INVALID_HANDLE_VALUE);
        CloseHandle(writer);
        QFile overwrite(path);
        QVERIFY(overwrite.open(QIODevice::ReadWrite) && overwrite.write("OVER") == 4);
        overwrite.close();
        QVERIFY(MoveFileExW(wide(path), wide(moved), 0));
        QVERIFY(!file.isDeleted());
        QVERIFY(DeleteFileW(wide(moved)));
        QVERIFY(file.isDeleted());
        // The open handle keeps the bytes readable after the deletion.
        char buf[8];
        QCOMPARE(file.read(buf, 8), 8);
        QCOMPARE(QByteArray(buf, 8), QByteArray("OVERinal"));

        const QString locked = makeFile("locked.bin", "x");
        const HANDLE reader = CreateFileW(wide(locked), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(reader != INVALID_HANDLE_VALUE);
        QCOMPARE(CreateFileW(wide(locked), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr),
                 INVALID_HANDLE_VALUE);
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        QVERIFY(!MoveFileExW(wide(locked), wide(moved), 0));
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        QVERIFY(!DeleteFileW(wide(locked)));
        QCOMPARE(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
        CloseHandle(reader);
        QVERIFY(DeleteFileW(wide(locked)));
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
