#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

namespace {

// Descriptors of this process that refer to path.
int handlesTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == target ? 1 : 0;
    return count;
}

} // namespace

class TestReadOnlyIODevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_data; // 100000 bytes in a pattern that shifts every 509 bytes
    QByteArray m_bytes;

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
        for (int i = 0; i < 100000; ++i)
            m_bytes += char((i * 13 + i / 509) & 0xff);
        m_data = write("data.bin", m_bytes);
    }

    void failuresAreNamed()
    {
        ReadOnlyIODevice device;
        QVERIFY(!device.open(QIODevice::ReadOnly));
        QCOMPARE(device.errorString(), QStringLiteral("ReadOnlyIODevice: no file name set"));
        const QString missing = m_dir.filePath("missing.bin");
        testsupport::MessageCapture quiet;
        QVERIFY(!device.openFile(missing));
        QCOMPARE(device.errorString(), "ReadOnlyIODevice: failed to open " + missing);
        QVERIFY(!device.isOpen());
        // At the end, readAll asks the device for nothing, and the file
        // refuses a read of nothing.
        QVERIFY(device.openFile(m_data));
        QVERIFY(device.seek(m_bytes.size()));
        QCOMPARE(device.readAll(), QByteArray());
        QCOMPARE(device.errorString(), QStringLiteral("ReadOnlyIODevice: read error"));
    }

    void readsAndSeeks()
    {
        ReadOnlyIODevice device;
        QVERIFY(device.openFile(m_data));
        const qint64 size = m_bytes.size();
        QCOMPARE(device.readAll(), m_bytes);
        QVERIFY(device.atEnd());

        QVERIFY(device.seek(10));
        QCOMPARE(device.read(4), m_bytes.mid(10, 4));
        // Seeking to the end is allowed, past it or before the start is not.
        QVERIFY(!device.seek(size + 1));
        QVERIFY(!device.seek(-1));
        QCOMPARE(device.readAll(), m_bytes.mid(14));
        QVERIFY(device.seek(size));
        QVERIFY(device.atEnd());
        device.close();
        QVERIFY(!device.seek(0));
    }

    void writesAreRefusedAndTheHandleReleased()
    {
        {
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_data));
            QCOMPARE(handlesTo(m_data), 1);
            device.close();
            QCOMPARE(handlesTo(m_data), 0);
            // The name is kept, and the mode passed on as asked, so the write
            // reaches the device.
            QVERIFY(device.open(QIODevice::ReadWrite));
            QCOMPARE(device.write("spoil"), -1);
            QCOMPARE(handlesTo(m_data), 1);
        }
        QCOMPARE(handlesTo(m_data), 0);
        QFile in(m_data);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), m_bytes);
    }

    // Someone cuts the file short while it is open: readers that loop until
    // atEnd must still come to an end, with the bytes that are there.
    void fileCutShortAfterOpen()
    {
        const QString path = write("shrinking.bin", m_bytes);
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
};

QTEST_GUILESS_MAIN(TestReadOnlyIODevice)
#include "tst_readonlyiodevice.moc"
