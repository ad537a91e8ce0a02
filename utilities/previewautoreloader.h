#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtGlobal>

// One look at a path: whether it existed, and its size and modification time
// if so. The path takes part in comparisons, so the empty snapshot differs
// from every look at a real path, even at a missing file.
struct FileSnapshot
{
    QString path;
    bool exists = false;
    qint64 fileSize = -1;
    QDateTime lastModified;

    friend bool operator==(const FileSnapshot &a, const FileSnapshot &b)
    {
        return a.path == b.path && a.exists == b.exists && a.fileSize == b.fileSize
            && a.lastModified == b.lastModified;
    }
    friend bool operator!=(const FileSnapshot &a, const FileSnapshot &b) { return !(a == b); }
};

// Polls the previewed file and asks for a reload once a change has been seen
// and the file then looked the same on the following poll, so a file that is
// still being written is not reloaded half-way. Only existence, size and
// modification time are compared; the contents are never read.
class PreviewAutoReloader : public QObject
{
    Q_OBJECT

public:
    explicit PreviewAutoReloader(QObject *parent = nullptr, int intervalMs = 500);
    ~PreviewAutoReloader() override;

    // Off also forgets the watched file; on keeps whatever file and baseline
    // there are.
    void setEnabled(bool enabled);
    // Forgets any change in progress and takes a fresh baseline when polling
    // is possible; otherwise the baseline is the empty snapshot.
    void setWatchedFile(const QString &path);
    void clear();
    void pause();
    // Changes made while paused become part of the new baseline.
    void resume();

    // One polling step; the timer calls it on every tick.
    void poll();
    bool canWatch(const QString &path) const;
    void updateTimer();
    static FileSnapshot takeSnapshot(const QString &path);

signals:
    void sigReloadRequested();

private:
    QTimer m_timer;
    QString m_watchedFile;
    FileSnapshot m_baseline;
    FileSnapshot m_candidate;
    bool m_enabled = false;
    bool m_paused = false;
    bool m_changePending = false;
};
