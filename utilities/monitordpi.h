#pragma once

#include <QtGlobal>

#include <functional>

class QScreen;

// What the platform says about the monitor behind one screen. The failure
// kinds are kept apart because each is reported with its own message.
struct MonitorDpi
{
    enum class Outcome {
        Found,            // dpiX / dpiY hold the monitor's effective DPI
        NoWindowsScreen,  // the screen has no Windows screen interface
        NoMonitorHandle,  // the interface gave a null monitor handle
        QueryFailed,      // the DPI query itself failed; see hresult
    };

    Outcome outcome = Outcome::NoWindowsScreen;
    quint32 dpiX = 0;
    quint32 dpiY = 0;
    qint32 hresult = 0;

    static MonitorDpi found(quint32 x, quint32 y) { return {Outcome::Found, x, y, 0}; }
    static MonitorDpi failed(Outcome why, qint32 hr = 0) { return {why, 0, 0, hr}; }
};

using MonitorDpiQuery = std::function<MonitorDpi(QScreen *)>;

// Effective DPI of the monitor that shows screen (never null), through the
// query in force. On Windows the default asks the shell scaling API; on other
// systems there is no Windows screen behind any QScreen, so the default
// answers NoWindowsScreen.
MonitorDpi queryMonitorDpi(QScreen *screen);

// Puts another query in force (tests give each screen a DPI or a failure this
// way); an empty function brings back the default. Returns the query that was
// in force before, empty when that was the default. GUI thread only.
MonitorDpiQuery setMonitorDpiQuery(MonitorDpiQuery query);
