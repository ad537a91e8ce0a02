#include "sharedreadfile.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>
#include <random>

using testsupport::MessageCapture;

namespace {

QByteArray pattern(qint64 length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qint64 i = 0; i < length; ++i)
        bytes[i] = char((i * 13 + i / 509) & 0xff);
    return bytes;
}

// Descriptors of this process that refer to path.
int handlesTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot)) {
        if (fd.symLinkTarget() == target)
            ++count;
    }
    return count;
}

QByteArray fileBytes(const QString &path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return in.readAll();
}

// Reaches the protected readData, as QIODevice itself would.
class ExposedDevice : public ReadOnlyIODevice
{
public:
    using ReadOnlyIODevice::readData;
};

} // namespace

Q_DECLARE_METATYPE(QIODevice::OpenMode)

class TestReadOnlyIODevice : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_data;  // 100000 bytes of pattern()
    QByteArray m_bytes;

    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // openFile opens buffered; an unbuffered device is reopened with the
    // name openFile left behind.
    void openAs(ReadOnlyIODevice &device, const QString &path, QIODevice::OpenMode mode)
    {
        QVERIFY(device.openFile(path));
        if (mode & QIODevice::Unbuffered) {
            device.close();
            QVERIFY(device.open(mode));
        }
    }

    static void addModes()
    {
        QTest::addColumn<QIODevice::OpenMode>("mode");
        QTest::newRow("buffered") << QIODevice::OpenMode(QIODevice::ReadOnly);
        QTest::newRow("unbuffered") << QIODevice::OpenMode(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_bytes = pattern(100000);
        m_data = write("data.bin", m_bytes);
    }

    void openWithoutAName()
    {
        ReadOnlyIODevice device;
        QVERIFY(!device.open(QIODevice::ReadOnly));
        QCOMPARE(device.errorString(), QString("ReadOnlyIODevice: no file name set"));
        QVERIFY(!device.isOpen());
        QVERIFY(!device.openFile(QString()));
        QVERIFY(!device.isOpen());
        QCOMPARE(device.errorString(), QString("ReadOnlyIODevice: no file name set"));
    }

    void openAMissingFile()
    {
        const QString missing = m_dir.filePath("missing.bin");
        ReadOnlyIODevice device;
        MessageCapture capture;
        QVERIFY(!device.openFile(missing));
        QVERIFY(!device.isOpen());
        QCOMPARE(device.errorString(), "ReadOnlyIODevice: failed to open " + missing);
        QCOMPARE(device.size(), 0);
        // The file's own report of why.
        QCOMPARE(capture.matching("CreateFileW failed:").size(), 1);
    }

    void failedReopenLeavesNothingOpen()
    {
        const QString other = write("other.bin", "other");
        ReadOnlyIODevice device;
        QVERIFY(device.openFile(m_data));
        QVERIFY(device.seek(50));
        QVERIFY(device.openFile(other));
        QCOMPARE(device.pos(), 0);
        QCOMPARE(device.readAll(), QByteArray("other"));
        QCOMPARE(handlesTo(m_data), 0);

        MessageCapture capture;
        QVERIFY(!device.openFile(m_dir.filePath("missing.bin")));
        QVERIFY(!device.isOpen());
        QCOMPARE(handlesTo(other), 0);
        QVERIFY(device.errorString().startsWith("ReadOnlyIODevice: failed to open "));
    }

    void freshlyOpened()
    {
        ReadOnlyIODevice device;
        QVERIFY(device.openFile(m_data));
        QVERIFY(device.isOpen());
        QVERIFY(device.isReadable());
        QVERIFY(!device.isWritable());
        QVERIFY(!device.isSequential());
        QCOMPARE(device.openMode(), QIODevice::OpenMode(QIODevice::ReadOnly));
        QCOMPARE(device.size(), m_bytes.size());
        QCOMPARE(device.pos(), 0);
        QCOMPARE(device.bytesAvailable(), m_bytes.size());
        QVERIFY(!device.atEnd());

        QIODevice *base = &device;
        QCOMPARE(qobject_cast<ReadOnlyIODevice *>(base), &device);
        QCOMPARE(device.metaObject()->className(), "ReadOnlyIODevice");
    }

    void readAll_data() { addModes(); }
    void readAll()
    {
        QFETCH(QIODevice::OpenMode, mode);
        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        QCOMPARE(device.readAll(), m_bytes);
        QVERIFY(device.atEnd());
        QCOMPARE(device.bytesAvailable(), 0);
        char c;
        QCOMPARE(device.read(&c, 1), 0);
        QVERIFY(device.readAll().isEmpty());
    }

    // The two loops callers write: until atEnd, and sized by bytesAvailable.
    void readLoops_data()
    {
        QTest::addColumn<QIODevice::OpenMode>("mode");
        QTest::addColumn<int>("chunk");
        for (int chunk : {1, 7, 4096, 16384, 16385, 250000}) {
            QTest::addRow("buffered, %d", chunk) << QIODevice::OpenMode(QIODevice::ReadOnly) << chunk;
            QTest::addRow("unbuffered, %d", chunk)
                << QIODevice::OpenMode(QIODevice::ReadOnly | QIODevice::Unbuffered) << chunk;
        }
    }

    void readLoops()
    {
        QFETCH(QIODevice::OpenMode, mode);
        QFETCH(int, chunk);

        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        QByteArray got;
        int rounds = 0;
        while (!device.atEnd() && rounds++ <= m_bytes.size()) {
            const QByteArray piece = device.read(chunk);
            QVERIFY(!piece.isEmpty());
            got += piece;
            QCOMPARE(device.bytesAvailable(), m_bytes.size() - got.size());
        }
        QCOMPARE(got, m_bytes);

        QVERIFY(device.seek(0));
        got.clear();
        rounds = 0;
        while (device.bytesAvailable() > 0 && rounds++ <= m_bytes.size()) {
            const qint64 want = qMin<qint64>(device.bytesAvailable(), chunk);
            const QByteArray piece = device.read(want);
            QCOMPARE(piece.size(), want);
            got += piece;
        }
        QCOMPARE(got, m_bytes);
        QVERIFY(device.atEnd());
    }

    void peekAndUngetKeepTheCount_data() { addModes(); }
    void peekAndUngetKeepTheCount()
    {
        QFETCH(QIODevice::OpenMode, mode);
        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        QByteArray got;
        while (!device.atEnd() && got.size() <= m_bytes.size()) {
            const QByteArray ahead = device.peek(3000);
            QCOMPARE(ahead, m_bytes.mid(got.size(), 3000));
            char c;
            QVERIFY(device.getChar(&c));
            device.ungetChar(c);
            QCOMPARE(device.bytesAvailable(), m_bytes.size() - got.size());
            got += device.read(2500);
        }
        QCOMPARE(got, m_bytes);
    }

    void dataStream()
    {
        const QList<int> numbers{1, -2, 3, 40000};
        const QString text = QString::fromUtf8("Grüße ✓");
        QByteArray encoded;
        {
            QDataStream out(&encoded, QIODevice::WriteOnly);
            out.setVersion(QDataStream::Qt_6_0);
            out << qint32(-7) << text << QByteArray(70000, 'x') << 2.5 << numbers;
        }
        const QString path = write("stream.bin", encoded);

        ReadOnlyIODevice device;
        QVERIFY(device.openFile(path));
        QDataStream in(&device);
        in.setVersion(QDataStream::Qt_6_0);
        qint32 number = 0;
        QString readText;
        QByteArray blob;
        double real = 0;
        QList<int> readNumbers;
        in >> number >> readText >> blob >> real >> readNumbers;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(number, -7);
        QCOMPARE(readText, text);
        QCOMPARE(blob, QByteArray(70000, 'x'));
        QCOMPARE(real, 2.5);
        QCOMPARE(readNumbers, numbers);
        QVERIFY(in.atEnd());
        in >> number;
        QCOMPARE(in.status(), QDataStream::ReadPastEnd);
    }

    void textStream()
    {
        QStringList lines;
        for (int i = 0; i < 3000; ++i)
            lines << QString::fromUtf8("Zeile %1: äöü ✓ %2").arg(i).arg(QString(i % 97, QLatin1Char('-')));
        const QString path = write("text.txt", lines.join('\n').toUtf8() + '\n');

        ReadOnlyIODevice device;
        QVERIFY(device.openFile(path));
        QTextStream in(&device);
        QStringList got;
        while (!in.atEnd() && got.size() <= lines.size())
            got << in.readLine();
        QCOMPARE(got, lines);

        QVERIFY(in.seek(0));
        QCOMPARE(in.readAll(), lines.join('\n') + '\n');
    }

    void seekBounds()
    {
        ReadOnlyIODevice device;
        QVERIFY(!device.seek(0));
        QVERIFY(device.openFile(m_data));
        QVERIFY(device.seek(10));
        QVERIFY(!device.seek(m_bytes.size() + 1));
        QCOMPARE(device.pos(), 10);
        QVERIFY(!device.seek(-1));
        QCOMPARE(device.pos(), 10);
        QCOMPARE(device.read(4), m_bytes.mid(10, 4));

        QVERIFY(device.seek(m_bytes.size()));
        QCOMPARE(device.pos(), m_bytes.size());
        QVERIFY(device.atEnd());
        QCOMPARE(device.bytesAvailable(), 0);
        QVERIFY(device.read(10).isEmpty());

        QVERIFY(device.reset());
        QCOMPARE(device.read(5), m_bytes.left(5));
    }

    // Random jumps, forwards within what is buffered, backwards and past it,
    // checked against the file's bytes.
    void randomSeeksAndReads_data() { addModes(); }
    void randomSeeksAndReads()
    {
        QFETCH(QIODevice::OpenMode, mode);
        ReadOnlyIODevice device;
        openAs(device, m_data, mode);
        std::mt19937 random(12345);
        const qint64 size = m_bytes.size();
        for (int step = 0; step < 400; ++step) {
            qint64 at = device.pos();
            if (step % 3 != 0) {
                at = step % 3 == 1 ? qint64(random() % (size + 1)) : qMin(size, at + qint64(random() % 20000));
                QVERIFY(device.seek(at));
            }
            const qint64 length = qint64(random() % 30000);
            const QByteArray piece = device.read(length);
            QCOMPARE(piece, m_bytes.mid(at, length));
            QCOMPARE(device.pos(), at + piece.size());
            QCOMPARE(device.bytesAvailable(), size - device.pos());
            QCOMPARE(device.atEnd(), device.pos() == size);
        }
    }

    void readDataWithNothingAskedFor()
    {
        ExposedDevice device;
        QVERIFY(device.openFile(m_data));
        char c = 0;
        QVERIFY(device.readData(&c, 0) < 0);
        QCOMPARE(device.errorString(), QString("ReadOnlyIODevice: read error"));
        // Still usable.
        QCOMPARE(device.read(3), m_bytes.left(3));
    }

    void writesAreRefused()
    {
        const QByteArray before = fileBytes(m_data);
        const QDateTime modified = QFileInfo(m_data).lastModified();
        {
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_data));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ReadOnly device"));
            QCOMPARE(device.write("spoil"), -1);
        }
        {
            // The mode is passed on as asked; the write itself still fails.
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_data));
            device.close();
            QVERIFY(device.open(QIODevice::ReadWrite));
            QVERIFY(device.isWritable());
            QCOMPARE(device.write("spoil"), -1);
            QVERIFY(!device.putChar('x'));
            QCOMPARE(device.read(5), m_bytes.left(5));
        }
        QCOMPARE(fileBytes(m_data), before);
        QCOMPARE(QFileInfo(m_data).lastModified(), modified);
    }

    void closeAndDestructionReleaseTheHandle()
    {
        QCOMPARE(handlesTo(m_data), 0);
        {
            ReadOnlyIODevice device;
            QVERIFY(device.openFile(m_data));
            QCOMPARE(handlesTo(m_data), 1);
            device.close();
            QCOMPARE(handlesTo(m_data), 0);
            QCOMPARE(device.size(), 0);
            QVERIFY(!device.isOpen());
            QVERIFY(device.atEnd());
            QCOMPARE(device.bytesAvailable(), 0);
            // Reopening uses the name it kept.
            QVERIFY(device.open(QIODevice::ReadOnly));
            QCOMPARE(handlesTo(m_data), 1);
        }
        QCOMPARE(handlesTo(m_data), 0);

        auto parent = std::make_unique<QObject>();
        auto *child = new ReadOnlyIODevice(parent.get());
        QVERIFY(child->openFile(m_data));
        QVERIFY(child->read(10).size() == 10);
        QCOMPARE(handlesTo(m_data), 1);
        parent.reset();
        QCOMPARE(handlesTo(m_data), 0);
    }

    // Someone cuts the file short while it is open: readers that loop until
    // atEnd must still come to an end, with the bytes that are there.
    void fileCutShortAfterOpen_data() { addModes(); }
    void fileCutShortAfterOpen()
    {
        QFETCH(QIODevice::OpenMode, mode);
        const QString path = write("shrinking.bin", m_bytes);
        ReadOnlyIODevice device;
        openAs(device, path, mode);
        QCOMPARE(device.read(100), m_bytes.left(100));
        QVERIFY(QFile::resize(path, 30000));
        QCOMPARE(device.size(), m_bytes.size());

        QByteArray got = m_bytes.left(100);
        int rounds = 0;
        while (!device.atEnd() && rounds++ < 1000)
            got += device.read(4096);
        QVERIFY(rounds < 1000);
        QCOMPARE(got, m_bytes.left(30000));
        QCOMPARE(device.bytesAvailable(), 0);

        // Seeking back finds the bytes that are still there.
        QVERIFY(device.seek(29990));
        QVERIFY(!device.atEnd());
        QCOMPARE(device.readAll(), m_bytes.mid(29990, 10));
        QVERIFY(device.atEnd());
    }
};

QTEST_GUILESS_MAIN(TestReadOnlyIODevice)
#include "tst_readonlyiodevice.moc"
