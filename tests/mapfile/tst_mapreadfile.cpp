#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using testsupport::MessageCapture;

// The mapping calls of the Windows stand-in pass through the wrappers below
// (the test is linked with --wrap on their C++ symbol names), so that a test
// can see their arguments and order, and make one of them fail.
namespace calls {
std::mutex mutex;
QStringList events;
std::set<HANDLE> mappings;
std::atomic<int> systemInfo{0};
quint64 lastViewOffset = 0;
SIZE_T lastViewLength = 0;
// Windows error codes to fail the next call with; 0 lets the call through.
DWORD failCreateMapping = 0;
DWORD failMapView = 0;
DWORD failUnmap = 0;
DWORD failCloseMapping = 0;

void note(const QString &event)
{
    std::lock_guard<std::mutex> lock(mutex);
    events << event;
}

QStringList take()
{
    std::lock_guard<std::mutex> lock(mutex);
    const QStringList out = events;
    events.clear();
    return out;
}

void reset()
{
    take();
    failCreateMapping = failMapView = failUnmap = failCloseMapping = 0;
    lastViewOffset = 0;
    lastViewLength = 0;
}
} // namespace calls

extern "C" {
HANDLE __real__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(HANDLE, SECURITY_ATTRIBUTES *, DWORD, DWORD, DWORD, LPCWSTR);
LPVOID __real__Z13MapViewOfFilePvjjjm(HANDLE, DWORD, DWORD, DWORD, SIZE_T);
BOOL __real__Z15UnmapViewOfFilePKv(LPCVOID);
BOOL __real__Z11CloseHandlePv(HANDLE);
void __real__Z13GetSystemInfoP11SYSTEM_INFO(SYSTEM_INFO *);

HANDLE __wrap__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(
    HANDLE file, SECURITY_ATTRIBUTES *attributes, DWORD protect, DWORD high, DWORD low, LPCWSTR name)
{
    calls::note("CreateFileMapping");
    if (calls::failCreateMapping) {
        SetLastError(calls::failCreateMapping);
        return nullptr;
    }
    HANDLE mapping = __real__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(
        file, attributes, protect, high, low, name);
    std::lock_guard<std::mutex> lock(calls::mutex);
    calls::mappings.insert(mapping);
    return mapping;
}

LPVOID __wrap__Z13MapViewOfFilePvjjjm(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T length)
{
    calls::note("MapView");
    calls::lastViewOffset = (quint64(high) << 32) | low;
    calls::lastViewLength = length;
    if (calls::failMapView) {
        SetLastError(calls::failMapView);
        return nullptr;
    }
    return __real__Z13MapViewOfFilePvjjjm(mapping, access, high, low, length);
}

// Injected failures still release the view or handle, so nothing leaks.
BOOL __wrap__Z15UnmapViewOfFilePKv(LPCVOID view)
{
    calls::note("UnmapView");
    const BOOL ok = __real__Z15UnmapViewOfFilePKv(view);
    if (calls::failUnmap) {
        SetLastError(calls::failUnmap);
        return FALSE;
    }
    return ok;
}

BOOL __wrap__Z11CloseHandlePv(HANDLE handle)
{
    bool isMapping;
    {
        std::lock_guard<std::mutex> lock(calls::mutex);
        isMapping = calls::mappings.erase(handle) > 0;
    }
    calls::note(isMapping ? "CloseMapping" : "CloseFile");
    const BOOL ok = __real__Z11CloseHandlePv(handle);
    if (isMapping && calls::failCloseMapping) {
        SetLastError(calls::failCloseMapping);
        return FALSE;
    }
    return ok;
}

void __wrap__Z13GetSystemInfoP11SYSTEM_INFO(SYSTEM_INFO *info)
{
    ++calls::systemInfo;
    __real__Z13GetSystemInfoP11SYSTEM_INFO(info);
}
}

namespace {

QByteArray pattern(qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// One error line of map(): location and signature, then the message.
QRegularExpression mapWarning(const QString &message)
{
    return QRegularExpression("^ERROR \\d+ \\S*sharedreadfile\\.cpp \\S+ MapReadFile::map\\(qint64, qint64\\) "
                              + QRegularExpression::escape(message) + "$");
}

QRegularExpression unmapWarning(const QString &message)
{
    return QRegularExpression("^ERROR \\d+ \\S*sharedreadfile\\.cpp void MapReadFile::unmap\\(\\) "
                              + QRegularExpression::escape(message) + "$");
}

} // namespace

class TestMapReadFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_ten;     // "0123456789"
    QString m_large;   // 200000 bytes of pattern()
    QString m_empty;
    QByteArray m_largeBytes;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_ten = write("ten.bin", "0123456789");
        m_largeBytes = pattern(200000);
        m_large = write("large.bin", m_largeBytes);
        m_empty = write("empty.bin", QByteArray());
    }

    void init() { calls::reset(); }

    // Runs first, so the granularity has not been asked for yet.
    void granularityIsAskedOnceEvenByRacingThreads()
    {
        QCOMPARE(calls::systemInfo.load(), 0);
        std::atomic<int> good{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([this, t, &good] {
                MapReadFile file;
                if (!file.open(m_large))
                    return;
                const qint64 offset = 70000 + t;
                const uchar *data = file.map(offset, 16);
                if (data && std::memcmp(data, m_largeBytes.constData() + offset, 16) == 0)
                    ++good;
            });
        }
        for (std::thread &thread : threads)
            thread.join();
        QCOMPARE(good.load(), 4);
        QCOMPARE(calls::systemInfo.load(), 1);

        MapReadFile again;
        QVERIFY(again.open(m_large));
        QVERIFY(again.map(131072, 1));
        QCOMPARE(calls::systemInfo.load(), 1);
    }

    void rangesOfASmallFile_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QByteArray>("expected"); // null: map fails
        QTest::addColumn<QString>("warning");

        QTest::newRow("whole, size 0") << 0LL << 0LL << QByteArray("0123456789") << QString();
        QTest::newRow("whole, negative size") << 0LL << -5LL << QByteArray("0123456789") << QString();
        QTest::newRow("whole, exact size") << 0LL << 10LL << QByteArray("0123456789") << QString();
        QTest::newRow("middle") << 4LL << 3LL << QByteArray("456") << QString();
        QTest::newRow("clamped at the end") << 4LL << 100LL << QByteArray("456789") << QString();
        QTest::newRow("last byte") << 9LL << 1LL << QByteArray("9") << QString();
        QTest::newRow("offset at the end") << 10LL << 1LL << QByteArray() << "MapReadFile: zero-length mapping";
        QTest::newRow("offset at the end, size 0") << 10LL << 0LL << QByteArray() << "MapReadFile: zero-length mapping";
        QTest::newRow("offset past the end") << 11LL << 1LL << QByteArray() << "MapReadFile: invalid offset 11";
        QTest::newRow("negative offset") << -1LL << 1LL << QByteArray() << "MapReadFile: invalid offset -1";
    }

    void rangesOfASmallFile()
    {
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        QFETCH(QByteArray, expected);
        QFETCH(QString, warning);

        MapReadFile file;
        QVERIFY(file.open(m_ten));
        MessageCapture capture;
        const uchar *data = file.map(offset, size);
        if (expected.isNull()) {
            QVERIFY(!data);
            QVERIFY(!file.isMapped());
            QVERIFY(!file.mappedData());
            QVERIFY(!file.mappedView());
            QCOMPARE(file.mappedSize(), 0);
            // Refused before any mapping object is made.
            QVERIFY(calls::take().isEmpty());
            const QStringList warnings = capture.warnings();
            QCOMPARE(warnings.size(), 1);
            QVERIFY2(mapWarning(warning).match(warnings[0]).hasMatch(), qPrintable(warnings[0]));
        } else {
            QVERIFY(data);
            QCOMPARE(file.mappedData(), data);
            QCOMPARE(file.mappedSize(), expected.size());
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), expected.size()), expected);
            // Below the first allocation boundary the view starts at byte 0.
            QCOMPARE(static_cast<const uchar *>(file.mappedView()) + offset, data);
            QCOMPARE(calls::lastViewOffset, 0ULL);
            QCOMPARE(calls::lastViewLength, SIZE_T(offset + expected.size()));
            QVERIFY(capture.messages().isEmpty());
        }
    }

    void emptyFileHasNothingToMap()
    {
        MapReadFile file;
        QVERIFY(file.open(m_empty));
        MessageCapture capture;
        QVERIFY(!file.map(0, 0));
        QVERIFY(!file.map(0, 10));
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        for (const QString &line : warnings)
            QVERIFY2(mapWarning("MapReadFile: zero-length mapping").match(line).hasMatch(), qPrintable(line));
        QVERIFY(calls::take().isEmpty());
    }

    void closedFileCannotBeMapped()
    {
        MapReadFile file;
        MessageCapture capture;
        QVERIFY(!file.map(0, 0));
        QVERIFY(file.open(m_ten));
        file.close();
        QVERIFY(!file.map(0, 0));
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        for (const QString &line : warnings)
            QVERIFY2(mapWarning("MapReadFile: file not open").match(line).hasMatch(), qPrintable(line));
    }

    void viewStartsAtTheAllocationBoundary()
    {
        MapReadFile file;
        QVERIFY(file.open(m_large));
        const uchar *data = file.map(70000, 10);
        QVERIFY(data);
        QCOMPARE(calls::lastViewOffset, 65536ULL);
        QCOMPARE(calls::lastViewLength, SIZE_T(4474));
        QCOMPARE(static_cast<const uchar *>(file.mappedView()) + 4464, data);
        QCOMPARE(file.mappedSize(), 10);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), 10), m_largeBytes.mid(70000, 10));
        // The whole view holds the file from the boundary on.
        QCOMPARE(QByteArray(static_cast<const char *>(file.mappedView()), 4474), m_largeBytes.mid(65536, 4474));
    }

    void mappedBytesEqualTheFile_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("size");
        QTest::newRow("all") << 0LL << 0LL;
        QTest::newRow("across a boundary") << 65535LL << 2LL;
        QTest::newRow("on a boundary to the end") << 131072LL << 0LL;
        QTest::newRow("last byte") << 199999LL << 1LL;
        QTest::newRow("odd range over two boundaries") << 60001LL << 77777LL;
    }

    void mappedBytesEqualTheFile()
    {
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        MapReadFile file;
        QVERIFY(file.open(m_large));
        const uchar *data = file.map(offset, size);
        QVERIFY(data);
        const qint64 length = size > 0 ? size : m_largeBytes.size() - offset;
        QCOMPARE(file.mappedSize(), length);
        QVERIFY(QByteArray::fromRawData(reinterpret_cast<const char *>(data), length)
                == m_largeBytes.mid(offset, length));
    }

    void offsetsBeyondFourGigabytes()
    {
        // A sparse file: only the bytes written take room on disk.
        const qint64 base = (qint64(1) << 32) + 70000;
        const QString path = m_dir.filePath("sparse.bin");
        {
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            if (!out.seek(base) || out.write("far away") != 8)
                QSKIP("no sparse files here");
        }
        MapReadFile file;
        QVERIFY(file.open(path));
        const uchar *data = file.map(base, 0);
        QVERIFY(data);
        QCOMPARE(calls::lastViewOffset, (quint64(1) << 32) + 65536);
        QCOMPARE(file.mappedSize(), 8);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), 8), QByteArray("far away"));
        file.unmap();
        file.close();
        QFile::remove(path);
    }

    void mapLeavesTheReadPositionAlone()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        char buf[3];
        QCOMPARE(file.read(buf, 3), 3);
        QVERIFY(file.map(6, 2));
        QCOMPARE(file.pos(), 3);
        QCOMPARE(file.read(buf, 3), 3);
        QCOMPARE(QByteArray(buf, 3), QByteArray("345"));
    }

    void anotherMapReleasesThePreviousOne()
    {
        MapReadFile file;
        QVERIFY(file.open(m_large));
        const uchar *first = file.map(0, 100);
        QVERIFY(first);
        calls::take();
        const uchar *second = file.map(131072, 100);
        QVERIFY(second);
        QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping", "CreateFileMapping", "MapView"}));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(second), 100), m_largeBytes.mid(131072, 100));
    }

    void failedMapAfterAGoodOneLeavesNothingMapped()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        QVERIFY(file.map(0, 0));
        calls::take();
        MessageCapture capture;
        QVERIFY(!file.map(11, 1));
        QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping"}));
        QVERIFY(!file.isMapped());
        QCOMPARE(file.mappedSize(), 0);
        QVERIFY(!file.mappedView());
        // Nothing is left over to release.
        file.unmap();
        QVERIFY(calls::take().isEmpty());
    }

    void mappingObjectFailure()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        calls::failCreateMapping = 5;
        MessageCapture capture;
        QVERIFY(!file.map(0, 0));
        QCOMPARE(calls::take(), QStringList{"CreateFileMapping"});
        QVERIFY(!file.isMapped());
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(mapWarning(" CreateFileMappingW failed: error 5").match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        // The object stays usable.
        calls::failCreateMapping = 0;
        QVERIFY(file.map(2, 2));
    }

    void viewFailureClosesTheMappingObject()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        calls::failMapView = 8;
        MessageCapture capture;
        QVERIFY(!file.map(0, 0));
        QCOMPARE(calls::take(), (QStringList{"CreateFileMapping", "MapView", "CloseMapping"}));
        QVERIFY(!file.isMapped());
        QCOMPARE(file.mappedSize(), 0);
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(mapWarning(" MapViewOfFile failed: error 8").match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        // A later unmap has nothing left to close.
        file.unmap();
        QVERIFY(calls::take().isEmpty());
    }

    void unmapTwice()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        QVERIFY(file.map(0, 0));
        calls::take();
        MessageCapture capture;
        file.unmap();
        QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping"}));
        file.unmap();
        QVERIFY(calls::take().isEmpty());
        QVERIFY(capture.messages().isEmpty());
        QVERIFY(!file.isMapped());
        // The file itself stays open.
        QVERIFY(file.isOpen());
        QCOMPARE(file.size(), 10);
    }

    void unmapFailuresStillClearTheState()
    {
        MapReadFile file;
        QVERIFY(file.open(m_ten));
        QVERIFY(file.map(0, 0));
        calls::failUnmap = 487;
        calls::failCloseMapping = 6;
        MessageCapture capture;
        file.unmap();
        QVERIFY(!file.isMapped());
        QVERIFY(!file.mappedView());
        QCOMPARE(file.mappedSize(), 0);
        const QStringList warnings = capture.warnings();
        QCOMPARE(warnings.size(), 2);
        QVERIFY2(unmapWarning("UnmapViewOfFile failed: 487").match(warnings[0]).hasMatch(),
                 qPrintable(warnings[0]));
        QVERIFY2(unmapWarning("CloseHandle(map_handle) failed: 6").match(warnings[1]).hasMatch(),
                 qPrintable(warnings[1]));
        calls::failUnmap = calls::failCloseMapping = 0;
        calls::take();
        file.unmap();
        QVERIFY(calls::take().isEmpty());
    }

    void destructionReleasesTheMappingBeforeTheFile()
    {
        {
            MapReadFile file;
            QVERIFY(file.open(m_ten));
            QVERIFY(file.map(3, 3));
            calls::take();
        }
        QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping", "CloseFile"}));
    }
};

QTEST_GUILESS_MAIN(TestMapReadFile)
#include "tst_mapreadfile.moc"
