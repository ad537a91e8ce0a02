#include "dpihelper.h"
#include "monitordpi.h"
#include "offscreenscreens.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QMetaMethod>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <functional>

using testsupport::MessageCapture;
using Outcome = MonitorDpi::Outcome;

namespace {

// Stands in for the monitors: answers by screen name and counts the queries,
// which tells a table hit (no query) from a fresh query.
class FakeMonitors
{
public:
    explicit FakeMonitors(const QHash<QString, quint32> &dpis = {})
    {
        for (auto it = dpis.cbegin(); it != dpis.cend(); ++it)
            setDpi(it.key(), it.value());
        m_previous = setMonitorDpiQuery([this](QScreen *screen) {
            ++m_calls[screen->name()];
            if (onQuery)
                onQuery();
            return m_answers.value(screen->name(), MonitorDpi::failed(Outcome::NoWindowsScreen));
        });
    }
    ~FakeMonitors() { setMonitorDpiQuery(m_previous); }
    FakeMonitors(const FakeMonitors &) = delete;
    FakeMonitors &operator=(const FakeMonitors &) = delete;

    void setDpi(const QString &screen, quint32 x, quint32 y) { m_answers[screen] = MonitorDpi::found(x, y); }
    void setDpi(const QString &screen, quint32 dpi) { setDpi(screen, dpi, dpi); }
    void setFailure(const QString &screen, Outcome why)
    {
        m_answers[screen] = MonitorDpi::failed(why, qint32(0x80070057u));
    }
    int calls(const QString &screen) const { return m_calls.value(screen); }

    std::function<void()> onQuery;

private:
    MonitorDpiQuery m_previous;
    QHash<QString, MonitorDpi> m_answers;
    QHash<QString, int> m_calls;
};

QScreen *screenNamed(const QString &name)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

// How Qt's debug stream prints a screen pointer, with or without its name.
QString screenText(QScreen *screen, bool named = true)
{
    const QString pointer = QString::asprintf("%p", static_cast<void *>(screen));
    return named ? QStringLiteral("QScreen(%1, name=\"%2\")").arg(pointer, screen->name())
                 : QStringLiteral("QScreen(%1)").arg(pointer);
}

const QList<offscreen::Screen> kScreens{{"A", 0, 96, 1}, {"B", 1000, 96, 1}, {"C", 2000, 96, 1}};
const QString kUpdating = QStringLiteral("[main] [dpi] updating");

int rebuilds(const MessageCapture &capture)
{
    return int(capture.debugs().count(kUpdating));
}

// A whole error line of this unit, given what follows the line number and file.
QRegularExpression errorLine(const QString &signatureAndMessage)
{
    return QRegularExpression("^ERROR \\d+ \\S*dpihelper\\.cpp " + QRegularExpression::escape(signatureAndMessage)
                              + '$');
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
        if (!offscreen::available())
            QSKIP("needs Qt's offscreen platform with its screen configuration hook");
    }

    void init()
    {
        offscreen::setScreens(kScreens);
        // Screen changes of earlier tests may still have events queued.
        QCoreApplication::processEvents();
        QCOMPARE(QGuiApplication::screens().size(), 3);
    }

    void ratioIsMonitorDpiOver96_data()
    {
        QTest::addColumn<quint32>("dpiX");
        QTest::addColumn<quint32>("dpiY");
        QTest::addColumn<double>("qtRatio");
        QTest::addColumn<double>("expected");
        QTest::newRow("96") << 96u << 96u << 2.0 << 1.0;
        QTest::newRow("120") << 120u << 120u << 1.0 << 1.25;
        QTest::newRow("144") << 144u << 144u << 3.0 << 1.5;
        QTest::newRow("192") << 192u << 192u << 1.0 << 2.0;
        QTest::newRow("horizontal counts") << 144u << 192u << 1.0 << 1.5;
    }

    void ratioIsMonitorDpiOver96()
    {
        QFETCH(quint32, dpiX);
        QFETCH(quint32, dpiY);
        QFETCH(double, qtRatio);
        QFETCH(double, expected);

        QList<offscreen::Screen> screens = kScreens;
        screens[1].dpr = qtRatio;
        offscreen::setScreens(screens);
        QCoreApplication::processEvents();
        QScreen *b = screenNamed("B");
        QCOMPARE(b->devicePixelRatio(), qtRatio);

        FakeMonitors monitors({{"A", 96}, {"C", 96}});
        monitors.setDpi("B", dpiX, dpiY);
        MessageCapture capture;
        DpiHelper helper;
        QCOMPARE(helper.getScreenRatio(b), expected);
        QCOMPARE(helper.getDPRFromScreen(b), expected);
        // A widget is answered for the screen of its top-level widget.
        QWidget window;
        window.setScreen(b);
        QWidget child(&window);
        QWidget grandChild(&child);
        QCOMPARE(helper.getRatio(&grandChild), expected);

        // The rebuild logs each screen with Qt's logical ratio, ours and Qt's own.
        const QString line = QStringLiteral("[main] [dpi] %1 1 %2 %3").arg(screenText(b)).arg(expected).arg(qtRatio);
        QVERIFY2(capture.debugs().contains(line), qPrintable(capture.debugs().join('\n')));
        QVERIFY(capture.warnings().isEmpty());
    }

    void lookupsAreAnsweredFromTheTable()
    {
        FakeMonitors monitors({{"A", 120}, {"B", 144}, {"C", 192}});
        MessageCapture capture;
        DpiHelper helper;
        QCOMPARE(capture.debugs().first(), kUpdating);
        for (const char *entry : {"\"A\"), 1.25)", "\"B\"), 1.5)", "\"C\"), 2)"})
            QVERIFY2(lastTable(capture).contains(QLatin1String(entry)), qPrintable(lastTable(capture)));

        // After clearCache every lookup is a fresh query, which sees the monitor
        // as it is now.
        QScreen *a = screenNamed("A");
        monitors.setDpi("A", 96);
        capture.clear();
        helper.clearCache();
        QCOMPARE(capture.debugs(), QStringList{"[main] [dpi] cleared"});
        QCOMPARE(helper.getScreenRatio(a), 1.0);
        QCOMPARE(helper.getScreenRatio(a), 1.0);
        QCOMPARE(monitors.calls("A"), 3);

        // The one slot of the meta-object rebuilds the table, which then answers
        // without asking, even when the monitor has changed behind its back.
        const QMetaObject &mo = DpiHelper::staticMetaObject;
        QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
        QCOMPARE(mo.method(mo.methodOffset()).access(), QMetaMethod::Private);
        QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
        monitors.setDpi("A", 192);
        QCOMPARE(helper.getScreenRatio(a), 1.0);
        QCOMPARE(monitors.calls("A"), 4);
    }

    void failingScreenIsLeftOut_data()
    {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("message"); // %1: the screen as Qt prints it
        QTest::newRow("no windows screen") << int(Outcome::NoWindowsScreen)
                                           << " Failed to get QWindowsScreen for: %1";
        QTest::newRow("null monitor") << int(Outcome::NoMonitorHandle)
                                      << " Invalid monitor handle for screen: \"B\"";
        QTest::newRow("query failed") << int(Outcome::QueryFailed)
                                      << " GetDpiForMonitor failed with HRESULT: -2147024809 %1";
    }

    void failingScreenIsLeftOut()
    {
        QFETCH(int, outcome);
        QFETCH(QString, message);
        QScreen *b = screenNamed("B");
        const QRegularExpression expected =
            errorLine("double DpiHelper::getDPRFromScreen(QScreen*)" + message.arg(screenText(b)));

        FakeMonitors monitors({{"A", 144}, {"C", 192}});
        monitors.setFailure("B", Outcome(outcome));
        MessageCapture capture;
        DpiHelper helper;
        QCOMPARE(capture.warnings().size(), 1);
        QVERIFY2(expected.match(capture.warnings().first()).hasMatch(), qPrintable(capture.warnings().first()));
        QVERIFY2(!lastTable(capture).contains(QLatin1String("name=\"B\"")), qPrintable(lastTable(capture)));

        // Not in the table, so every lookup asks again, warns again, answers 1.0.
        QCOMPARE(helper.getScreenRatio(b), 1.0);
        QCOMPARE(helper.getScreenRatio(b), 1.0);
        QCOMPARE(monitors.calls("B"), 3);
        QCOMPARE(capture.warnings().size(), 3);
        QCOMPARE(helper.getDPRFromScreen(b), -1.0);
    }

    void withoutWindowsScreensEverythingIsOne()
    {
        // No fake: the platform's own answer, which off Windows is always failure.
        MessageCapture capture;
        DpiHelper helper;
        QCOMPARE(capture.warnings().size(), 3);
        QCOMPARE(capture.matching("Failed to get QWindowsScreen for: QScreen(").size(), 3);
        QCOMPARE(lastTable(capture), QStringLiteral("[main] [dpi] updated QHash()"));

        QWidget widget;
        QCOMPARE(helper.getRatio(&widget), 1.0);
        QCOMPARE(capture.warnings().size(), 4);

        // A null widget: the warning ends at the function signature.
        QCOMPARE(helper.getRatio(nullptr), 1.0);
        QVERIFY2(errorLine("double DpiHelper::getRatio(const QWidget*)").match(capture.warnings().last()).hasMatch(),
                 qPrintable(capture.warnings().last()));
    }

    void screenEventsRebuildTheTable()
    {
        FakeMonitors monitors({{"A", 96}, {"B", 120}, {"C", 144}, {"D", 192}});
        DpiHelper helper;
        MessageCapture capture;

        // D arrives and C leaves: each event logs at once and rebuilds after a
        // delay, none merged with the other. D comes first, so that its screen
        // cannot reuse the address of C's, which the table still holds.
        offscreen::setScreens(kScreens + QList<offscreen::Screen>{{"D", 3000, 96, 1}});
        offscreen::setScreens({kScreens[0], kScreens[1], {"D", 3000, 96, 1}});
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        QCOMPARE(capture.debugs().count("+++++++++++++++++++++++ screenAdded"), 1);
        QCOMPARE(capture.debugs().count("+++++++++++++++++++++++ screenRemoved"), 1);
        QScreen *d = screenNamed("D");
        QCOMPARE(helper.getScreenRatio(d), 2.0); // a fresh query until then
        QCOMPARE(monitors.calls("D"), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rebuilds(capture), 2, 10000);
        QVERIFY2(sinceEvents.elapsed() >= 450, qPrintable(QString::number(sinceEvents.elapsed())));
        QVERIFY(lastTable(capture).contains(QLatin1String("name=\"D\"), 2)")));
        QVERIFY2(!lastTable(capture).contains(QLatin1String("name=\"C\"")), qPrintable(lastTable(capture)));

        // A logical DPI change, on a screen present at construction and on the
        // added one, rebuilds on the next pass of the event loop.
        capture.clear();
        monitors.setDpi("A", 144);
        offscreen::setScreens({{"A", 0, 144, 1}, kScreens[1], {"D", 3000, 120, 1}});
        QTRY_COMPARE(rebuilds(capture), 2);
        for (QScreen *screen : {screenNamed("A"), d}) {
            const QString line = QStringLiteral("[main] [dpi] logicalDotsPerInchChanged %1 %2")
                                     .arg(screenText(screen, false))
                                     .arg(screen->logicalDotsPerInch());
            QVERIFY2(capture.debugs().contains(line), qPrintable(capture.debugs().join('\n')));
        }
        QCOMPARE(helper.getScreenRatio(screenNamed("A")), 1.5);
    }

    void rebuildIsNotReentered()
    {
        FakeMonitors monitors({{"A", 96}, {"B", 120}, {"C", 144}});
        DpiHelper helper;
        MessageCapture capture;

        // A query that itself asks for a rebuild while one is running.
        monitors.onQuery = [&] { QMetaObject::invokeMethod(&helper, "updateDPRData", Qt::DirectConnection); };
        QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
        monitors.onQuery = nullptr;
        QCOMPARE(rebuilds(capture), 1);
        QVERIFY(lastTable(capture).contains(QLatin1String("\"C\"), 1.5)"))); // and it went to the end

        // The guard is lifted afterwards.
        QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
        QCOMPARE(rebuilds(capture), 2);
    }
};

QTEST_MAIN(tst_DpiHelper)
#include "tst_dpihelper.moc"
