#include "filecollector.h"

#include "errorline.h"

#include <QDir>
#include <QFileSystemWatcher>
#include <QStringList>

namespace {

// Longer names would crowd the previous/next buttons of the preview.
constexpr int kMaxNameLength = 25;
constexpr int kKeptLength = 23;

QString shortened(const QString &name)
{
    if (name.length() <= kMaxNameLength)
        return name;
    return name.left(kKeptLength) + QStringLiteral("...");
}

} // namespace

FileCollector::FileCollector(QObject *parent)
    : QObject(parent)
{
}

FileCollector::~FileCollector() = default;

QList<QFileInfo> FileCollector::GetSameTypeFileList(const QString &path)
{
    if (path.isEmpty()) {
        ERROR_LINE();
        return {};
    }
    const QFileInfo info(path);
    // The folder made from a path sorts by name ignoring case, and NoSort
    // below leaves that order in force.
    const QDir parent = info.absoluteDir();
    if (info.isDir()) {
        if (parent.absolutePath() == info.absoluteFilePath())
            return {}; // a root has no siblings
        return parent.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    }
    const QStringList nameFilters{QStringLiteral("*.") + info.suffix().toLower()};
    return parent.entryInfoList(nameFilters, QDir::Files | QDir::Readable, QDir::NoSort);
}

void FileCollector::setCurrentFile(const QString &path)
{
    reset();
    m_currentFile = path;
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &FileCollector::updateSiblingFiles);
    m_watcher->addPath(QFileInfo(path).absoluteDir().absolutePath());
    updateSiblingFiles();
}

void FileCollector::reset()
{
    // Deleted now rather than later, so no notification of the old folder can
    // arrive once another file is current.
    delete m_watcher;
    m_watcher = nullptr;
    m_currentFile.clear();
}

void FileCollector::updateSiblingFiles()
{
    if (m_currentFile.isEmpty())
        return;
    const QList<QFileInfo> siblings = GetSameTypeFileList(m_currentFile);
    if (siblings.size() < 2) {
        emit sigSiblingFilesChanged(QString(), QString());
        return;
    }
    const QFileInfo next = neighbourFile(siblings, Direction::Forward);
    const QFileInfo previous = neighbourFile(siblings, Direction::Backward);

    // Folder names have no suffix to drop; "v1.2" must stay "v1.2".
    const bool folders = next.isDir();
    const QString previousName = shortened(folders ? previous.fileName() : previous.completeBaseName());
    const QString nextName = shortened(folders ? next.fileName() : next.completeBaseName());
    emit sigSiblingFilesChanged(previousName, nextName);
}

QFileInfo FileCollector::neighbourFile(const QList<QFileInfo> &siblings, Direction direction) const
{
    qsizetype position = -1;
    for (qsizetype i = 0; i < siblings.size(); ++i) {
        if (siblings.at(i).absoluteFilePath() == m_currentFile) {
            position = i;
            break;
        }
    }
    // A current file that is not listed (gone, hidden, or spelled differently)
    // still gets neighbours: the start of the list.
    if (position < 0)
        return siblings.first();
    if (direction == Direction::Forward)
        return siblings.at(position + 1 < siblings.size() ? position + 1 : 0);
    return siblings.at(position > 0 ? position - 1 : siblings.size() - 1);
}
