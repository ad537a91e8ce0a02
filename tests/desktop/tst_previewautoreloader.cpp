#include "previewautoreloader.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Tests that step the state machine call poll() themselves; with this interval
// the timer never gets a say.
constexpr int kManualTicks = 24 * 3600 * 1000;
// Tests that let the timer drive.
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
    if (!file.open(QIODevice::Append))
        return false;
    return file.write(QByteArray(bytes, 'y')) == bytes;
}

void waitTicks(int ticks)
{
    QTest::qWait(ticks * kShortInterval);
}

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
    void growingFileIsReportedOnceItHoldsStill();
    void successiveChangesGiveOneReport();
    void deletionAndRecreationAreEachReported();
    void folderReplacingTheFileIsForgotten();
    void changesWhilePausedAreAbsorbed();
    void pendingChangeUndoneByResume();
    void watchWhileDisabledThenEnable_data();
    void watchWhileDisabledThenEnable();
    void enableThenWatchTakesTheBaseline();
    void disablingForgetsTheFile();
    void newWatchedFileForgetsThePendingChange();
    void folderOrEmptyPathIsNotWatched();

    void timerReportsOnce();
    void timerReportsDeletionAndRecreation();
    void timerStopsWhilePaused();
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
    const QMetaMethod signal = mo.method(mo.methodOffset());
    QCOMPARE(signal.methodSignature(), QByteArray("sigReloadRequested()"));
    QCOMPARE(signal.methodType(), QMetaMethod::Signal);
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
    QVERIFY(empty == FileSnapshot());

    // Every field takes part; paths compare with case.
    FileSnapshot other = present;
    QVERIFY(other == present);
    other.fileSize = 101;
    QVERIFY(other != present);
    other = present;
    other.lastModified = kStamp.addMSecs(1);
    QVERIFY(other != present);
    other = present;
    other.path = present.path.toUpper();
    QVERIFY(other != present);
    other = present;
    other.exists = false;
    QVERIFY(other != present);

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
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    reloader.poll();
    QCOMPARE(spy.size(), 0);
    QVERIFY(writeFile(m_file, 100, kStamp.addSecs(60))); // same size, newer
    reloader.poll(); // seen
    QCOMPARE(spy.size(), 0);
    reloader.poll(); // held still: reported
    QCOMPARE(spy.size(), 1);
    for (int i = 0; i < 3; ++i)
        reloader.poll();
    QCOMPARE(spy.size(), 1);

    // A change of size alone is a change as well.
    QVERIFY(writeFile(m_file, 50, kStamp.addSecs(60)));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 2);

    // Contents that change without size or time are not noticed.
    QVERIFY(writeFile(m_file, 50, kStamp.addSecs(60)));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 2);
}

void tst_PreviewAutoReloader::changeUndoneWithinATickIsDropped()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(appendTo(m_file, 10));
    reloader.poll(); // seen
    QVERIFY(writeFile(m_file, 100)); // back as it was
    reloader.poll(); // dropped
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // The same with a file that vanishes for a moment.
    QVERIFY(QFile::remove(m_file));
    reloader.poll();
    QVERIFY(writeFile(m_file, 100));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // Watching goes on after a dropped change.
    QVERIFY(appendTo(m_file));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::growingFileIsReportedOnceItHoldsStill()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    for (int tick = 0; tick < 8; ++tick) {
        QVERIFY(appendTo(m_file, 1000));
        reloader.poll();
        QCOMPARE(spy.size(), 0);
    }
    reloader.poll();
    QCOMPARE(spy.size(), 1);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::successiveChangesGiveOneReport()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file); // A

    QVERIFY(writeFile(m_file, 200)); // B
    reloader.poll();
    QVERIFY(writeFile(m_file, 300)); // C
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.poll();
    QCOMPARE(spy.size(), 1);

    // C is the baseline now: going back to it later is no change...
    reloader.poll();
    QCOMPARE(spy.size(), 1);
    // ...while going back to A is.
    QVERIFY(writeFile(m_file, 100));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 2);
}

void tst_PreviewAutoReloader::deletionAndRecreationAreEachReported()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(QFile::remove(m_file));
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.poll();
    QCOMPARE(spy.size(), 1);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);

    QVERIFY(writeFile(m_file, 100));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 2);
}

void tst_PreviewAutoReloader::folderReplacingTheFileIsForgotten()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(appendTo(m_file));
    reloader.poll(); // a change is pending when the folder turns up
    QVERIFY(QFile::remove(m_file));
    QVERIFY(QDir().mkdir(m_file));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // Forgotten for good: the file coming back is not noticed either.
    QVERIFY(QDir().rmdir(m_file));
    QVERIFY(writeFile(m_file, 7));
    for (int i = 0; i < 4; ++i)
        reloader.poll();
    QCOMPARE(spy.size(), 0);
}

void tst_PreviewAutoReloader::changesWhilePausedAreAbsorbed()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    reloader.pause();
    QVERIFY(appendTo(m_file, 10));
    reloader.poll(); // ignored while paused
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.resume();
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // Resumed watching still notices the next change.
    QVERIFY(appendTo(m_file, 10));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::pendingChangeUndoneByResume()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    // Pause keeps the pending change, but resume makes the changed file the
    // baseline, so the next tick finds nothing different.
    QVERIFY(appendTo(m_file, 10));
    reloader.poll();
    reloader.pause();
    reloader.resume();
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // A pending change that keeps moving after resume is still reported.
    QVERIFY(appendTo(m_file, 10));
    reloader.poll();
    reloader.pause();
    reloader.resume();
    QVERIFY(appendTo(m_file, 10));
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.poll();
    QCOMPARE(spy.size(), 1);
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
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);

    // Set while off, the file keeps the empty baseline, so enabling reloads
    // once although nothing changed.
    reloader.setWatchedFile(m_file);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.setEnabled(true);
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    reloader.poll();
    QCOMPARE(spy.size(), 1);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::enableThenWatchTakesTheBaseline()
{
    QVERIFY(QFile::remove(m_file));
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file); // missing is a state like any other
    for (int i = 0; i < 3; ++i)
        reloader.poll();
    QCOMPARE(spy.size(), 0);

    // Enabling again keeps the baseline rather than renewing it.
    QVERIFY(writeFile(m_file, 10));
    reloader.setEnabled(true);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::disablingForgetsTheFile()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);
    QVERIFY(appendTo(m_file));
    reloader.poll();

    reloader.setEnabled(false);
    reloader.poll();
    reloader.setEnabled(true);
    QVERIFY(appendTo(m_file));
    for (int i = 0; i < 3; ++i)
        reloader.poll();
    QCOMPARE(spy.size(), 0);

    // clear() forgets the same way.
    reloader.setWatchedFile(m_file);
    reloader.clear();
    QVERIFY(appendTo(m_file));
    for (int i = 0; i < 3; ++i)
        reloader.poll();
    QCOMPARE(spy.size(), 0);
}

void tst_PreviewAutoReloader::newWatchedFileForgetsThePendingChange()
{
    PreviewAutoReloader reloader(nullptr, kManualTicks);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(appendTo(m_file));
    reloader.poll();
    reloader.setWatchedFile(m_file);
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);

    // Another file: only its own changes count.
    const QString other = m_dir.filePath(QStringLiteral("other.pdf"));
    QVERIFY(writeFile(other, 1));
    reloader.setWatchedFile(other);
    QVERIFY(appendTo(m_file));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 0);
    QVERIFY(appendTo(other));
    reloader.poll();
    reloader.poll();
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::folderOrEmptyPathIsNotWatched()
{
    PreviewAutoReloader reloader(nullptr, kShortInterval);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);
    QVERIFY(appendTo(m_file)); // would be reported if polling went on

    reloader.setWatchedFile(m_dir.path());
    QVERIFY(!reloader.canWatch(m_dir.path()));
    waitTicks(10);
    QCOMPARE(spy.size(), 0);

    reloader.setWatchedFile(m_file);
    QVERIFY(appendTo(m_file));
    reloader.setWatchedFile(QString());
    waitTicks(10);
    QCOMPARE(spy.size(), 0);
    reloader.poll();
    QCOMPARE(spy.size(), 0);
}

void tst_PreviewAutoReloader::timerReportsOnce()
{
    PreviewAutoReloader reloader(nullptr, kShortInterval);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(appendTo(m_file, 10));
    QTRY_COMPARE(spy.size(), 1);
    waitTicks(10);
    QCOMPARE(spy.size(), 1);

    // Changed and changed back before any tick could run: nothing to see.
    const QDateTime reported = QFileInfo(m_file).lastModified();
    QVERIFY(appendTo(m_file, 10));
    QVERIFY(writeFile(m_file, 110, reported));
    waitTicks(10);
    QCOMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::timerReportsDeletionAndRecreation()
{
    PreviewAutoReloader reloader(nullptr, kShortInterval);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    QVERIFY(QFile::remove(m_file));
    QTRY_COMPARE(spy.size(), 1);
    QVERIFY(writeFile(m_file, 100));
    QTRY_COMPARE(spy.size(), 2);
    waitTicks(5);
    QCOMPARE(spy.size(), 2);
}

void tst_PreviewAutoReloader::timerStopsWhilePaused()
{
    PreviewAutoReloader reloader(nullptr, kShortInterval);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setEnabled(true);
    reloader.setWatchedFile(m_file);

    reloader.pause();
    QVERIFY(appendTo(m_file));
    waitTicks(10);
    QCOMPARE(spy.size(), 0);
    reloader.resume();
    waitTicks(10);
    QCOMPARE(spy.size(), 0);

    // The timer runs again after resume.
    QVERIFY(appendTo(m_file));
    QTRY_COMPARE(spy.size(), 1);
}

void tst_PreviewAutoReloader::timerStartsWhenEnabled()
{
    PreviewAutoReloader reloader(nullptr, kShortInterval);
    QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
    reloader.setWatchedFile(m_file);
    waitTicks(5);
    QCOMPARE(spy.size(), 0);
    reloader.setEnabled(true);
    QTRY_COMPARE(spy.size(), 1);
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
