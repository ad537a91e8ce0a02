#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

#include <utility>

using testsupport::MessageCapture;

// The mapping calls of the Windows stand-in pass through the wrappers below
// (the test is linked with --wrap on their C++ symbol names), so that a test
// can see their arguments and order, and make one of them fail.
namespace calls {
QStringList events;
quint64 viewOffset = 0;
SIZE_T viewLength = 0;
// Windows error codes to fail create, view, unmap and close with; 0 lets
// the call through.
QList<uint> failures;

QString take()
{
    return std::exchange(events, {}).join(' ');
}

bool fails(int call)
{
    const DWORD code = failures.value(call);
    if (code)
        SetLastError(code);
    return code != 0;
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
    calls::events << "create";
    if (calls::fails(0))
        return nullptr;
    return __real__Z18CreateFileMappingWPvP19SECURITY_ATTRIBUTESjjjPKDs(file, attributes, protect, high, low, name);
}

LPVOID __wrap__Z13MapViewOfFilePvjjjm(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T length)
{
    calls::events << "view";
    calls::viewOffset = (quint64(high) << 32) | low;
    calls::viewLength = length;
    if (calls::fails(1))
        return nullptr;
    return __real__Z13MapViewOfFilePvjjjm(mapping, access, high, low, length);
}

// The releasing calls are really made before they are failed, so nothing leaks.
BOOL __wrap__Z15UnmapViewOfFilePKv(LPCVOID view)
{
    calls::events << "unmap";
    return __real__Z15UnmapViewOfFilePKv(view) && !calls::fails(2);
}

BOOL __wrap__Z11CloseHandlePv(HANDLE handle)
{
    calls::events << "close";
    return __real__Z11CloseHandlePv(handle) && !calls::fails(3);
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

const QString kMap = QStringLiteral("MapReadFile::map(qint64, qint64) ");
const QString kUnmap = QStringLiteral("void MapReadFile::unmap() ");

} // namespace

class TestMapReadFile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QByteArray large;
        for (int i = 0; i < 200000; ++i)
            large += char((i * 7 + i / 251) & 0xff);
        const QHash<QString, QByteArray> files{{"ten", "0123456789"}, {"large", large}, {"empty", QByteArray()}};
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QFile out(path(it.key()));
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(it.value()) == it.value().size());
        }
    }

    void init()
    {
        calls::take();
        calls::failures.clear();
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
        QVERIFY(file == "closed" || mapping.open(path(file)));
        MessageCapture capture;
        const uchar *data = mapping.map(offset, size);
        QCOMPARE(mapping.mappedSize(), mapped);
        QCOMPARE(mapping.isMapped(), mapped > 0);
        if (!mapped) {
            QVERIFY(!data);
            QCOMPARE(calls::take(), QString()); // refused before any mapping object is made
            checkWarnings(capture, {kMap + warning});
            return;
        }
        QVERIFY(capture.messages().isEmpty());
        QFile in(path(file));
        QVERIFY(in.open(QIODevice::ReadOnly) && in.seek(offset));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), mapped), in.read(mapped));
        // The view starts at the allocation boundary at or before the offset.
        const qint64 remainder = offset % 65536;
        QCOMPARE(calls::viewOffset, quint64(offset - remainder));
        QCOMPARE(calls::viewLength, SIZE_T(remainder + mapped));
    }

    // Every map releases the one before, even when it then fails; releasing
    // twice does nothing; the file goes last.
    void mappingsAreReleased()
    {
        {
            MapReadFile file;
            QVERIFY(file.open(path("large")));
            QVERIFY(file.map(0, 100));
            QVERIFY(file.map(131072, 100));
            MessageCapture capture;
            QVERIFY(!file.map(300000, 1));
            QVERIFY(!file.isMapped());
            QCOMPARE(calls::take(), "create view unmap close create view unmap close");
            QVERIFY(file.map(3, 3));
            file.unmap();
            file.unmap();
            QVERIFY(file.map(3, 3)); // the file itself stays open
            QCOMPARE(calls::take(), "create view unmap close create view");
        }
        QCOMPARE(calls::take(), "unmap close close");
    }

    // Whichever call fails, the state ends with nothing mapped and nothing
    // left to release.
    void platformFailures_data()
    {
        QTest::addColumn<QList<uint>>("errors"); // create, view, unmap, close
        QTest::addColumn<QString>("events");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("mapping object") << QList<uint>{5, 0, 0, 0} << "create"
                                        << QStringList{kMap + " CreateFileMappingW failed: error 5"};
        QTest::newRow("view") << QList<uint>{0, 8, 0, 0} << "create view close"
                              << QStringList{kMap + " MapViewOfFile failed: error 8"};
        QTest::newRow("release") << QList<uint>{0, 0, 487, 6} << "create view unmap close"
                                 << QStringList{kUnmap + "UnmapViewOfFile failed: 487",
                                                kUnmap + "CloseHandle(map_handle) failed: 6"};
    }

    void platformFailures()
    {
        QFETCH(QList<uint>, errors);
        QFETCH(QString, events);
        QFETCH(QStringList, warnings);
        MapReadFile file;
        QVERIFY(file.open(path("ten")));
        calls::failures = errors;
        MessageCapture capture;
        QCOMPARE(file.map(0, 0) != nullptr, errors[0] == 0 && errors[1] == 0);
        file.unmap();
        file.unmap();
        QCOMPARE(calls::take(), events);
        QVERIFY(!file.isMapped());
        QCOMPARE(file.mappedSize(), 0);
        checkWarnings(capture, warnings);
    }
};

QTEST_GUILESS_MAIN(TestMapReadFile)
#include "tst_mapreadfile.moc"
