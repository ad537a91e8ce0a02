#pragma once

#include "winapi.h"

#include <QIODevice>
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

// A ReadOnlyFile that can also show one byte range of the file as read-only
// memory. One range at a time: mapping another releases the previous one.
class MapReadFile : public ReadOnlyFile
{
public:
    MapReadFile() = default;
    ~MapReadFile() override;

    // The address of the byte at offset, or null. A size of 0 or less maps up
    // to the end of the file; a larger size is cut at the end of the file.
    // The memory stays valid until the next map, unmap or destruction.
    uchar *map(qint64 offset, qint64 size);
    void unmap();

    bool isMapped() const { return map_data != nullptr; }
    uchar *mappedData() const { return map_data; }
    qint64 mappedSize() const { return map_size; }
    // Start of the whole view, which begins at the allocation boundary at or
    // before the requested offset.
    const void *mappedView() const { return map_view; }

private:
    HANDLE map_handle = nullptr;
    void *map_view = nullptr;
    uchar *map_data = nullptr;
    qint64 map_size = 0;
};

// A random-access, read-only QIODevice over a ReadOnlyFile, for code written
// against QIODevice that should read files the way the engine does. Writing
// always fails.
class ReadOnlyIODevice : public QIODevice
{
    Q_OBJECT
public:
    explicit ReadOnlyIODevice(QObject *parent = nullptr);
    ~ReadOnlyIODevice() override;

    // Remembers the name and opens it read-only, buffered.
    bool openFile(const QString &fileName);

    bool isSequential() const override { return false; }
    bool open(OpenMode mode) override;
    void close() override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    bool atEnd() const override;
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *data, qint64 len) override;

private:
    QString file_name;
    ReadOnlyFile file;
    // The last read of the file met its end. Before size() that means the
    // file was cut short after it was opened: what size() promises is gone.
    bool file_ended = false;
};
