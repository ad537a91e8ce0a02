#include "offscreenscreens.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <qpa/qplatformnativeinterface.h>

namespace offscreen {

namespace {

using GetConfiguration = QJsonObject (*)(QPlatformNativeInterface *);
using SetConfiguration = void (*)(const QJsonObject &, QPlatformNativeInterface *);

QPlatformNativeInterface *nativeInterface()
{
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        return nullptr;
    return QGuiApplication::platformNativeInterface();
}

} // namespace

bool available()
{
    QPlatformNativeInterface *native = nativeInterface();
    return native && native->nativeResourceForIntegration("configuration")
        && native->nativeResourceForIntegration("setConfiguration");
}

void setScreens(const QList<Screen> &screens)
{
    QPlatformNativeInterface *native = nativeInterface();
    Q_ASSERT(native);
    auto get = reinterpret_cast<GetConfiguration>(native->nativeResourceForIntegration("configuration"));
    auto set = reinterpret_cast<SetConfiguration>(native->nativeResourceForIntegration("setConfiguration"));
    Q_ASSERT(get && set);

    QJsonArray array;
    for (const Screen &s : screens) {
        array.append(QJsonObject{
            {QStringLiteral("name"), s.name},
            {QStringLiteral("x"), s.x},
            {QStringLiteral("y"), 0},
            {QStringLiteral("width"), 800},
            {QStringLiteral("height"), 600},
            {QStringLiteral("logicalDpi"), s.logicalDpi},
            {QStringLiteral("logicalBaseDpi"), 96},
            {QStringLiteral("dpr"), s.dpr},
        });
    }
    QJsonObject configuration = get(native);
    configuration.insert(QStringLiteral("screens"), array);
    set(configuration, native);
}

} // namespace offscreen
