#include "sharedreadfile.h"

#include "errorline.h"

// Every failed Windows call has its error code taken before the log line is
// started: building the line may itself change the thread's last error.

namespace {
constexpr qint64 kMaxReadCount = 4294967295LL; // the widest count ReadFile takes
}

ReadOnlyFile::~ReadOnlyFile()
{
    close();
}

bool ReadOnlyFile::open(const QString &path)
{
    close();
    if (!path.isEmpty())
        file_path = path;
    if (file_path.isEmpty()) {
        ERROR_LINE() << "empty path";
        return false;
    }

    file_handle = CreateFileW(reinterpret_cast<LPCWSTR>(file_path.utf16()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        ERROR_LINE() << "CreateFileW failed:" << file_path << "error:" << quint32(error);
        return false;
    }

    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (!GetFileSizeEx(file_handle, &size)) {
        const DWORD error = GetLastError();
        ERROR_LINE() << " GetFileSizeEx failed:" << file_path << "error:" << quint32(error);
        close();
        return false;
    }
    file_size = size.QuadPart;
    file_pos = 0;
    return true;
}

void ReadOnlyFile::close()
{
    if (file_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(file_handle);
        file_handle = INVALID_HANDLE_VALUE;
    }
    file_size = 0;
    file_pos = 0;
}

bool ReadOnlyFile::seek(qint64 pos)
{
    if (!isOpen() || pos < 0 || pos > file_size)
        return false;
    LARGE_INTEGER distance;
    distance.QuadPart = pos;
    if (!SetFilePointerEx(file_handle, distance, nullptr, FILE_BEGIN))
        return false;
    file_pos = pos;
    return true;
}

qint64 ReadOnlyFile::read(char *data, qint64 maxlen)
{
    if (!isOpen() || maxlen <= 0)
        return -1;
    if (maxlen > kMaxReadCount)
        qDebug() << "read: maxlen truncated to DWORD max";
    const DWORD count = static_cast<DWORD>(qMin(maxlen, kMaxReadCount));

    DWORD got = 0;
    if (!ReadFile(file_handle, data, count, &got, nullptr)) {
        const DWORD error = GetLastError();
        ERROR_LINE() << "ReadFile failed:" << quint32(error);
        return -1;
    }
    file_pos += got;
    return got;
}

bool ReadOnlyFile::isDeleted() const
{
    if (!isOpen())
        return true;
    FILE_STANDARD_INFO info = {};
    if (!GetFileInformationByHandleEx(file_handle, FileStandardInfo, &info, sizeof(info))) {
        const DWORD error = GetLastError();
        ERROR_LINE() << "GetFileInformationByHandleEx failed:" << quint32(error);
        return true;
    }
    return info.DeletePending;
}

namespace {

// Views must start on a multiple of this. It never changes while the process
// runs, so it is asked once; the static's initialisation is thread-safe.
qint64 allocationGranularity()
{
    static const qint64 granularity = [] {
        SYSTEM_INFO info = {};
        GetSystemInfo(&info);
        return info.dwAllocationGranularity ? qint64(info.dwAllocationGranularity) : qint64(65536);
    }();
    return granularity;
}

} // namespace

MapReadFile::~MapReadFile()
{
    unmap();
}

uchar *MapReadFile::map(qint64 offset, qint64 size)
{
    unmap();
    if (!isOpen()) {
        ERROR_LINE() << "MapReadFile: file not open";
        return nullptr;
    }
    const qint64 fileSize = ReadOnlyFile::size();
    if (offset < 0 || offset > fileSize) {
        ERROR_LINE() << "MapReadFile: invalid offset" << offset;
        return nullptr;
    }
    if (size <= 0 || size > fileSize - offset)
        size = fileSize - offset;
    if (size < 1) {
        ERROR_LINE() << "MapReadFile: zero-length mapping";
        return nullptr;
    }

    const qint64 granularity = allocationGranularity();
    const qint64 alignedOffset = offset / granularity * granularity;
    const qint64 remainder = offset - alignedOffset;
    const quint64 viewLength = quint64(remainder) + quint64(size);
    // Only a 32-bit build can get here: SIZE_T is then narrower than a file offset.
    if (viewLength != quint64(SIZE_T(viewLength))) {
        ERROR_LINE() << "View size overflow";
        return nullptr;
    }

    map_handle = CreateFileMappingW(handle(), nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!map_handle) {
        const DWORD error = GetLastError();
        ERROR_LINE() << " CreateFileMappingW failed: error" << quint32(error);
        return nullptr;
    }
    map_view = MapViewOfFile(map_handle, FILE_MAP_READ, DWORD(quint64(alignedOffset) >> 32),
                             DWORD(quint64(alignedOffset) & 0xffffffffu), SIZE_T(viewLength));
    if (!map_view) {
        const DWORD error = GetLastError();
        ERROR_LINE() << " MapViewOfFile failed: error" << quint32(error);
        CloseHandle(map_handle);
        map_handle = nullptr;
        return nullptr;
    }
    map_data = static_cast<uchar *>(map_view) + remainder;
    map_size = size;
    return map_data;
}

void MapReadFile::unmap()
{
    if (map_view) {
        if (!UnmapViewOfFile(map_view)) {
            const DWORD error = GetLastError();
            ERROR_LINE() << "UnmapViewOfFile failed:" << quint32(error);
        }
        map_view = nullptr;
    }
    if (map_handle) {
        if (!CloseHandle(map_handle)) {
            const DWORD error = GetLastError();
            ERROR_LINE() << "CloseHandle(map_handle) failed:" << quint32(error);
        }
        map_handle = nullptr;
    }
    map_data = nullptr;
    map_size = 0;
}

ReadOnlyIODevice::ReadOnlyIODevice(QObject *parent)
    : QIODevice(parent)
{
}

ReadOnlyIODevice::~ReadOnlyIODevice()
{
    ReadOnlyIODevice::close();
}

bool ReadOnlyIODevice::openFile(const QString &fileName)
{
    file_name = fileName;
    return open(QIODevice::ReadOnly);
}

bool ReadOnlyIODevice::open(OpenMode mode)
{
    // Opening again starts afresh, and a failure leaves nothing open.
    if (isOpen())
        close();
    if (file_name.isEmpty()) {
        setErrorString(QStringLiteral("ReadOnlyIODevice: no file name set"));
        return false;
    }
    if (!file.open(file_name)) {
        setErrorString(QStringLiteral("ReadOnlyIODevice: failed to open %1").arg(file_name));
        return false;
    }
    file_ended = false;
    if (QIODevice::open(mode))
        return true;
    file.close();
    return false;
}

void ReadOnlyIODevice::close()
{
    QIODevice::close();
    file.close();
    file_ended = false;
}

qint64 ReadOnlyIODevice::size() const
{
    return file.size();
}

bool ReadOnlyIODevice::seek(qint64 pos)
{
    if (!file.seek(pos))
        return false;
    file_ended = false;
    return QIODevice::seek(pos);
}

qint64 ReadOnlyIODevice::bytesAvailable() const
{
    // The base class counts from the logical position to size(). Once the file
    // has run dry early, only what QIODevice still holds in its read buffer is
    // left: the file position is ahead of the logical one by exactly that.
    const qint64 upToSize = QIODevice::bytesAvailable();
    if (!file_ended)
        return upToSize;
    return qBound(qint64(0), file.pos() - pos(), upToSize);
}

bool ReadOnlyIODevice::atEnd() const
{
    return !isOpen() || bytesAvailable() == 0;
}

qint64 ReadOnlyIODevice::readData(char *data, qint64 maxlen)
{
    const qint64 got = file.read(data, maxlen);
    if (got < 0)
        setErrorString(QStringLiteral("ReadOnlyIODevice: read error"));
    else // ReadFile stops short only at the end of the file
        file_ended = got < qMin(maxlen, kMaxReadCount);
    return got;
}

qint64 ReadOnlyIODevice::writeData(const char *, qint64)
{
    return -1;
}
