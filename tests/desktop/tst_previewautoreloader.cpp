#include "previewautoreloader.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Most tests step the state machine by calling poll() themselves; with this
// interval the timer never gets a say. The others let a short timer drive.
constexpr int kManualTicks = 24 * 3600 * 1000;
constexpr int kShortInterval = 20;

// Modification times are set explicitly, so coarse file-system clocks cannot
// hide a change or make one up.
const QDateTime kStamp = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1600000000000));

bool writeFile(const QString &path, qint64 size, const QDateTime &modified = kStamp)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QByteArray(size, 'x'));
    file.flush();
    return file.setFileTime(modified, QFileDevice::FileModificationTime);
}

bool appendTo(const QString &path, qint64 bytes = 1)
{
    QFile file(path);
    return file.open(QIODevice::Append) && file.write(QByteArray(bytes, 'y')) == bytes;
}

struct Reloader
{
    explicit Reloader(int interval = kManualTicks) : reloader(nullptr, interval) {}

    // Enabled first, so the baseline is taken at once.
    void watch(const QString &path)
    {
        reloader.setEnabled(true);
        reloader.setWatchedFile(path);
    }
    // Polls n times; returns the reports so far.
    qsizetype ticks(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            reloader.poll();
        return spy.size();
    }
    // Lets the timer run for about n intervals; returns the reports so far.
    qsizetype waitTicks(int n)
    {
        QTest::qWait(n * kShortInterval);
        return spy.size();
    }

    PreviewAutoReloader reloader;
    QSignalSpy spy{&reloader, &PreviewAutoReloader::sigReloadRequested};
};

} // namespace

class tst_PreviewAutoReloader : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void metaObjectHasOnlyTheSignal();
    void snapshots();
    void canWatchNeedsAnEnabledUnpausedFile();

    void changeIsReportedOnTheFollowingTick();
    void changeUndoneWithinATickIsDropped();
    void movingFileIsReportedOnceItHoldsStill();
    void deletionAndRecreationAreEachReported();
    void folderReplacingTheFileIsForgotten();
    void changesWhilePausedAreAbsorbed();
    void watchWhileDisabledThenEnable_data();
    void watchWhileDisabledThenEnable();
    void enableThenWatchTakesTheBaseline();
    void forgettingTheFile();
    void newWatchedFileForgetsThePendingChange();

    void timerReportsOnce();
    void timerStopsWithoutAFileOrWhilePaused();
    void timerStartsWhenEnabled();
    void defaultInterval();

private:
    QString m_file;
    QTemporaryDir m_dir;
};

void tst_PreviewAutoReloader::init()
{
    QVERIFY(m_dir.isValid());
    m_file = m_dir.filePath(QStringLiteral("%1.pdf").arg(QTest::currentTestFunction()));
    QVERIFY(writeFile(m_file, 100));
}

void tst_PreviewAutoReloader::metaObjectHasOnlyTheSignal()
{
    const QMetaObject &mo = PreviewAutoReloader::staticMetaObject;
    QCOMPARE(mo.className(), "PreviewAutoReloader");
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    QCOMPARE(mo.method(mo.methodOffset()).methodSignature(), QByteArray("sigReloadRequested()"));
    QCOMPARE(mo.method(mo.methodOffset()).methodType(), QMetaMethod::Signal);
}

void tst_PreviewAutoReloader::snapshots()
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
    const FileSnapshot empty;
    QVERIFY(empty.path.isEmpty() && !empty.exists && empty.fileSize == -1 && !empty.lastModified.isValid());
    QVERIFY(empty != missing);

    // Every field takes part; paths compare with case.
    QList<FileSnapshot> variants(4, present);
    variants[0].fileSize = 101;
    variants[1].lastModified = kStamp.addMSecs(1);
    variants[2].path = present.path.toUpper();
    variants[3].exists = false;
    for (const FileSnapshot &variant : variants)
        QVERIFY(variant != present);
    QVERIFY(FileSnapshot(present) == present);

    // Never a cached look: a second snapshot sees the file as it is now.
    QVERIFY(appendTo(m_file, 5));
    QCOMPARE(PreviewAutoReloader::takeSnapshot(m_file).fileSize, qint64(105));
}

void tst_PreviewAutoReloader::canWatchNeedsAnEnabledUnpausedFile()
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
    reloader.resume();
    QVERIFY(reloader.canWatch(m_file));
}

void tst_PreviewAutoReloader::changeIsReportedOnTheFollowingTick()
{
    Reloader r;
    r.watch(m_file);
    QCOMPARE(r.ticks(), 0);

    QVERIFY(writeFile(m_file, 100, kStamp.addSecs(60))); // same size, newer
    QCOMPARE(r.ticks(), 0); // seen
    QCOMPARE(r.ticks(), 1); // held still: reported
    QCOMPARE(r.ticks(3), 1);

    QVERIFY(writeFile(m_file, 50, kStamp.addSecs(60))); // size alone
    QCOMPARE(r.ticks(2), 2);

    // Contents that change without size or time are not noticed.
    QVERIFY(writeFile(m_file, 50, kStamp.addSecs(60)));
    QCOMPARE(r.ticks(2), 2);
}

void tst_PreviewAutoReloader::changeUndoneWithinATickIsDropped()
{
    Reloader r;
    r.watch(m_file);

    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(), 0); // seen
    QVERIFY(writeFile(m_file, 100)); // back as it was
    QCOMPARE(r.ticks(3), 0);

    // A file that vanishes for a moment.
    QVERIFY(QFile::remove(m_file));
    QCOMPARE(r.ticks(), 0);
    QVERIFY(writeFile(m_file, 100));
    QCOMPARE(r.ticks(2), 0);

    // Watching goes on.
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(2), 1);
}

void tst_PreviewAutoReloader::movingFileIsReportedOnceItHoldsStill()
{
    Reloader r;
    r.watch(m_file);
    for (int tick = 0; tick < 8; ++tick) {
        QVERIFY(appendTo(m_file, 1000));
        QCOMPARE(r.ticks(), 0);
    }
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(2), 1);

    // A to B, B to C on the next tick: one report, and C is the baseline.
    QVERIFY(writeFile(m_file, 200));
    QCOMPARE(r.ticks(), 1);
    QVERIFY(writeFile(m_file, 300));
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(), 2);
    QCOMPARE(r.ticks(2), 2);
}

void tst_PreviewAutoReloader::deletionAndRecreationAreEachReported()
{
    Reloader r;
    r.watch(m_file);
    QVERIFY(QFile::remove(m_file));
    QCOMPARE(r.ticks(), 0);
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(2), 1);
    QVERIFY(writeFile(m_file, 100));
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(), 2);
}

void tst_PreviewAutoReloader::folderReplacingTheFileIsForgotten()
{
    Reloader r;
    r.watch(m_file);
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(), 0); // a change is pending when the folder turns up
    QVERIFY(QFile::remove(m_file));
    QVERIFY(QDir().mkdir(m_file));
    QCOMPARE(r.ticks(2), 0);

    // Forgotten for good: the file coming back is not noticed either.
    QVERIFY(QDir().rmdir(m_file));
    QVERIFY(writeFile(m_file, 7));
    QCOMPARE(r.ticks(4), 0);
}

void tst_PreviewAutoReloader::changesWhilePausedAreAbsorbed()
{
    Reloader r;
    r.watch(m_file);
    r.reloader.pause();
    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(2), 0); // polls while paused do nothing
    r.reloader.resume();
    QCOMPARE(r.ticks(2), 0);
    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(2), 1);

    // Pause keeps a pending change, but resume makes the changed file the
    // baseline, so the next tick finds nothing different...
    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(), 1);
    r.reloader.pause();
    r.reloader.resume();
    QCOMPARE(r.ticks(2), 1);

    // ...unless the file goes on changing.
    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(), 1);
    r.reloader.pause();
    r.reloader.resume();
    QVERIFY(appendTo(m_file, 10));
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(), 2);
}

void tst_PreviewAutoReloader::watchWhileDisabledThenEnable_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("existing file") << true;
    QTest::newRow("missing file") << false;
}

void tst_PreviewAutoReloader::watchWhileDisabledThenEnable()
{
    QFETCH(bool, exists);
    if (!exists)
        QVERIFY(QFile::remove(m_file));
    Reloader r;
    // Set while off, the file keeps the empty baseline, so enabling reloads
    // once although nothing changed.
    r.reloader.setWatchedFile(m_file);
    QCOMPARE(r.ticks(2), 0);
    r.reloader.setEnabled(true);
    QCOMPARE(r.ticks(), 0);
    QCOMPARE(r.ticks(), 1);
    QCOMPARE(r.ticks(2), 1);
}

void tst_PreviewAutoReloader::enableThenWatchTakesTheBaseline()
{
    QVERIFY(QFile::remove(m_file));
    Reloader r;
    r.watch(m_file); // missing is a state like any other
    QCOMPARE(r.ticks(3), 0);

    // Enabling again keeps the baseline rather than renewing it.
    QVERIFY(writeFile(m_file, 10));
    r.reloader.setEnabled(true);
    QCOMPARE(r.ticks(2), 1);
}

void tst_PreviewAutoReloader::forgettingTheFile()
{
    Reloader r;
    r.watch(m_file);
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(), 0);

    // Switching off forgets the file; switching on does not bring it back.
    r.reloader.setEnabled(false);
    r.reloader.setEnabled(true);
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(3), 0);

    r.reloader.setWatchedFile(m_file);
    r.reloader.clear();
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(3), 0);
}

void tst_PreviewAutoReloader::newWatchedFileForgetsThePendingChange()
{
    Reloader r;
    r.watch(m_file);
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(), 0);
    r.reloader.setWatchedFile(m_file);
    QCOMPARE(r.ticks(2), 0);

    // Another file: only its own changes count.
    const QString other = m_dir.filePath(QStringLiteral("other.pdf"));
    QVERIFY(writeFile(other, 1));
    r.reloader.setWatchedFile(other);
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.ticks(2), 0);
    QVERIFY(appendTo(other));
    QCOMPARE(r.ticks(2), 1);
}

void tst_PreviewAutoReloader::timerReportsOnce()
{
    Reloader r(kShortInterval);
    r.watch(m_file);
    QVERIFY(appendTo(m_file, 10));
    QTRY_COMPARE(r.spy.size(), 1);
    QCOMPARE(r.waitTicks(10), 1);

    // Changed and changed back before any tick could run: nothing to see.
    const QDateTime reported = QFileInfo(m_file).lastModified();
    QVERIFY(appendTo(m_file, 10));
    QVERIFY(writeFile(m_file, 110, reported));
    QCOMPARE(r.waitTicks(10), 1);

    QVERIFY(QFile::remove(m_file));
    QTRY_COMPARE(r.spy.size(), 2);
    QVERIFY(writeFile(m_file, 100));
    QTRY_COMPARE(r.spy.size(), 3);
}

void tst_PreviewAutoReloader::timerStopsWithoutAFileOrWhilePaused()
{
    // Each pending change below would be reported if polling went on.
    Reloader r(kShortInterval);
    r.watch(m_file);
    QVERIFY(appendTo(m_file));
    r.reloader.setWatchedFile(m_dir.path());
    QCOMPARE(r.waitTicks(10), 0);

    r.reloader.setWatchedFile(m_file);
    QVERIFY(appendTo(m_file));
    r.reloader.setWatchedFile(QString());
    QCOMPARE(r.waitTicks(10), 0);

    r.reloader.setWatchedFile(m_file);
    r.reloader.pause();
    QVERIFY(appendTo(m_file));
    QCOMPARE(r.waitTicks(10), 0);
    r.reloader.resume();
    QCOMPARE(r.waitTicks(10), 0);

    // The timer runs again after resume.
    QVERIFY(appendTo(m_file));
    QTRY_COMPARE(r.spy.size(), 1);
}

void tst_PreviewAutoReloader::timerStartsWhenEnabled()
{
    Reloader r(kShortInterval);
    r.reloader.setWatchedFile(m_file);
    QCOMPARE(r.waitTicks(5), 0);
    r.reloader.setEnabled(true);
    QTRY_COMPARE(r.spy.size(), 1);
}

void tst_PreviewAutoReloader::defaultInterval()
{
    PreviewAutoReloader reloader;
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);
    QVERIFY(appendTo(m_file));
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 1, 10000);
}

QTEST_GUILESS_MAIN(tst_PreviewAutoReloader)
#include "tst_previewautoreloader.moc"
