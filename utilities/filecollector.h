#pragma once

#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QString>

class QFileSystemWatcher;

// Finds the siblings of the previewed file that have the same type (files with
// the same suffix, or sub-folders when a folder is previewed), and reports the
// short names of the one before and the one after it, wrapping around at both
// ends. Reports again whenever the folder's contents change.
class FileCollector : public QObject
{
    Q_OBJECT

public:
    explicit FileCollector(QObject *parent = nullptr);
    ~FileCollector() override;

    // The siblings of path in name order ignoring case, path itself included
    // when it is listed. Keeps no state; usable from any thread.
    static QList<QFileInfo> GetSameTypeFileList(const QString &path);

    // Starts watching the folder of path and emits the neighbours at once.
    void setCurrentFile(const QString &path);
    // Forgets the current file and stops watching; emits nothing.
    void reset();
    void updateSiblingFiles();

signals:
    // Display names (no paths); both empty when there is no other sibling.
    void sigSiblingFilesChanged(const QString &pre, const QString &next);

private:
    enum class Direction { Backward, Forward };
    QFileInfo neighbourFile(const QList<QFileInfo> &siblings, Direction direction) const;

    QString m_currentFile;
    QFileSystemWatcher *m_watcher = nullptr;
};
