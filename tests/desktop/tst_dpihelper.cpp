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
#include <QSignalSpy>
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
    explicit FakeMonitors(const QList<QPair<QString, quint32>> &dpis = {})
    {
        for (const auto &[screen, dpi] : dpis)
            setDpi(screen, dpi);
        m_previous = setMonitorDpiQuery([this](QScreen *screen) {
            ++m_calls[screen->name()];
            if (onQuery)
                onQuery(screen);
            return m_answers.value(screen->name(), MonitorDpi::failed(Outcome::NoWindowsScreen));
        });
    }
    ~FakeMonitors() { setMonitorDpiQuery(m_previous); }
    FakeMonitors(const FakeMonitors &) = delete;
    FakeMonitors &operator=(const FakeMonitors &) = delete;

    void setDpi(const QString &screen, quint32 x, quint32 y) { m_answers[screen] = MonitorDpi::found(x, y); }
    void setDpi(const QString &screen, quint32 dpi) { setDpi(screen, dpi, dpi); }
    void setFailure(const QString &screen, Outcome why, qint32 hr = 0)
    {
        m_answers[screen] = MonitorDpi::failed(why, hr);
    }
    int calls(const QString &screen) const { return m_calls.value(screen); }
    int totalCalls() const
    {
        int total = 0;
        for (int n : m_calls)
            total += n;
        return total;
    }

    std::function<void(QScreen *)> onQuery;

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

const QList<offscreen::Screen> kStandardScreens{
    {QStringLiteral("A"), 0, 96, 1},
    {QStringLiteral("B"), 1000, 96, 1},
    {QStringLiteral("C"), 2000, 96, 1},
};

int countLines(const QStringList &lines, const QString &text)
{
    int n = 0;
    for (const QString &line : lines)
        n += line == text ? 1 : 0;
    return n;
}

QString lastLineStartingWith(const QStringList &lines, const QString &prefix)
{
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        if (it->startsWith(prefix))
            return *it;
    }
    return QString();
}

const QString kUpdating = QStringLiteral("[main] [dpi] updating");
const QString kUpdatedPrefix = QStringLiteral("[main] [dpi] updated ");

// The error-line head: word, line number, this unit's file, the signature.
QString errorHead(const QString &signature)
{
    return QStringLiteral("^ERROR \\d+ \\S*dpihelper\\.cpp ") + QRegularExpression::escape(signature);
}

} // namespace

class tst_DpiHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void metaObjectHasOnlyTheUpdateSlot();
    void ratioIsMonitorDpiOver96_data();
    void ratioIsMonitorDpiOver96();
    void lookupsAreAnsweredFromTheTable();
    void failingScreenIsLeftOut_data();
    void failingScreenIsLeftOut();
    void withoutWindowsScreensEverythingIsOne();
    void ratioOfWidgets();
    void nullArguments();
    void addedScreenJoinsAfterDelay();
    void removedScreenLeavesAfterDelay();
    void everyScreenEventRebuilds();
    void logicalDpiChangeRebuildsOnNextPass();
    void clearCacheFallsBackToQueries();
    void rebuildIsNotReentered();
};

void tst_DpiHelper::initTestCase()
{
    if (!offscreen::available())
        QSKIP("needs Qt's offscreen platform with its screen configuration hook");
}

void tst_DpiHelper::init()
{
    offscreen::setScreens(kStandardScreens);
    // Screen changes of earlier tests may still have events queued.
    QCoreApplication::processEvents();
    QCOMPARE(QGuiApplication::screens().size(), 3);
}

void tst_DpiHelper::metaObjectHasOnlyTheUpdateSlot()
{
    const QMetaObject &mo = DpiHelper::staticMetaObject;
    QCOMPARE(mo.className(), "DpiHelper");
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    const QMetaMethod slot = mo.method(mo.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("updateDPRData()"));
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(slot.access(), QMetaMethod::Private);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
}

void tst_DpiHelper::ratioIsMonitorDpiOver96_data()
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

void tst_DpiHelper::ratioIsMonitorDpiOver96()
{
    QFETCH(quint32, dpiX);
    QFETCH(quint32, dpiY);
    QFETCH(double, qtRatio);
    QFETCH(double, expected);

    QList<offscreen::Screen> screens = kStandardScreens;
    screens[1].dpr = qtRatio;
    offscreen::setScreens(screens);
    QCoreApplication::processEvents();
    QScreen *b = screenNamed(QStringLiteral("B"));
    QVERIFY(b);
    QCOMPARE(b->devicePixelRatio(), qtRatio);

    FakeMonitors monitors({{"A", 96}, {"C", 96}});
    monitors.setDpi(QStringLiteral("B"), dpiX, dpiY);
    MessageCapture capture;
    DpiHelper helper;

    QCOMPARE(helper.getDPRFromScreen(b), expected);
    QCOMPARE(helper.getScreenRatio(b), expected);
    QCOMPARE(helper.getScreenRatio(screenNamed(QStringLiteral("A"))), 1.0);

    // The rebuild logs each screen with Qt's logical ratio, ours and Qt's own.
    const QString line = QStringLiteral("[main] [dpi] QScreen(%1, name=\"B\") 1 %2 %3")
                             .arg(QString::asprintf("%p", static_cast<void *>(b)))
                             .arg(expected)
                             .arg(qtRatio);
    QVERIFY2(capture.debugs().contains(line), qPrintable(capture.debugs().join('\n')));
    QVERIFY(capture.warnings().isEmpty());
}

void tst_DpiHelper::lookupsAreAnsweredFromTheTable()
{
    FakeMonitors monitors({{"A", 120}, {"B", 144}, {"C", 192}});
    MessageCapture capture;
    DpiHelper helper;
    QCOMPARE(monitors.totalCalls(), 3);
    QCOMPARE(capture.debugs().first(), kUpdating);
    const QString updated = lastLineStartingWith(capture.debugs(), kUpdatedPrefix);
    for (const char *name : {"\"A\"), 1.25)", "\"B\"), 1.5)", "\"C\"), 2)"})
        QVERIFY2(updated.contains(QLatin1String(name)), qPrintable(updated));

    // The monitors change behind the helper's back: the table still answers,
    // without asking the platform.
    monitors.setDpi(QStringLiteral("A"), 96);
    QScreen *a = screenNamed(QStringLiteral("A"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(helper.getScreenRatio(a), 1.25);
    QCOMPARE(monitors.totalCalls(), 3);

    // Invoking the slot by name rebuilds the table.
    QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
    QCOMPARE(monitors.totalCalls(), 6);
    QCOMPARE(helper.getScreenRatio(a), 1.0);
    QCOMPARE(monitors.totalCalls(), 6);
}

void tst_DpiHelper::failingScreenIsLeftOut_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("message");
    // %1 stands for how the screen prints as a pointer.
    QTest::newRow("no windows screen") << int(Outcome::NoWindowsScreen)
                                       << QStringLiteral(" Failed to get QWindowsScreen for: %1$");
    QTest::newRow("null monitor") << int(Outcome::NoMonitorHandle)
                                  << QStringLiteral(" Invalid monitor handle for screen: \"B\"$");
    QTest::newRow("query failed") << int(Outcome::QueryFailed)
                                  << QStringLiteral(" GetDpiForMonitor failed with HRESULT: -2147024809 %1$");
}

void tst_DpiHelper::failingScreenIsLeftOut()
{
    QFETCH(int, outcome);
    QFETCH(QString, message);

    QScreen *b = screenNamed(QStringLiteral("B"));
    const QString screenText = QStringLiteral("QScreen(%1, name=\"B\")")
                                   .arg(QString::asprintf("%p", static_cast<void *>(b)));
    const QRegularExpression expected(errorHead(QStringLiteral("double DpiHelper::getDPRFromScreen(QScreen*)"))
                                      + message.arg(QRegularExpression::escape(screenText)));

    FakeMonitors monitors({{"A", 144}, {"C", 192}});
    monitors.setFailure(QStringLiteral("B"), Outcome(outcome), qint32(0x80070057u));
    MessageCapture capture;
    DpiHelper helper;

    QCOMPARE(capture.warnings().size(), 1);
    QVERIFY2(expected.match(capture.warnings().first()).hasMatch(), qPrintable(capture.warnings().first()));
    const QString updated = lastLineStartingWith(capture.debugs(), kUpdatedPrefix);
    QVERIFY(updated.contains(QLatin1String("name=\"A\"")));
    QVERIFY(updated.contains(QLatin1String("name=\"C\"")));
    QVERIFY2(!updated.contains(QLatin1String("name=\"B\"")), qPrintable(updated));

    // Not in the table, so every lookup asks again, warns again, answers 1.0.
    capture.clear();
    QCOMPARE(helper.getScreenRatio(b), 1.0);
    QCOMPARE(helper.getScreenRatio(b), 1.0);
    QCOMPARE(monitors.calls(QStringLiteral("B")), 3);
    QCOMPARE(capture.warnings().size(), 2);
    QVERIFY(expected.match(capture.warnings().last()).hasMatch());
    QCOMPARE(helper.getDPRFromScreen(b), -1.0);

    // The failure is not permanent: the next rebuild picks the screen up.
    monitors.setDpi(QStringLiteral("B"), 120);
    QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
    const int calls = monitors.totalCalls();
    QCOMPARE(helper.getScreenRatio(b), 1.25);
    QCOMPARE(monitors.totalCalls(), calls);
}

void tst_DpiHelper::withoutWindowsScreensEverythingIsOne()
{
    // No fake: the platform's own answer, which off Windows is always failure.
    MessageCapture capture;
    DpiHelper helper;
    QCOMPARE(capture.warnings().size(), 3);
    for (const QString &warning : capture.warnings())
        QVERIFY2(warning.contains(QLatin1String("Failed to get QWindowsScreen for: QScreen(")), qPrintable(warning));
    QCOMPARE(lastLineStartingWith(capture.debugs(), kUpdatedPrefix), kUpdatedPrefix + QStringLiteral("QHash()"));

    QWidget widget;
    capture.clear();
    QCOMPARE(helper.getRatio(&widget), 1.0);
    QCOMPARE(capture.warnings().size(), 1);
    QCOMPARE(helper.getRatio(&widget), 1.0);
    QCOMPARE(capture.warnings().size(), 2);
}

void tst_DpiHelper::ratioOfWidgets()
{
    FakeMonitors monitors({{"A", 96}, {"B", 144}, {"C", 192}});
    DpiHelper helper;

    QWidget onB;
    onB.setScreen(screenNamed(QStringLiteral("B")));
    QWidget child(&onB);
    QWidget grandChild(&child);
    QCOMPARE(helper.getRatio(&onB), 1.5);
    QCOMPARE(helper.getRatio(&grandChild), 1.5);

    // A shown window on C: the screen comes from where it is shown.
    QWidget onC;
    onC.setGeometry(2100, 100, 200, 100);
    onC.show();
    QVERIFY(QTest::qWaitForWindowExposed(&onC));
    QCOMPARE(onC.screen(), screenNamed(QStringLiteral("C")));
    QWidget childOfC(&onC);
    QCOMPARE(helper.getRatio(&childOfC), 2.0);

    // Moving the window to another screen changes the answer.
    onB.setScreen(screenNamed(QStringLiteral("A")));
    QCOMPARE(helper.getRatio(&grandChild), 1.0);
}

void tst_DpiHelper::nullArguments()
{
    FakeMonitors monitors;
    DpiHelper helper;
    MessageCapture capture;
    QCOMPARE(helper.getRatio(nullptr), 1.0);
    QCOMPARE(capture.warnings().size(), 1);
    // Nothing follows the function signature.
    const QRegularExpression expected(errorHead(QStringLiteral("double DpiHelper::getRatio(const QWidget*)")) + '$');
    QVERIFY2(expected.match(capture.warnings().first()).hasMatch(), qPrintable(capture.warnings().first()));

    // A null screen is a failed query, never handed to the platform.
    QCOMPARE(helper.getDPRFromScreen(nullptr), -1.0);
    QCOMPARE(helper.getScreenRatio(nullptr), 1.0);
    QCOMPARE(capture.warnings().size(), 3);
    QVERIFY(capture.warnings().last().endsWith(QLatin1String("Failed to get QWindowsScreen for: QScreen(0x0)")));
    QCOMPARE(monitors.totalCalls(), 3);
}

void tst_DpiHelper::addedScreenJoinsAfterDelay()
{
    FakeMonitors monitors({{"A", 96}, {"B", 96}, {"C", 96}, {"D", 144}});
    DpiHelper helper;
    MessageCapture capture;

    QList<offscreen::Screen> screens = kStandardScreens;
    screens.append({QStringLiteral("D"), 3000, 96, 1});
    offscreen::setScreens(screens);
    QElapsedTimer sinceAdded;
    sinceAdded.start();
    QScreen *d = screenNamed(QStringLiteral("D"));
    QVERIFY(d);
    QCOMPARE(capture.debugs(), QStringList{QStringLiteral("+++++++++++++++++++++++ screenAdded")});

    // Until the delayed rebuild, the new screen is answered by fresh queries.
    QCOMPARE(helper.getScreenRatio(d), 1.5);
    QCOMPARE(helper.getScreenRatio(d), 1.5);
    QCOMPARE(monitors.calls(QStringLiteral("D")), 2);

    QTRY_COMPARE_WITH_TIMEOUT(countLines(capture.debugs(), kUpdating), 1, 10000);
    QVERIFY2(sinceAdded.elapsed() >= 450, qPrintable(QString::number(sinceAdded.elapsed())));
    QVERIFY(lastLineStartingWith(capture.debugs(), kUpdatedPrefix).contains(QLatin1String("name=\"D\"), 1.5)")));
    QCOMPARE(helper.getScreenRatio(d), 1.5);
    QCOMPARE(monitors.calls(QStringLiteral("D")), 3); // two lookups and the rebuild

    // The new screen's DPI changes are followed too.
    capture.clear();
    screens.last().logicalDpi = 120;
    offscreen::setScreens(screens);
    // The sender prints as a plain object pointer, without the screen's name.
    QTRY_VERIFY(!capture.matching(QStringLiteral("logicalDotsPerInchChanged")).isEmpty());
    const QString changed = QStringLiteral("[main] [dpi] logicalDotsPerInchChanged QScreen(%1) %2")
                                .arg(QString::asprintf("%p", static_cast<void *>(d)))
                                .arg(d->logicalDotsPerInch());
    QCOMPARE(capture.matching(QStringLiteral("logicalDotsPerInchChanged")), QStringList{changed});
}

void tst_DpiHelper::removedScreenLeavesAfterDelay()
{
    FakeMonitors monitors({{"A", 96}, {"B", 120}, {"C", 144}});
    DpiHelper helper;
    MessageCapture capture;

    QList<offscreen::Screen> screens = kStandardScreens;
    screens.removeLast();
    offscreen::setScreens(screens);
    QElapsedTimer sinceRemoved;
    sinceRemoved.start();
    QCOMPARE(capture.debugs(), QStringList{QStringLiteral("+++++++++++++++++++++++ screenRemoved")});

    QTRY_COMPARE_WITH_TIMEOUT(countLines(capture.debugs(), kUpdating), 1, 10000);
    QVERIFY2(sinceRemoved.elapsed() >= 450, qPrintable(QString::number(sinceRemoved.elapsed())));
    const QString updated = lastLineStartingWith(capture.debugs(), kUpdatedPrefix);
    QVERIFY(updated.contains(QLatin1String("name=\"B\"")));
    QVERIFY2(!updated.contains(QLatin1String("name=\"C\"")), qPrintable(updated));
    QCOMPARE(monitors.calls(QStringLiteral("C")), 1);
}

void tst_DpiHelper::everyScreenEventRebuilds()
{
    FakeMonitors monitors;
    DpiHelper helper;
    MessageCapture capture;

    // Two screens arrive and one leaves in one go: three events, three
    // rebuilds, none merged with another.
    offscreen::setScreens({kStandardScreens[0], kStandardScreens[1],
                           {QStringLiteral("D"), 3000, 96, 1}, {QStringLiteral("E"), 4000, 96, 1}});
    QCOMPARE(capture.matching(QStringLiteral("+++++++++++++++++++++++")).size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(countLines(capture.debugs(), kUpdating), 3, 10000);

    // An event 100 ms after another still gets its own rebuild.
    capture.clear();
    offscreen::setScreens(kStandardScreens);
    QTest::qWait(100);
    offscreen::setScreens(kStandardScreens.mid(0, 2));
    QTRY_COMPARE_WITH_TIMEOUT(countLines(capture.debugs(), kUpdating), 4, 10000);
}

void tst_DpiHelper::logicalDpiChangeRebuildsOnNextPass()
{
    FakeMonitors monitors({{"A", 96}});
    DpiHelper helper;
    QScreen *a = screenNamed(QStringLiteral("A"));
    QCOMPARE(helper.getScreenRatio(a), 1.0);
    MessageCapture capture;

    // The user picks 150 % for monitor A.
    monitors.setDpi(QStringLiteral("A"), 144);
    QList<offscreen::Screen> screens = kStandardScreens;
    screens[0].logicalDpi = 144;
    offscreen::setScreens(screens);
    QTRY_COMPARE(countLines(capture.debugs(), kUpdating), 1);

    const QStringList debugs = capture.debugs();
    const QString changed = QStringLiteral("[main] [dpi] logicalDotsPerInchChanged QScreen(%1) %2")
                                .arg(QString::asprintf("%p", static_cast<void *>(a)))
                                .arg(a->logicalDotsPerInch());
    QVERIFY2(debugs.indexOf(changed) >= 0, qPrintable(debugs.join('\n')));
    QVERIFY(debugs.indexOf(changed) < debugs.indexOf(kUpdating));
    const int calls = monitors.totalCalls();
    QCOMPARE(helper.getScreenRatio(a), 1.5);
    QCOMPARE(monitors.totalCalls(), calls);
}

void tst_DpiHelper::clearCacheFallsBackToQueries()
{
    FakeMonitors monitors({{"A", 120}, {"B", 144}});
    DpiHelper helper;
    QScreen *a = screenNamed(QStringLiteral("A"));
    MessageCapture capture;

    helper.clearCache();
    QCOMPARE(capture.debugs(), QStringList{QStringLiteral("[main] [dpi] cleared")});
    const int calls = monitors.totalCalls();
    QCOMPARE(helper.getScreenRatio(a), 1.25);
    QCOMPARE(helper.getScreenRatio(a), 1.25);
    QCOMPARE(monitors.totalCalls(), calls + 2);
    // Fresh queries see the monitor as it is now.
    monitors.setDpi(QStringLiteral("A"), 192);
    QCOMPARE(helper.getScreenRatio(a), 2.0);

    QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
    const int afterRebuild = monitors.totalCalls();
    QCOMPARE(helper.getScreenRatio(a), 2.0);
    QCOMPARE(monitors.totalCalls(), afterRebuild);
}

void tst_DpiHelper::rebuildIsNotReentered()
{
    FakeMonitors monitors({{"A", 96}, {"B", 120}, {"C", 144}});
    DpiHelper helper;
    MessageCapture capture;

    // A query that itself asks for a rebuild while one is running.
    int nested = 0;
    monitors.onQuery = [&](QScreen *) {
        ++nested;
        QMetaObject::invokeMethod(&helper, "updateDPRData", Qt::DirectConnection);
    };
    QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
    monitors.onQuery = nullptr;

    QCOMPARE(nested, 3);
    QCOMPARE(countLines(capture.debugs(), kUpdating), 1);
    const QString updated = lastLineStartingWith(capture.debugs(), kUpdatedPrefix);
    for (const char *name : {"\"A\"), 1)", "\"B\"), 1.25)", "\"C\"), 1.5)"})
        QVERIFY2(updated.contains(QLatin1String(name)), qPrintable(updated));

    // The guard is lifted afterwards.
    capture.clear();
    QVERIFY(QMetaObject::invokeMethod(&helper, "updateDPRData"));
    QCOMPARE(countLines(capture.debugs(), kUpdating), 1);
}

QTEST_MAIN(tst_DpiHelper)
#include "tst_dpihelper.moc"
