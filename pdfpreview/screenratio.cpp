#include "screenratio.h"

#include "dpihelper.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>

Q_LOGGING_CATEGORY(lcScreenRatio, "pdfpreview.dpi", QtWarningMsg)

ScreenRatio::ScreenRatio(QObject *parent)
    : QObject(parent)
{
    // Only Windows' own platform plugin has monitors behind its screens.
    if (QGuiApplication::platformName() == QLatin1String("windows"))
        m_dpi = new DpiHelper(this);
}

ScreenRatio::~ScreenRatio() = default;

double ScreenRatio::ratioFor(const QWidget *widget) const
{
    QScreen *screen = nullptr;
    if (widget) {
        if (const QWidget *topLevel = widget->window())
            screen = topLevel->screen();
        if (!screen && widget->windowHandle())
            screen = widget->windowHandle()->screen();
    }
    if (!screen)
        return 1.0;
    if (m_dpi) {
        const double monitor = m_dpi->getDPRFromScreen(screen);
        if (monitor > 0) {
            qCDebug(lcScreenRatio) << screen->name() << "monitor ratio" << monitor;
            return monitor;
        }
    }
    const double qt = screen->devicePixelRatio();
    qCDebug(lcScreenRatio) << screen->name() << "Qt's ratio" << qt;
    return qt > 0 ? qt : 1.0;
}
