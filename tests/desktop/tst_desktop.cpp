// The desktop utilities: the per-screen pixel ratio table on Qt's offscreen
// platform with its screens reshaped at will, the sibling file list of a
// folder, and the auto-reloader's polling.

#include "dpihelper.h"
#include "filecollector.h"
#include "monitordpi.h"
#include "previewautoreloader.h"
#include "testsupport.h"

#include <QApplication>
#include <QScreen>
#include <QtTest>
#include <QWidget>
#include <qpa/qplatformnativeinterface.h>

using testsupport::MessageCapture;
using Outcome = MonitorDpi::Outcome;

namespace {

struct Screen {
    QString name;
    double logicalDpi = 96;
    double dpr = 1; // what Qt itself will call the screen's pixel ratio
};
const QList<Screen> kScreens{{"A"}, {"B"}, {"C"}};

// Replaces the screens of Qt's offscreen platform through its configuration
// hook: the platform then adds, removes or changes QScreen objects as a real
// one does, so screenAdded, screenRemoved and logicalDotsPerInchChanged are
// genuine. Screens are matched by name. Returns false without the hook.
bool setScreens(const QList<Screen> &screens)
{
    QPlatformNativeInterface *native = QGuiApplication::platformNativeInterface();
    if (QGuiApplication::platformName() != QLatin1String("offscreen") || !native)
        return false;
    auto get = reinterpret_cast<QJsonObject (*)(QPlatformNativeInterface *)>(
        native->nativeResourceForIntegration("configuration"));
    auto set = reinterpret_cast<void (*)(const QJsonObject &, QPlatformNativeInterface *)>(
        native->nativeResourceForIntegration("setConfiguration"));
    if (!get || !set)
        return false;
    QJsonArray array;
    for (const Screen &s : screens) {
        // Each screen keeps its place, side by side in the order of the names.
        array.append(QJsonObject{{"name", s.name}, {"x", 1000 * (s.name[0].unicode() - 'A')}, {"y", 0},
                                 {"width", 800}, {"height", 600}, {"logicalDpi", s.logicalDpi},
                                 {"logicalBaseDpi", 96}, {"dpr", s.dpr}});
    }
    QJsonObject configuration = get(native);
    configuration.insert("screens", array);
    set(configuration, native);
    // Screen changes may still have events queued.
    QCoreApplication::processEvents();
    return true;
}

// What the monitors answer, by screen name (screens not listed fail), and how
// often each was asked, which tells a table hit from a fresh query.
QHash<QString, MonitorDpi> answers;
QHash<QString, int> queries;

void setDpis(const QHash<QString, quint32> &dpis)
{
    for (auto it = dpis.cbegin(); it != dpis.cend(); ++it)
        answers[it.key()] = MonitorDpi::found(it.value(), it.value());
}

// Screens sit side by side in the order of their names, see setScreens.
QScreen *screenNamed(const QString &name)
{
    return QGuiApplication::screenAt(QPoint(1000 * (name[0].unicode() - 'A') + 1, 1));
}

// Whether the last warning is a whole error line of this unit, given what
// follows the line number and file.
bool lastErrorIs(const MessageCapture &capture, const QString &signatureAndMessage)
{
    const QRegularExpression line("^ERROR \\d+ \\S*dpihelper\\.cpp " + QRegularExpression::escape(signatureAndMessage)
                                  + '$');
    return !capture.warnings().isEmpty() && line.match(capture.warnings().last()).hasMatch();
}

// The table as the last rebuild logged it.
QString lastTable(const MessageCapture &capture)
{
    const QStringList tables = capture.matching(QStringLiteral("[main] [dpi] updated "));
    return tables.isEmpty() ? QString() : tables.last();
}

// Makes the entries in dir; names ending in "/" become folders.
void fill(const QTemporaryDir &dir, const QStringList &entries)
{
    for (const QString &entry : entries) {
        QFile file(dir.filePath(entry));
        const bool made = entry.endsWith('/') ? QDir(dir.path()).mkpath(entry) : file.open(QIODevice::WriteOnly);
        QVERIFY2(made, qPrintable(entry));
    }
}

// Adds entry and returns once the change has reached the event loop: a
// watcher of our own on the folder has heard of it, so any other has too.
void addAndSettle(const QTemporaryDir &dir, const QString &entry)
{
    QFileSystemWatcher witness({dir.path()});
    QSignalSpy heard(&witness, &QFileSystemWatcher::directoryChanged);
    fill(dir, {entry});
    QTRY_VERIFY(!heard.isEmpty());
    QCoreApplication::processEvents();
}

// The scripted cases step the state machine by calling poll() themselves;
// with this interval the timer never gets a say.
constexpr int kManualTicks = 24 * 3600 * 1000;

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

class TestDesktop : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_file; // the reloader's, 100 bytes at kStamp, one per test

private slots:
    // Every test starts with screens A, B and C whose monitors all fail, and
    // a file for the reloader.
    void init()
    {
        if (!setScreens(kScreens))
            QSKIP("needs Qt's offscreen platform with its screen configuration hook");
        answers.clear();
        queries.clear();
        m_file = m_dir.filePath(QStringLiteral("%1.pdf").arg(QTest::currentTestFunction()));
        QVERIFY(writeFile(m_file, 100));
    }

    void initTestCase()
    {
        setMonitorDpiQuery([](QScreen *screen) {
            ++queries[screen->name()];
            return answers.value(screen->name(), MonitorDpi::failed(Outcome::NoWindowsScreen));
        });
    }

    // The ratio is the monitor's horizontal DPI over 96, whatever Qt says.
    void ratiosComeFromTheMonitorsAndTheTable()
    {
        setScreens({{"A", 96, 2.0}, {"B", 96, 3.0}, {"C"}, {"D"}});
        answers = {{"A", MonitorDpi::found(120, 120)}, {"B", MonitorDpi::found(144, 192)},
                   {"C", MonitorDpi::found(192, 192)}, {"D", MonitorDpi::found(96, 96)}};
        MessageCapture capture;
        DpiHelper helper;
        for (const char *entry : {"\"A\"), 1.25)", "\"B\"), 1.5)", "\"C\"), 2)", "\"D\"), 1)"})
            QVERIFY2(lastTable(capture).contains(QLatin1String(entry)), qPrintable(lastTable(capture)));
        // A widget is answered from the table, for the screen of its top-level widget.
        QWidget window;
        window.setScreen(screenNamed("B"));
        QWidget child(&window);
        QCOMPARE(helper.getRatio(&child), 1.5);
        QCOMPARE(queries["B"], 1);

        // After clearCache every lookup is a fresh query, which sees the monitor
        // as it is now.
        QScreen *a = screenNamed("A");
        setDpis({{"A", 96}});
        helper.clearCache();
        QCOMPARE(capture.debugs().last(), "[main] [dpi] cleared");
        QCOMPARE(helper.getScreenRatio(a), 1.0);
        QCOMPARE(queries["A"], 2);

        // The slot, called through the meta-object, rebuilds the table, which then
        // answers without asking, even when the monitor has changed behind its back.
        QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
        setDpis({{"A", 192}});
        QCOMPARE(helper.getScreenRatio(a), 1.0);
        QCOMPARE(queries["A"], 3);
    }

    void failingScreenIsLeftOut_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message"); // %1: the screen as Qt prints it
        QTest::newRow("no windows screen") << int(Outcome::NoWindowsScreen) << " Failed to get QWindowsScreen for: %1";
        QTest::newRow("null monitor") << int(Outcome::NoMonitorHandle) << " Invalid monitor handle for screen: \"B\"";
        QTest::newRow("query failed") << int(Outcome::QueryFailed)
                                      << " GetDpiForMonitor failed with HRESULT: -2147024809 %1";
    }

    void failingScreenIsLeftOut()
    {
        QFETCH(int, outcome);
        QFETCH(QString, message);
        QScreen *b = screenNamed("B");
        const QString screenText = QString::asprintf("QScreen(%p, name=\"B\")", static_cast<void *>(b));
        const QString expected = "double DpiHelper::getDPRFromScreen(QScreen*)" + message.arg(screenText);
        setDpis({{"A", 144}, {"C", 192}});
        answers["B"] = MonitorDpi::failed(Outcome(outcome), qint32(0x80070057u));
        MessageCapture capture;
        DpiHelper helper;
        QCOMPARE(capture.warnings().size(), 1);
        QVERIFY2(lastErrorIs(capture, expected), qPrintable(capture.warnings().join('\n')));
        QVERIFY2(!lastTable(capture).contains(QLatin1String("name=\"B\"")), qPrintable(lastTable(capture)));

        // Not in the table, so every lookup asks again, warns again, answers 1.0.
        QCOMPARE(helper.getScreenRatio(b), 1.0);
        QCOMPARE(queries["B"], 2);
        QCOMPARE(capture.warnings().size(), 2);
        QVERIFY(lastErrorIs(capture, expected));
        // A null widget: the warning ends at the function signature.
        QCOMPARE(helper.getRatio(nullptr), 1.0);
        QVERIFY(lastErrorIs(capture, "double DpiHelper::getRatio(const QWidget*)"));
    }

    void screenEventsRebuildTheTable()
    {
        setDpis({{"A", 96}, {"B", 120}, {"C", 144}, {"D", 192}});
        DpiHelper helper;
        MessageCapture capture;

        // D arrives and C leaves: each event logs at once and rebuilds after a
        // delay, none merged with the other. D comes first, so that its screen
        // cannot reuse the address of C's, which the table still holds.
        setScreens(kScreens + QList<Screen>{{"D"}});
        setScreens({kScreens[0], kScreens[1], {"D"}});
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        QCOMPARE(capture.debugs().count("+++++++++++++++++++++++ screenAdded"), 1);
        QCOMPARE(capture.debugs().count("+++++++++++++++++++++++ screenRemoved"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(capture.debugs().count("[main] [dpi] updating"), 2, 10000);
        QVERIFY2(sinceEvents.elapsed() >= 450, qPrintable(QString::number(sinceEvents.elapsed())));
        QVERIFY(lastTable(capture).contains(QLatin1String("name=\"D\"), 2)")));
        QVERIFY2(!lastTable(capture).contains(QLatin1String("name=\"C\"")), qPrintable(lastTable(capture)));

        // A logical DPI change, on a screen present at construction and on the
        // added one, rebuilds on the next pass of the event loop.
        capture.clear();
        setDpis({{"A", 144}});
        setScreens({{"A", 144}, kScreens[1], {"D", 120}});
        QTRY_COMPARE(capture.debugs().count("[main] [dpi] updating"), 2);
        QCOMPARE(helper.getScreenRatio(screenNamed("A")), 1.5);
    }

    void neighbours_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("current"); // in the folder, unless absolute
        QTest::addColumn<QString>("pre");
        QTest::addColumn<QString>("next");

        const QStringList four{"a.pdf", "B.PDF", "c.pdf", "d.pdf", "b.txt", "x.pdf.bak", "sub.pdf/"};
        QTest::newRow("middle, ignoring case") << four << "B.PDF" << "a" << "c";
        QTest::newRow("first wraps back") << four << "a.pdf" << "d" << "B";
        QTest::newRow("last wraps forward") << four << "d.pdf" << "c" << "a";
        // A current file that is not listed gets the first entry both ways.
        QTest::newRow("deleted") << four << "gone.pdf" << "a" << "a";

        const QStringList few{"one.png", "two.png", "three.jpg"};
        QTest::newRow("two files") << few << "two.png" << "one" << "one";
        QTest::newRow("only the current file") << few << "three.jpg" << "" << "";
        // The filter "*." matches only names that end in a full stop.
        QTest::newRow("no suffix") << QStringList{"README", "LICENSE", "b.", "a.", "c.txt"} << "README" << "a" << "a";

        const QString name25(25, 'm');
        const QString name26 = QString(25, 'n') + 'N';
        const QStringList longNames{"a.pdf", "report.final.pdf", name25 + ".pdf", name26 + ".pdf"};
        QTest::newRow("last suffix dropped") << longNames << "a.pdf" << "report.final" << name25;
        QTest::newRow("shortened at 26") << longNames << name25 + ".pdf" << "a" << QString(23, 'n') + "...";

        // Folders: the sub-folders of the parent, by their whole names.
        const QStringList folders{"alpha/", "Beta/", "v1.2/", "notes.txt", "zeta.pdf"};
        QTest::newRow("folder") << folders << "Beta" << "alpha" << "v1.2";
        QTest::newRow("root") << QStringList() << QDir::rootPath() << "" << "";
    }

    void neighbours()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, current);
        QFETCH(QString, pre);
        QFETCH(QString, next);
        QTemporaryDir folder;
        fill(folder, entries);
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(QDir::isAbsolutePath(current) ? current : folder.filePath(current));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.last(), (QVariantList{pre, next}));
    }

    // The current folder is watched, and only it: changes there report the
    // siblings again; the folder left, a reset collector and an empty path
    // report nothing.
    void theCurrentFolderIsWatched()
    {
        QTemporaryDir first, second;
        fill(first, {"a.pdf", "b.pdf"});
        fill(second, {"x.pdf", "y.pdf", "z.pdf"});
        FileCollector collector;
        QSignalSpy spy(&collector, &FileCollector::sigSiblingFilesChanged);
        collector.setCurrentFile(first.filePath("a.pdf"));
        collector.setCurrentFile(second.filePath("y.pdf"));
        QCOMPARE(spy.size(), 2);
        addAndSettle(first, "c.pdf");
        QCOMPARE(spy.size(), 2);
        fill(second, {"yy.pdf"});
        QTRY_COMPARE(spy.last(), (QVariantList{"x", "yy"}));
        QVERIFY(QFile::remove(second.filePath("x.pdf")) && QFile::remove(second.filePath("z.pdf")));
        QTRY_COMPARE(spy.last(), (QVariantList{"yy", "yy"}));

        const qsizetype reported = spy.size();
        collector.reset();
        addAndSettle(second, "w.pdf");
        collector.updateSiblingFiles();
        collector.setCurrentFile(QString());
        QCOMPARE(spy.size(), reported);
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

};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
