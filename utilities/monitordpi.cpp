#include "monitordpi.h"

#include <QScreen>

#include <utility>

#ifdef Q_OS_WIN
#include "winapi.h"

#include <QtGui/qpa/qplatformscreen_p.h>

#include <shellscalingapi.h>
#endif

namespace {

MonitorDpi platformMonitorDpi(QScreen *screen)
{
#ifdef Q_OS_WIN
    using QNativeInterface::Private::QWindowsScreen;
    auto *windowsScreen = screen->nativeInterface<QWindowsScreen>();
    if (!windowsScreen)
        return MonitorDpi::failed(MonitorDpi::Outcome::NoWindowsScreen);
    const HMONITOR monitor = windowsScreen->handle();
    if (!monitor)
        return MonitorDpi::failed(MonitorDpi::Outcome::NoMonitorHandle);
    UINT dpiX = 0;
    UINT dpiY = 0;
    const HRESULT hr = GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY);
    if (FAILED(hr))
        return MonitorDpi::failed(MonitorDpi::Outcome::QueryFailed, static_cast<qint32>(hr));
    return MonitorDpi::found(dpiX, dpiY);
#else
    Q_UNUSED(screen);
    return MonitorDpi::failed(MonitorDpi::Outcome::NoWindowsScreen);
#endif
}

MonitorDpiQuery &currentQuery()
{
    static MonitorDpiQuery query;
    return query;
}

} // namespace

MonitorDpi queryMonitorDpi(QScreen *screen)
{
    const MonitorDpiQuery &query = currentQuery();
    return query ? query(screen) : platformMonitorDpi(screen);
}

MonitorDpiQuery setMonitorDpiQuery(MonitorDpiQuery query)
{
    return std::exchange(currentQuery(), std::move(query));
}
