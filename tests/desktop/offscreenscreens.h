#pragma once

#include <QList>
#include <QString>

// Drives the screens of Qt's offscreen platform: replacing the configuration
// adds, removes or changes QScreen objects exactly as a real platform plug-in
// does, so screenAdded / screenRemoved / logicalDotsPerInchChanged are genuine.
namespace offscreen {

struct Screen {
    QString name;
    int x = 0;
    double logicalDpi = 96;
    double dpr = 1; // what Qt itself will call the screen's pixel ratio
};

// False when the running platform plug-in offers no configuration hook.
bool available();
// Screens are matched by name: unknown names are added, missing ones removed,
// others updated in place. Keep at least one screen.
void setScreens(const QList<Screen> &screens);

} // namespace offscreen
