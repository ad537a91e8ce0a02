#include "sharedreadfile.h"

#include "errorline.h"

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
        ERROR_LINE() << "CreateFileW failed:" << file_path << "error:" << quint32(GetLastError());
        return false;
    }

    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (!GetFileSizeEx(file_handle, &size)) {
        ERROR_LINE() << " GetFileSizeEx failed:" << file_path << "error:" << quint32(GetLastError());
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
        ERROR_LINE() << "ReadFile failed:" << quint32(GetLastError());
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
        ERROR_LINE() << "GetFileInformationByHandleEx failed:" << quint32(GetLastError());
        return true;
    }
    return info.DeletePending;
}
