#include "previewautoreloader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The scripted cases step the state machine by calling poll() themselves;
// with this interval the timer never gets a say. The others let a short
// timer drive.
constexpr int kManualTicks = 24 * 3600 * 1000;
constexpr int kShortInterval = 20;

// Modification times are set explicitly, so coarse file-system clocks cannot
// hide a change or make one up.
const QDateTime kStamp = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1600000000000));

bool writeFile(const QString &path, qint64 size, const QDateTime &modified = kStamp, char fill = 'x')
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QByteArray(size, fill)) == size
        && file.flush() && file.setFileTime(modified, QFileDevice::FileModificationTime);
}

bool grow(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write("y") == 1;
}

} // namespace

class tst_PreviewAutoReloader : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_file = m_dir.filePath(QStringLiteral("%1.pdf").arg(QTest::currentTestFunction()));
        QVERIFY(writeFile(m_file, 100));
    }

    void snapshots()
    {
        const FileSnapshot present = PreviewAutoReloader::takeSnapshot(m_file);
        QCOMPARE(present.path, m_file);
        QVERIFY(present.exists);
        QCOMPARE(present.fileSize, qint64(100));
        QCOMPARE(present.lastModified, kStamp);

        const QString missingPath = m_dir.filePath(QStringLiteral("missing.pdf"));
        const FileSnapshot missing = PreviewAutoReloader::takeSnapshot(missingPath);
        QCOMPARE(missing.path, missingPath);
        QVERIFY(!missing.exists);
        QCOMPARE(missing.fileSize, qint64(-1));
        QVERIFY(!missing.lastModified.isValid());
        // The empty snapshot differs even from a missing file, by its path.
        QVERIFY(FileSnapshot() != missing);

        // Never a cached look: a second snapshot sees the file as it is now.
        QVERIFY(grow(m_file));
        QCOMPARE(PreviewAutoReloader::takeSnapshot(m_file).fileSize, qint64(101));
    }

    void canWatch()
    {
        PreviewAutoReloader reloader(nullptr, kManualTicks);
        QVERIFY(!reloader.canWatch(m_file));
        reloader.setEnabled(true);
        QVERIFY(reloader.canWatch(m_file));
        QVERIFY(reloader.canWatch(m_dir.filePath(QStringLiteral("missing.pdf"))));
        QVERIFY(!reloader.canWatch(QString()));
        QVERIFY(!reloader.canWatch(m_dir.path()));
        reloader.pause();
        QVERIFY(!reloader.canWatch(m_file));
    }

    // A script is a list of steps. A number polls once and expects that many
    // reports in all so far; the other steps act on the reloader or on the file,
    // which starts with 100 bytes at kStamp: "touch" keeps the size and moves the
    // time, "shrink" keeps the time, "rewrite" keeps both, "restore" brings back
    // the start.
    void script_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("change reported on the following tick") << "on watch 0 touch 0 1 1 1";
        QTest::newRow("size alone is a change") << "on watch shrink 0 1 1";
        QTest::newRow("same size and time go unnoticed") << "on watch rewrite 0 0";
        QTest::newRow("change undone within a tick") << "on watch grow 0 restore 0 0 0 grow 0 1";
        QTest::newRow("file gone for a tick") << "on watch rm 0 restore 0 0";
        QTest::newRow("moving file reported once still") << "on watch grow 0 grow 0 grow 0 grow 0 1 1";
        QTest::newRow("A to B to C, then C is the baseline") << "on watch shrink 0 touch 0 1 1 1";
        QTest::newRow("deletion and recreation") << "on watch rm 0 1 1 restore 1 2 2";
        QTest::newRow("folder replacing the file") << "on watch grow 0 rm mkdir 0 0 rmdir restore 0 0 0";
        QTest::newRow("pause absorbs a change") << "on watch pause grow 0 0 resume 0 0 grow 0 1";
        QTest::newRow("resume renews the baseline") << "on watch grow 0 pause resume 0 0";
        QTest::newRow("watch while off, then on") << "watch 0 0 on 0 1 1";
        QTest::newRow("missing file watched while off") << "rm watch on 0 1 1";
        QTest::newRow("missing file watched while on") << "rm on watch 0 0 restore 0 1";
        QTest::newRow("on again keeps the baseline") << "on watch touch on 0 1";
        QTest::newRow("off forgets the file") << "on watch grow 0 off on grow 0 0 0";
        QTest::newRow("clear forgets the file") << "on watch clear grow 0 0";
        QTest::newRow("new watch forgets the change") << "on watch grow 0 watch 0 0";
        QTest::newRow("only the new file counts") << "on watch mkother watchother grow 0 0 growother 0 1";
        QTest::newRow("folder or empty path not polled") << "on watchdir 0 0 watchnone 0 0";
    }

    void script()
    {
        QFETCH(QString, steps);
        const QString other = m_dir.filePath(QStringLiteral("other.pdf"));
        PreviewAutoReloader reloader(nullptr, kManualTicks);
        QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);

        const QStringList list = steps.split(' ');
        for (int i = 0; i < list.size(); ++i) {
            const QString &step = list[i];
            bool isTick = false;
            const int expected = step.toInt(&isTick);
            if (isTick) {
                reloader.poll();
                QVERIFY2(spy.size() == expected,
                         qPrintable(QStringLiteral("step %1: %2 reports").arg(i).arg(spy.size())));
                continue;
            }
            bool ok = true;
            if (step == "on") reloader.setEnabled(true);
            else if (step == "off") reloader.setEnabled(false);
            else if (step == "watch") reloader.setWatchedFile(m_file);
            else if (step == "watchdir") reloader.setWatchedFile(m_dir.path());
            else if (step == "watchnone") reloader.setWatchedFile(QString());
            else if (step == "watchother") reloader.setWatchedFile(other);
            else if (step == "mkother") ok = writeFile(other, 1);
            else if (step == "clear") reloader.clear();
            else if (step == "pause") reloader.pause();
            else if (step == "resume") reloader.resume();
            else if (step == "grow") ok = grow(m_file);
            else if (step == "growother") ok = grow(other);
            else if (step == "touch") ok = writeFile(m_file, 100, kStamp.addSecs(60));
            else if (step == "shrink") ok = writeFile(m_file, 50);
            else if (step == "rewrite") ok = writeFile(m_file, 100, kStamp, 'z');
            else if (step == "restore") ok = writeFile(m_file, 100);
            else if (step == "rm") ok = QFile::remove(m_file);
            else if (step == "mkdir") ok = QDir().mkdir(m_file);
            else if (step == "rmdir") ok = QDir().rmdir(m_file);
            else QFAIL(qPrintable("unknown step " + step));
            QVERIFY2(ok, qPrintable(step));
        }
    }

    // The timer polls while polling is possible, and only then.
    void timerDrivesThePolling()
    {
        PreviewAutoReloader reloader(nullptr, kShortInterval);
        QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
        reloader.setWatchedFile(m_file);
        reloader.setEnabled(true); // the empty baseline: one report
        QTRY_COMPARE(spy.size(), 1);
        QVERIFY(grow(m_file));
        QTRY_COMPARE(spy.size(), 2);

        // Each change below would be reported if polling went on.
        reloader.pause();
        QVERIFY(grow(m_file));
        QTest::qWait(10 * kShortInterval);
        QCOMPARE(spy.size(), 2);
        reloader.resume();
        QVERIFY(grow(m_file));
        QTRY_COMPARE(spy.size(), 3);
        QTest::qWait(5 * kShortInterval);
        QCOMPARE(spy.size(), 3);
    }

    void defaultInterval()
    {
        PreviewAutoReloader reloader;
        QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
        reloader.setEnabled(true);
        reloader.setWatchedFile(m_file);
        QVERIFY(grow(m_file));
        QElapsedTimer sinceChange;
        sinceChange.start();
        QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 10000);
        // Seen at the first tick, reported at the second, 500 ms apart.
        QVERIFY2(sinceChange.elapsed() >= 900, qPrintable(QString::number(sinceChange.elapsed())));
    }

private:
    QString m_file;
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_PreviewAutoReloader)
#include "tst_previewautoreloader.moc"
