#include "sharedreadfile.h"
#include "testsupport.h"
#include "winapi.h"

#include <QtTest>

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
            checkWarnings(capture, {kMap + warning});
            return;
        }
        QVERIFY(capture.messages().isEmpty());
        QFile in(path(file));
        QVERIFY(in.open(QIODevice::ReadOnly) && in.seek(offset));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(data), mapped), in.read(mapped));
    }

#ifndef _WIN32
    // Every map releases the one before, even when it then fails; releasing
    // twice does nothing; the file goes last.
    void mappingsAreReleased()
    {
        const int before = StandInOpenObjects();
        {
            MapReadFile file;
            QVERIFY(file.open(path("large")));
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
        QVERIFY(file.open(path("ten")));
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
#endif
};

QTEST_GUILESS_MAIN(TestMapReadFile)
#include "tst_mapreadfile.moc"
