#include "placestore.h"

#include "pagelayout.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QSettings>

#include <cmath>

namespace {

constexpr int EntryVersion = 1;
const QString Group = QStringLiteral("places");

struct FileStamp {
    qint64 size = -1;
    qint64 modified = 0;
};

FileStamp stampOf(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() ? FileStamp{info.size(), info.lastModified().toMSecsSinceEpoch()} : FileStamp{};
}

// A stored number, if it is one of the kind and within range.
std::optional<double> number(const QVariantMap &entry, const char *name, double low, double high)
{
    bool ok = false;
    const double value = entry.value(QLatin1String(name)).toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace

PlaceStore::PlaceStore(QSettings *settings, int maxEntries)
    : m_settings(settings ? settings : new QSettings)
    , m_ownSettings(!settings)
    , m_maxEntries(qMax(1, maxEntries))
{ }

PlaceStore::~PlaceStore()
{
    if (m_ownSettings)
        delete m_settings;
}

QString PlaceStore::keyOf(const QString &path) const
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return QString();
    return QString::fromLatin1(QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex());
}

int PlaceStore::entryCount() const
{
    m_settings->beginGroup(Group);
    const int count = int(m_settings->childKeys().size());
    m_settings->endGroup();
    return count;
}

std::optional<Place> PlaceStore::find(const QString &path) const
{
    const QString key = keyOf(path);
    if (key.isEmpty())
        return std::nullopt;
    m_settings->beginGroup(Group);
    const QVariant stored = m_settings->value(key);
    m_settings->endGroup();
    const QVariantMap entry = stored.toMap();
    const auto version = number(entry, "version", EntryVersion, EntryVersion);
    const auto size = number(entry, "size", 0, 9e15);
    const auto modified = number(entry, "modified", -9e15, 9e15);
    const auto page = number(entry, "page", 0, INT_MAX);
    const auto x = number(entry, "x", -1e6, 1e6);
    const auto y = number(entry, "y", -1e6, 1e6);
    const auto zoom = number(entry, "zoom", -1, PageLayout::MaxZoom);
    const auto turns = number(entry, "turns", 0, 3);
    const auto colours = number(entry, "colours", 0, 3);
    const auto arrangement = number(entry, "arrangement", 0, 2);
    if (!version || !size || !modified || !page || !x || !y || !zoom || !turns || !colours || !arrangement
        || (*zoom > 0 && *zoom < PageLayout::MinZoom) || (*zoom < 0 && *zoom != -1)) {
        if (stored.isValid()) {
            m_settings->beginGroup(Group);
            m_settings->remove(key);
            m_settings->endGroup();
        }
        return std::nullopt;
    }
    Place place;
    place.page = int(*page);
    const FileStamp now = stampOf(path);
    place.whole = now.size == qint64(*size) && now.modified == qint64(*modified);
    if (!place.whole)
        return place;
    place.at = QPointF(*x, *y);
    place.zoom = *zoom;
    place.quarterTurns = int(*turns);
    place.colours = pageColoursFrom(int(*colours));
    place.arrangement = int(*arrangement);
    return place;
}

void PlaceStore::remember(const QString &path, const Place &place)
{
    const QString key = keyOf(path);
    const FileStamp stamp = stampOf(path);
    if (key.isEmpty() || stamp.size < 0)
        return;
    // Uses are counted, not timed: a clock set back cannot make an old
    // entry look new.
    const qint64 use = m_settings->value(QStringLiteral("placesUsed")).toLongLong() + 1;
    m_settings->setValue(QStringLiteral("placesUsed"), use);
    m_settings->beginGroup(Group);
    m_settings->setValue(key,
                         QVariantMap{{QStringLiteral("version"), EntryVersion},
                                     {QStringLiteral("size"), stamp.size},
                                     {QStringLiteral("modified"), stamp.modified},
                                     {QStringLiteral("used"), use},
                                     {QStringLiteral("page"), qMax(0, place.page)},
                                     {QStringLiteral("x"), place.at.x()},
                                     {QStringLiteral("y"), place.at.y()},
                                     {QStringLiteral("zoom"), place.zoom},
                                     {QStringLiteral("turns"), ((place.quarterTurns % 4) + 4) % 4},
                                     {QStringLiteral("colours"), int(place.colours)},
                                     {QStringLiteral("arrangement"), std::clamp(place.arrangement, 0, 2)}});
    QStringList keys = m_settings->childKeys();
    if (keys.size() > m_maxEntries) {
        std::vector<std::pair<qint64, QString>> byUse;
        for (const QString &k : keys)
            byUse.emplace_back(m_settings->value(k).toMap().value(QStringLiteral("used")).toLongLong(), k);
        std::sort(byUse.begin(), byUse.end());
        for (size_t i = 0; i + m_maxEntries < byUse.size(); ++i)
            m_settings->remove(byUse[i].second);
    }
    m_settings->endGroup();
}
