#pragma once

#include "winapi.h"

#include <QString>
#include <QtGlobal>

// A file opened for reading only, sharing read, write and delete access, so the
// user's other programs can still edit, replace or delete it while it is open.
// The size is taken once at open; the read position is tracked here.
class ReadOnlyFile
{
public:
    ReadOnlyFile() = default;
    virtual ~ReadOnlyFile();

    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;

    // An empty path reopens the file opened last.
    bool open(const QString &path);
    void close();

    bool isOpen() const { return file_handle != INVALID_HANDLE_VALUE; }
    qint64 size() const { return file_size; }
    qint64 pos() const { return file_pos; }
    HANDLE handle() const { return file_handle; }

    bool seek(qint64 pos);
    qint64 read(char *data, qint64 maxlen);
    bool isDeleted() const;

private:
    QString file_path;
    HANDLE file_handle = INVALID_HANDLE_VALUE;
    qint64 file_size = 0;
    qint64 file_pos = 0;
};
