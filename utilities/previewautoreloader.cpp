#include "previewautoreloader.h"

#include <QFileInfo>

PreviewAutoReloader::PreviewAutoReloader(QObject *parent, int intervalMs)
    : QObject(parent)
{
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &PreviewAutoReloader::poll);
}

PreviewAutoReloader::~PreviewAutoReloader() = default;

void PreviewAutoReloader::setEnabled(bool enabled)
{
    m_enabled = enabled;
    if (enabled)
        updateTimer();
    else
        clear();
}

void PreviewAutoReloader::setWatchedFile(const QString &path)
{
    m_watchedFile = path;
    m_changePending = false;
    m_candidate = FileSnapshot();
    m_baseline = canWatch(path) ? takeSnapshot(path) : FileSnapshot();
    updateTimer();
}

void PreviewAutoReloader::clear()
{
    m_watchedFile.clear();
    m_baseline = FileSnapshot();
    m_candidate = FileSnapshot();
    m_changePending = false;
    m_timer.stop();
}

void PreviewAutoReloader::pause()
{
    m_paused = true;
    m_timer.stop();
}

void PreviewAutoReloader::resume()
{
    m_paused = false;
    if (canWatch(m_watchedFile))
        m_baseline = takeSnapshot(m_watchedFile);
    updateTimer();
}

void PreviewAutoReloader::poll()
{
    if (m_watchedFile.isEmpty()) {
        clear();
        return;
    }
    if (!m_enabled || m_paused) {
        m_timer.stop();
        return;
    }
    if (QFileInfo(m_watchedFile).isDir()) {
        clear();
        return;
    }

    const FileSnapshot current = takeSnapshot(m_watchedFile);
    if (!m_changePending) {
        if (current != m_baseline) {
            m_candidate = current;
            m_changePending = true;
        }
        return;
    }
    if (current != m_baseline && current == m_candidate) {
        // Held still for a whole interval: the writer is done.
        m_baseline = current;
        m_changePending = false;
        m_candidate = FileSnapshot();
        emit sigReloadRequested();
        return;
    }
    if (current == m_baseline) {
        // Changed and changed back between two looks: nothing to reload.
        m_changePending = false;
        m_candidate = FileSnapshot();
        return;
    }
    m_candidate = current; // still moving
}

bool PreviewAutoReloader::canWatch(const QString &path) const
{
    if (!m_enabled || m_paused || path.isEmpty())
        return false;
    return !QFileInfo(path).isDir();
}

void PreviewAutoReloader::updateTimer()
{
    if (canWatch(m_watchedFile))
        m_timer.start();
    else
        m_timer.stop();
}

FileSnapshot PreviewAutoReloader::takeSnapshot(const QString &path)
{
    // A fresh QFileInfo each time: a cached one would hide the change.
    const QFileInfo info(path);
    FileSnapshot snapshot;
    snapshot.path = path;
    snapshot.exists = info.exists();
    if (snapshot.exists) {
        snapshot.fileSize = info.size();
        snapshot.lastModified = info.lastModified();
    }
    return snapshot;
}
