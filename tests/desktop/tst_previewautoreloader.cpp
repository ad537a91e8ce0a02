#include "previewautoreloader.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// The scripted cases step the state machine by calling poll() themselves;
// with this interval the timer never gets a say.
constexpr int kManualTicks = 24 * 3600 * 1000;
constexpr int kShortInterval = 20;

// Modification times are set explicitly, so coarse file-system clocks cannot
// hide a change or make one up.
const QDateTime kStamp = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1600000000000));

bool writeFile(const QString &path, qint64 size, const QDateTime &modified = kStamp)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QByteArray(size, 'x')) == size
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
        m_file = m_dir.filePath(QStringLiteral("%1.pdf").arg(QTest::currentTestFunction()));
        QVERIFY(writeFile(m_file, 100));
    }

    // A script is a list of steps. A number polls once and expects that many
    // reports in all so far; the other steps act on the reloader or on the file,
    // which starts with 100 bytes at kStamp: "touch" keeps the size and moves the
    // time, "shrink" keeps the time, "restore" brings back the start.
    void script_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("change reported on the following tick") << "on watch 0 touch 0 1 1 1";
        QTest::newRow("size alone is a change") << "on watch shrink 0 1 1";
        QTest::newRow("change undone within a tick") << "on watch grow 0 restore 0 0 0 grow 0 1";
        QTest::newRow("moving file reported once still") << "on watch grow 0 grow 0 grow 0 grow 0 1 1";
        QTest::newRow("deletion and recreation") << "on watch rm 0 1 1 restore 1 2 2";
        QTest::newRow("folder replacing the file") << "on watch grow 0 rm mkdir 0 0 rmdir restore 0 0 0";
        QTest::newRow("pause absorbs a change") << "on watch pause grow 0 0 resume 0 0 grow 0 1";
        QTest::newRow("watch while off, then on") << "watch 0 0 on 0 1 1";
        QTest::newRow("missing file watched while off") << "rm watch on 0 1 1";
        QTest::newRow("missing file watched while on") << "rm on watch 0 0 restore 0 1";
        QTest::newRow("on again keeps the baseline") << "on watch touch on 0 1";
        QTest::newRow("off forgets the file") << "on watch grow 0 off on grow 0 0 0";
        QTest::newRow("new watch forgets the change") << "on watch grow 0 watch 0 0";
    }

    void script()
    {
        QFETCH(QString, steps);
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
            else if (step == "pause") reloader.pause();
            else if (step == "resume") reloader.resume();
            else if (step == "grow") ok = grow(m_file);
            else if (step == "touch") ok = writeFile(m_file, 100, kStamp.addSecs(60));
            else if (step == "shrink") ok = writeFile(m_file, 50);
            else if (step == "restore") ok = writeFile(m_file, 100);
            else if (step == "rm") ok = QFile::remove(m_file);
            else if (step == "mkdir") ok = QDir().mkdir(m_file);
            else if (step == "rmdir") ok = QDir().rmdir(m_file);
            else QFAIL(qPrintable("unknown step " + step));
            QVERIFY2(ok, qPrintable(step));
        }
    }

    void timerDrivesThePolling()
    {
        PreviewAutoReloader reloader(nullptr, kShortInterval);
        QSignalSpy spy(&reloader, &PreviewAutoReloader::sigReloadRequested);
        reloader.setWatchedFile(m_file);
        reloader.setEnabled(true); // the empty baseline: one report
        QTRY_COMPARE(spy.size(), 1);
        QVERIFY(grow(m_file));
        QTRY_COMPARE(spy.size(), 2);
        // One change, one report.
        QTest::qWait(5 * kShortInterval);
        QCOMPARE(spy.size(), 2);
    }

private:
    QString m_file;
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(tst_PreviewAutoReloader)
#include "tst_previewautoreloader.moc"
