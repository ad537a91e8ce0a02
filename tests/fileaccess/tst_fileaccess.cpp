// Read-only, share-everything file access: the plain file, its QIODevice
// and its memory mapping, over the platform's file calls (the stand-in's on
// POSIX, which also counts the objects still open).

#include "sharedreadfile.h"
#include "testsupport.h"
#include "winapi.h"

#include <QtTest>

#include <sys/stat.h>

using testsupport::MessageCapture;

namespace {

// The error lines expected, each ending in the function signature and message.
void checkWarnings(const MessageCapture &capture, const QStringList &endings)
{
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), endings.size());
    for (int i = 0; i < warnings.size(); ++i)
        QVERIFY2(warnings[i].startsWith("ERROR ") && warnings[i].endsWith(endings[i]), qPrintable(warnings[i]));
}

const QString kMap = QStringLiteral("MapReadFile::map(qint64, qint64) ");
const QString kUnmap = QStringLiteral("void MapReadFile::unmap() ");

} // namespace

class TestFileAccess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_bytes; // 200000 bytes in a pattern that shifts every 251 bytes
    QString m_large;    // holds m_bytes

    QString makeFile(const QString &name, const QByteArray &content)
    {
        QFile f(m_dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot create %s", qPrintable(f.fileName()));
        return f.fileName();
    }

private slots:
    void initTestCase()
    {
        for (int i = 0; i < 200000; ++i)
            m_bytes += char((i * 7 + i / 251) & 0xff);
        m_large = makeFile("large", m_bytes);
        makeFile("ten", "0123456789");
        makeFile("empty", QByteArray());
    }

    void openFailuresAreReported()
    {
        const QString missing = m_dir.filePath("missing.bin");
        MessageCapture capture;
        ReadOnlyFile file;
        QVERIFY(!file.open(QString()));
        QVERIFY(!file.open(missing));
        QVERIFY(!file.isOpen() && file.isDeleted()); // a closed file counts as gone
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(warnings[0].endsWith("bool ReadOnlyFile::open(const QString&) empty path"), qPrintable(warnings[0]));
        QVERIFY2(warnings[1].endsWith("CreateFileW failed: \"" + missing + "\" error: 2"), qPrintable(warnings[1]));

        ReadOnlyIODevice device;
        QVERIFY(!device.open(QIODevice::ReadOnly));
        QCOMPARE(device.errorString(), QStringLiteral("ReadOnlyIODevice: no file name set"));
        QVERIFY(!device.openFile(missing));
        QCOMPARE(device.errorString(), "ReadOnlyIODevice: failed to open " + missing);
        QVERIFY(!device.isOpen());
        // At the end, readAll asks the device for nothing, and the file
        // refuses a read of nothing.
        QVERIFY(device.openFile(m_large));
        QVERIFY(device.seek(m_bytes.size()));
        QCOMPARE(device.readAll(), QByteArray());
        QCOMPARE(device.errorString(), QStringLiteral("ReadOnlyIODevice: read error"));
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

    void writesAreRefusedAndTheHandleReleased()
    {
        const int before = StandInOpenObjects();
        {
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_large));
            QCOMPARE(StandInOpenObjects(), before + 1);
            device.close();
            QCOMPARE(StandInOpenObjects(), before);
            // The name is kept, and the mode passed on as asked, so the write
            // reaches the device.
            QVERIFY(device.open(QIODevice::ReadWrite));
            QCOMPARE(device.write("spoil"), -1);
            QCOMPARE(StandInOpenObjects(), before + 1);
        }
        QCOMPARE(StandInOpenObjects(), before);
        QFile in(m_large);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), m_bytes);
    }

    // Someone cuts the file short while it is open: readers that loop until
    // atEnd must still come to an end, with the bytes that are there.
    void fileCutShortAfterOpen()
    {
        const QString path = makeFile("shrinking.bin", m_bytes);
        ReadOnlyIODevice device;
        QVERIFY(device.openFile(path));
        QByteArray got = device.read(100);
        QVERIFY(QFile::resize(path, 30000));
        for (int rounds = 0; !device.atEnd() && rounds < 100; ++rounds)
            got += device.read(4096);
        QCOMPARE(got, m_bytes.left(30000));
        QCOMPARE(device.bytesAvailable(), 0);

        // Seeking back finds the bytes that are still there.
        QVERIFY(device.seek(29990));
        QVERIFY(!device.atEnd());
        QCOMPARE(device.readAll(), m_bytes.mid(29990, 10));
    }

    void map_data()
    {
        QTest::addColumn<QString>("file"); // "closed": a file that is not open
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("mapped"); // 0: map fails with warning
        QTest::addColumn<QString>("warning");

        QTest::newRow("all, size 0") << "ten" << 0LL << 0LL << 10LL << QString();
        QTest::newRow("all, negative size") << "ten" << 0LL << -5LL << 10LL << QString();
        QTest::newRow("clamped at the end") << "ten" << 4LL << 100LL << 6LL << QString();
        QTest::newRow("offset at the end") << "ten" << 10LL << 1LL << 0LL << "MapReadFile: zero-length mapping";
        QTest::newRow("offset past the end") << "ten" << 11LL << 1LL << 0LL << "MapReadFile: invalid offset 11";
        QTest::newRow("negative offset") << "ten" << -1LL << 1LL << 0LL << "MapReadFile: invalid offset -1";
        QTest::newRow("empty file") << "empty" << 0LL << 10LL << 0LL << "MapReadFile: zero-length mapping";
        QTest::newRow("not open") << "closed" << 0LL << 0LL << 0LL << "MapReadFile: file not open";
        QTest::newRow("past a boundary") << "large" << 70000LL << 10LL << 10LL << QString();
        QTest::newRow("over two boundaries") << "large" << 60001LL << 77777LL << 77777LL << QString();
    }

    void map()
    {
        QFETCH(QString, file);
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        QFETCH(qint64, mapped);
        QFETCH(QString, warning);

        MapReadFile mapping;
        QVERIFY(file == "closed" || mapping.open(m_dir.filePath(file)));
        MessageCapture capture;
        const uchar *data = mapping.map(offset, size);
        QCOMPARE(mapping.mappedSize(), mapped);
        QCOMPARE(mapping.isMapped(), mapped > 0);
        if (!mapped) {
            QVERIFY(!data);
            checkWarnings(capture, {kMap + warning});
            return;
        }
        QVERIFY(capture.messages().isEmpty());
        QFile in(m_dir.filePath(file));
        QVERIFY(in.open(QIODevice::ReadOnly) && in.seek(offset));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), mapped), in.read(mapped));
    }

    // Every map releases the one before, even when it then fails; releasing
    // twice does nothing; the file goes last.
    void mappingsAreReleased()
    {
        const int before = StandInOpenObjects();
        {
            MapReadFile file;
            QVERIFY(file.open(m_large));
            QVERIFY(file.map(0, 100));
            QVERIFY(file.map(131072, 100));
            QCOMPARE(StandInOpenObjects(), before + 3); // file, mapping, view
            MessageCapture capture;
            QVERIFY(!file.map(300000, 1));
            QVERIFY(!file.isMapped());
            QCOMPARE(StandInOpenObjects(), before + 1);
            QVERIFY(file.map(3, 3));
            file.unmap();
            file.unmap();
            QCOMPARE(StandInOpenObjects(), before + 1);
            QVERIFY(file.map(3, 3)); // the file itself stays open
        }
        QCOMPARE(StandInOpenObjects(), before);
    }

    // Whichever call fails, the state ends with nothing mapped and nothing
    // left to release, and the failure is reported as it was.
    void platformFailures_data()
    {
        QTest::addColumn<QStringList>("calls"); // the calls that fail, with error 5, 8, 487, 6 in turn
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("mapping object") << QStringList{"CreateFileMappingW"}
                                        << QStringList{kMap + " CreateFileMappingW failed: error 5"};
        QTest::newRow("view") << QStringList{"", "MapViewOfFile"} << QStringList{kMap + " MapViewOfFile failed: error 8"};
        QTest::newRow("release") << QStringList{"", "", "UnmapViewOfFile", "CloseHandle"}
                                 << QStringList{kUnmap + "UnmapViewOfFile failed: 487",
                                                kUnmap + "CloseHandle(map_handle) failed: 6"};
    }

    void platformFailures()
    {
        QFETCH(QStringList, calls);
        QFETCH(QStringList, warnings);
        MapReadFile file;
        QVERIFY(file.open(m_dir.filePath("ten")));
        const int before = StandInOpenObjects();
        const DWORD errors[] = {5, 8, 487, 6};
        for (int i = 0; i < calls.size(); ++i) {
            if (!calls[i].isEmpty())
                StandInFailNextCall(qPrintable(calls[i]), errors[i]);
        }
        MessageCapture capture;
        QCOMPARE(file.map(0, 0) != nullptr, calls.size() > 2);
        file.unmap();
        file.unmap();
        QVERIFY(!file.isMapped());
        QCOMPARE(file.mappedSize(), 0);
        QCOMPARE(StandInOpenObjects(), before);
        checkWarnings(capture, warnings);
    }
};

QTEST_GUILESS_MAIN(TestFileAccess)
#include "tst_fileaccess.moc"
