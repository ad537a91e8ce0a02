#include "dpihelper.h"
#include "monitordpi.h"
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

QScreen *screenNamed(const QString &name)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
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

} // namespace

class tst_DpiHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setMonitorDpiQuery([](QScreen *screen) {
            ++queries[screen->name()];
            return answers.value(screen->name(), MonitorDpi::failed(Outcome::NoWindowsScreen));
        });
    }

    void init()
    {
        if (!setScreens(kScreens))
            QSKIP("needs Qt's offscreen platform with its screen configuration hook");
        answers.clear();
        queries.clear();
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
};

QTEST_MAIN(tst_DpiHelper)
#include "tst_dpihelper.moc"
