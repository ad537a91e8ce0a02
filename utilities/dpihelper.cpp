#include "dpihelper.h"

#include "errorline.h"
#include "monitordpi.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

constexpr double kFailed = -1.0;
constexpr double kBaseDpi = 96.0;
// Screens arriving or leaving come in bursts while the system rearranges its
// monitors; give it a moment before asking for their DPI.
constexpr int kScreenSettleMs = 500;

} // namespace

DpiHelper::DpiHelper(QObject *parent)
    : QObject(parent)
{
    updateDPRData();

    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    connect(app, &QGuiApplication::screenAdded, this, &DpiHelper::onScreenAdded);
    connect(app, &QGuiApplication::screenRemoved, this, &DpiHelper::onScreenRemoved);
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens)
        connect(screen, &QScreen::logicalDotsPerInchChanged, this, &DpiHelper::onLogicalDotsPerInchChanged);
}

DpiHelper::~DpiHelper() = default;

double DpiHelper::getRatio(const QWidget *widget)
{
    if (!widget) {
        ERROR_LINE();
        return 1.0;
    }
    if (const QWidget *topLevel = widget->window())
        return getScreenRatio(topLevel->screen());
    if (const QWindow *handle = widget->windowHandle())
        return getScreenRatio(handle->screen());
    ERROR_LINE() << widget;
    return 1.0;
}

double DpiHelper::getScreenRatio(QScreen *screen)
{
    const auto it = m_dprData.constFind(screen);
    if (it != m_dprData.constEnd())
        return it.value();
    const double ratio = getDPRFromScreen(screen);
    return ratio == kFailed ? 1.0 : ratio;
}

double DpiHelper::getDPRFromScreen(QScreen *screen)
{
    // A null screen has no platform screen behind it either.
    const MonitorDpi answer = screen ? queryMonitorDpi(screen)
                                     : MonitorDpi::failed(MonitorDpi::Outcome::NoWindowsScreen);
    switch (answer.outcome) {
    case MonitorDpi::Outcome::Found:
        break;
    case MonitorDpi::Outcome::NoWindowsScreen:
        ERROR_LINE() << "Failed to get QWindowsScreen for:" << screen;
        return kFailed;
    case MonitorDpi::Outcome::NoMonitorHandle:
        ERROR_LINE() << "Invalid monitor handle for screen:" << screen->name();
        return kFailed;
    case MonitorDpi::Outcome::QueryFailed:
        ERROR_LINE() << "GetDpiForMonitor failed with HRESULT:" << answer.hresult << screen;
        return kFailed;
    }
    return double(answer.dpiX) * 1.0 / kBaseDpi;
}

void DpiHelper::clearCache()
{
    qDebug() << "[main]" << "[dpi]" << "cleared";
    m_dprData.clear();
}

void DpiHelper::updateDPRData()
{
    // A rebuild started from inside a rebuild (a message handler or a platform
    // query that processes events) would work on a half-filled table.
    if (m_updating)
        return;
    qDebug() << "[main]" << "[dpi]" << "updating";
    m_updating = true;
    m_dprData.clear();
    const QList<QScreen *> screens = QGuiApplication::screens();
    for (QScreen *screen : screens) {
        const double ratio = getDPRFromScreen(screen);
        if (ratio == kFailed)
            continue;
        m_dprData.insert(screen, ratio);
        qDebug() << "[main]" << "[dpi]" << screen << screen->logicalDotsPerInch() * 1.0 / kBaseDpi << ratio
                 << screen->devicePixelRatio();
    }
    qDebug() << "[main]" << "[dpi]" << "updated" << m_dprData;
    m_updating = false;
}

void DpiHelper::onScreenAdded(QScreen *screen)
{
    qDebug() << "+++++++++++++++++++++++" << "screenAdded";
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, &DpiHelper::onLogicalDotsPerInchChanged);
    QTimer::singleShot(kScreenSettleMs, this, &DpiHelper::updateDPRData);
}

void DpiHelper::onScreenRemoved(QScreen *screen)
{
    Q_UNUSED(screen);
    qDebug() << "+++++++++++++++++++++++" << "screenRemoved";
    QTimer::singleShot(kScreenSettleMs, this, &DpiHelper::updateDPRData);
}

void DpiHelper::onLogicalDotsPerInchChanged(qreal dpi)
{
    qDebug() << "[main]" << "[dpi]" << "logicalDotsPerInchChanged" << sender() << dpi;
    QTimer::singleShot(0, this, &DpiHelper::updateDPRData);
}
