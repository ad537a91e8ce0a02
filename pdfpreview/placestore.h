#pragma once

// Where each file was left: the page and the point on it at the view's top
// left corner, the zoom, the rotation and the colours, for the next time the
// file is opened. Entries are keyed by a hash of the file's canonical path
// (the settings file names no file) and hold its size and modification time:
// a file changed since gives back only its page, which the caller keeps if
// the file still has it. At most a bound of entries is kept, the least
// recently used going first. Settings that are not an entry of this
// version, or hold values out of range, are ignored and dropped.

#include "pagecolours.h"

#include <QDateTime>
#include <QPointF>
#include <QString>

#include <optional>

class QSettings;

struct Place {
    int page = 0;
    QPointF at;        // page points, as laid out unturned
    bool whole = true; // false: the file changed, only the page is known
    double zoom = 0;   // 0: fit width; -1: fit page; else pixels a point
    int quarterTurns = 0;
    PageColours colours = PageColours::Normal;
    int arrangement = 0; // PageLayout::Arrangement
};

class PlaceStore
{
public:
    static constexpr int DefaultEntries = 1000;
    // In settings (the application's own when null), group "places".
    explicit PlaceStore(QSettings *settings = nullptr, int maxEntries = DefaultEntries);
    ~PlaceStore();

    std::optional<Place> find(const QString &path) const;
    void remember(const QString &path, const Place &place);
    int entryCount() const;

private:
    QString keyOf(const QString &path) const;

    QSettings *m_settings;
    bool m_ownSettings;
    int m_maxEntries;
};
