#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

#include <set>
#include <utility>

using testsupport::MessageCapture;

// The mapping calls of the Windows stand-in pass through the wrappers below
// (the test is linked with --wrap on their C++ symbol names), so that a test
// can see their arguments and order, and make one of them fail.
namespace calls {
QStringList events;
std::set<HANDLE> mappings;
quint64 lastViewOffset = 0;
SIZE_T lastViewLength = 0;
// Windows error codes to fail the next call with; 0 lets the call through.
DWORD failCreateMapping = 0, failMapView = 0, failUnmap = 0, failCloseMapping = 0;

void note(const char *event)
{
    events << QString::fromLatin1(event);
}

QStringList take()
{
    return std::exchange(events, {});
}

// Fails the call with code when it is set; the real call has already been made
// for the releasing calls, so nothing leaks.
template <typename T>
T fail(DWORD code, T failed, T result)
{
    if (!code)
        return result;
    SetLastError(code);
    return failed;
}
} // namespace calls

extern "C" {
HANDLE __real__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(HANDLE, SECURITY_ATTRIBUTES *, DWORD, DWORD, DWORD,
                                                                   LPCWSTR);
LPVOID __real__Z13MapViewOfFilePvjjjm(HANDLE, DWORD, DWORD, DWORD, SIZE_T);
BOOL __real__Z15UnmapViewOfFilePKv(LPCVOID);
BOOL __real__Z11CloseHandlePv(HANDLE);

HANDLE __wrap__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(
    HANDLE file, SECURITY_ATTRIBUTES *attributes, DWORD protect, DWORD high, DWORD low, LPCWSTR name)
{
    calls::note("CreateFileMapping");
    if (calls::failCreateMapping)
        return calls::fail<HANDLE>(calls::failCreateMapping, nullptr, nullptr);
    HANDLE mapping =
        __real__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(file, attributes, protect, high, low, name);
    calls::mappings.insert(mapping);
    return mapping;
}

LPVOID __wrap__Z13MapViewOfFilePvjjjm(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T length)
{
    calls::note("MapView");
    calls::lastViewOffset = (quint64(high) << 32) | low;
    calls::lastViewLength = length;
    if (calls::failMapView)
        return calls::fail<LPVOID>(calls::failMapView, nullptr, nullptr);
    return __real__Z13MapViewOfFilePvjjjm(mapping, access, high, low, length);
}

BOOL __wrap__Z15UnmapViewOfFilePKv(LPCVOID view)
{
    calls::note("UnmapView");
    return calls::fail<BOOL>(calls::failUnmap, FALSE, __real__Z15UnmapViewOfFilePKv(view));
}

BOOL __wrap__Z11CloseHandlePv(HANDLE handle)
{
    const bool isMapping = calls::mappings.erase(handle) > 0;
    calls::note(isMapping ? "CloseMapping" : "CloseFile");
    const BOOL ok = __real__Z11CloseHandlePv(handle);
    return isMapping ? calls::fail<BOOL>(calls::failCloseMapping, FALSE, ok) : ok;
}
}

namespace {

// The error lines expected, each ending in the function signature and message.
void checkWarnings(const MessageCapture &capture, const QStringList &endings)
{
    const QStringList warnings = capture.warnings();
    QCOMPARE(warnings.size(), endings.size());
    for (int i = 0; i < warnings.size(); ++i)
        QVERIFY2(warnings[i].startsWith("ERROR ") && warnings[i].endsWith(endings[i]), qPrintable(warnings[i]));
}

const qint64 kFar = (qint64(1) << 32) + 70000;
const QString kMap = QStringLiteral("MapReadFile::map(qint64, qint64) ");
const QString kUnmap = QStringLiteral("void MapReadFile::unmap() ");

QByteArray bytesAt(const uchar *data, qint64 length)
{
    return QByteArray(reinterpret_cast<const char *>(data), length);
}

} // namespace

class TestMapReadFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QByteArray large;
        for (int i = 0; i < 200000; ++i)
            large += char((i * 7 + i / 251) & 0xff);
        const QHash<QString, QByteArray> files{{"ten", "0123456789"}, {"large", large}, {"empty", QByteArray()}};
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QFile out(path(it.key()));
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(it.value()) == it.value().size());
        }
        // Sparse: only the bytes written take room on disk.
        QFile sparse(path("sparse"));
        if (!sparse.open(QIODevice::WriteOnly) || !sparse.seek(kFar) || sparse.write("far away") != 8)
            sparse.remove();
    }

    void init()
    {
        calls::take();
        calls::failCreateMapping = calls::failMapView = calls::failUnmap = calls::failCloseMapping = 0;
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
        QTest::newRow("boundary to the end") << "large" << 131072LL << 0LL << 68928LL << QString();
        QTest::newRow("beyond 4 GiB") << "sparse" << kFar << 0LL << 8LL << QString();
    }

    void map()
    {
        QFETCH(QString, file);
        QFETCH(qint64, offset);
        QFETCH(qint64, size);
        QFETCH(qint64, mapped);
        QFETCH(QString, warning);

        if (file == "sparse" && !QFile::exists(path(file)))
            QSKIP("no sparse files here");
        MapReadFile mapping;
        QVERIFY(file == "closed" || mapping.open(path(file)));
        MessageCapture capture;
        const uchar *data = mapping.map(offset, size);
        QCOMPARE(mapping.mappedSize(), mapped);
        if (!mapped) {
            QVERIFY(!data);
            QVERIFY(!mapping.isMapped());
            QVERIFY(calls::take().isEmpty()); // refused before any mapping object is made
            checkWarnings(capture, {kMap + warning});
            return;
        }
        QVERIFY(data);
        QVERIFY(capture.messages().isEmpty());
        QCOMPARE(mapping.pos(), 0); // mapping leaves the read position alone
        QFile in(path(file));
        QVERIFY(in.open(QIODevice::ReadOnly) && in.seek(offset));
        QCOMPARE(bytesAt(data, mapped), in.read(mapped));
        // The view starts at the allocation boundary at or before the offset.
        const qint64 remainder = offset % 65536;
        QCOMPARE(calls::lastViewOffset, quint64(offset - remainder));
        QCOMPARE(calls::lastViewLength, SIZE_T(remainder + mapped));
        QCOMPARE(static_cast<const uchar *>(mapping.mappedView()) + remainder, data);
    }

    // One range at a time: every map releases the one before, even when it
    // then fails; releasing twice does nothing; the file goes last.
    void mappingsAreReleased()
    {
        {
            MapReadFile file;
            QVERIFY(file.open(path("large")));
            QVERIFY(file.map(0, 100));
            QCOMPARE(calls::take(), (QStringList{"CreateFileMapping", "MapView"}));
            QVERIFY(file.map(131072, 100));
            QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping", "CreateFileMapping", "MapView"}));

            MessageCapture capture;
            QVERIFY(!file.map(300000, 1));
            QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping"}));
            QVERIFY(!file.isMapped());
            file.unmap();
            QVERIFY(calls::take().isEmpty());

            QVERIFY(file.map(3, 3));
            file.unmap();
            file.unmap();
            QCOMPARE(calls::take(), (QStringList{"CreateFileMapping", "MapView", "UnmapView", "CloseMapping"}));
            QVERIFY(file.map(3, 3)); // the file itself stays open
            calls::take();
        }
        QCOMPARE(calls::take(), (QStringList{"UnmapView", "CloseMapping", "CloseFile"}));
    }

    // Whichever call fails, the state ends with nothing mapped and nothing
    // left to release.
    void platformFailures_data()
    {
        QTest::addColumn<QList<uint>>("errors"); // create, view, unmap, close
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("mapping object") << QList<uint>{5, 0, 0, 0} << QStringList{"CreateFileMapping"}
                                        << QStringList{kMap + " CreateFileMappingW failed: error 5"};
        QTest::newRow("view") << QList<uint>{0, 8, 0, 0} << QStringList{"CreateFileMapping", "MapView", "CloseMapping"}
                              << QStringList{kMap + " MapViewOfFile failed: error 8"};
        QTest::newRow("release") << QList<uint>{0, 0, 487, 6}
                                 << QStringList{"CreateFileMapping", "MapView", "UnmapView", "CloseMapping"}
                                 << QStringList{kUnmap + "UnmapViewOfFile failed: 487",
                                                kUnmap + "CloseHandle(map_handle) failed: 6"};
    }

    void platformFailures()
    {
        QFETCH(QList<uint>, errors);
        QFETCH(QStringList, events);
        QFETCH(QStringList, warnings);
        MapReadFile file;
        QVERIFY(file.open(path("ten")));
        calls::failCreateMapping = errors[0];
        calls::failMapView = errors[1];
        calls::failUnmap = errors[2];
        calls::failCloseMapping = errors[3];
        MessageCapture capture;
        QCOMPARE(file.map(0, 0) != nullptr, errors[0] == 0 && errors[1] == 0);
        file.unmap();
        QCOMPARE(calls::take(), events);
        QVERIFY(!file.isMapped());
        QVERIFY(!file.mappedView());
        QCOMPARE(file.mappedSize(), 0);
        checkWarnings(capture, warnings);
        file.unmap();
        QVERIFY(calls::take().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMapReadFile)
#include "tst_mapreadfile.moc"
