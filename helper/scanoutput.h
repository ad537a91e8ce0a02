#pragma once

#include <QByteArray>
#include <QString>

// Mode 0's output file, made ready before the sandbox closes the file system
// and written once the scan has something to write. Until then nothing about
// the file changes: a missing file stays missing, an existing one keeps its
// content. On Linux an existing file is opened for writing at once (opening
// writes nothing); a missing one becomes an unnamed file in its folder, which
// gets the output's name only when it is complete, so the sandbox lets the
// helper name one new file there and write nothing else. The unnamed file is
// made by makeReady(), once the helper has its own root, where that folder is
// the one folder that can take a file. Elsewhere the file is opened by its
// path when it is written.
class ScanOutput
{
public:
    explicit ScanOutput(const QString &path);
    ~ScanOutput();
    ScanOutput(const ScanOutput &) = delete;
    ScanOutput &operator=(const ScanOutput &) = delete;

    // Makes the unnamed file for a missing output; nothing for an existing one.
    void makeReady();

    // Writes content as the whole file. False when the file could not be
    // opened, written whole or named; a file that existed is then in an
    // unknown state, as after any failed write, and a missing one stays missing.
    bool write(const QByteArray &content);

    // What the sandbox has to leave open for write() to work: a folder in
    // which one new file may be named, or, where no unnamed file can be made,
    // a folder whose files may be written. Empty when nothing is needed.
    QString creatableFolder() const;
    QString writableFolder() const;
    // The folder a missing output will be made in, before makeReady().
    QString folderToMakeIn() const;

private:
    enum class Way { Opened, Missing, Unnamed, ByPath, Failed };

    QString m_path;
    Way m_way = Way::ByPath;
    int m_fd = -1;
};
