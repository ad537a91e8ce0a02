// POSIX stand-in for the few Windows file calls the file-access classes make.
// A POSIX descriptor shares everything with other processes. Within this
// process the stand-in keeps Windows' share modes: it remembers the access
// and share mode of every open handle to a file and refuses an open, delete
// or rename that one of them does not share, with ERROR_SHARING_VIOLATION.
// So code that forgets to share shows it here too, not only on Windows.

#include "winapi.h"

#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr DWORD kAllocationGranularity = 65536;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_BAD_LENGTH = 24;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;

thread_local DWORD lastError = ERROR_SUCCESS;

struct StandInHandle {
    enum class Kind { File, Mapping } kind;
    int fd;
    LONGLONG mappingSize; // only for mappings: the size the mapping covers
    // Files only: which file, what the handle may do, what it lets others do.
    dev_t device = 0;
    ino_t inode = 0;
    DWORD access = 0;
    DWORD shareMode = 0;
};

// Handles and views are registered so that a stale or foreign value is
// refused with an error code, as Windows does, instead of being dereferenced.
struct Registry {
    std::mutex mutex;
    std::unordered_set<StandInHandle *> handles;
    std::unordered_map<const void *, size_t> views;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

// The share bit another handle needs for each kind of access.
DWORD shareNeededFor(DWORD access)
{
    DWORD share = 0;
    if (access & GENERIC_READ)
        share |= FILE_SHARE_READ;
    if (access & GENERIC_WRITE)
        share |= FILE_SHARE_WRITE;
    if (access & DELETE)
        share |= FILE_SHARE_DELETE;
    return share;
}

// Whether an open of the file for access, sharing shareMode, fits every open
// handle to it: each must share what the new one does, and the new one must
// share what each of them does. Call with the registry locked.
bool sharingAllows(const Registry &reg, dev_t device, ino_t inode, DWORD access, DWORD shareMode)
{
    for (const StandInHandle *h : reg.handles) {
        if (h->kind != StandInHandle::Kind::File || h->device != device || h->inode != inode)
            continue;
        const DWORD theirs = shareNeededFor(access);
        const DWORD ours = shareNeededFor(h->access);
        if ((h->shareMode & theirs) != theirs || (shareMode & ours) != ours)
            return false;
    }
    return true;
}

// Whether every open handle to the file at path shares delete access, as
// Windows asks before it deletes or renames a file. A missing file has none.
bool deleteShared(const QByteArray &path)
{
    struct stat st;
    if (::stat(path.constData(), &st) != 0)
        return true;
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return sharingAllows(reg, st.st_dev, st.st_ino, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}


BOOL fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

// Failures a test has asked for: the next call of the named function fails
// with the error code. Calls that release something release it first.
std::mutex injectedMutex;
std::unordered_map<std::string, DWORD> injected;

bool injectedFailure(const char *function)
{
    std::lock_guard<std::mutex> lock(injectedMutex);
    const auto it = injected.find(function);
    if (it == injected.end())
        return false;
    lastError = it->second;
    injected.erase(it);
    return true;
}

DWORD errorFromErrno(int err)
{
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

// Windows tells a missing file (2) from a missing folder on the way to it (3).
DWORD missingPathError(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    if (slash <= 0)
        return ERROR_FILE_NOT_FOUND;
    struct stat st;
    const QByteArray parent = path.left(slash);
    if (::stat(parent.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

StandInHandle *lookup(HANDLE handle, StandInHandle::Kind kind)
{
    auto *candidate = static_cast<StandInHandle *>(handle);
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!reg.handles.count(candidate) || candidate->kind != kind)
        return nullptr;
    return candidate;
}

HANDLE registerHandle(StandInHandle::Kind kind, int fd, LONGLONG mappingSize)
{
    auto *handle = new StandInHandle{kind, fd, mappingSize};
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.handles.insert(handle);
    return handle;
}

} // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES * /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/)
{
    if (!fileName) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool reads = desiredAccess == GENERIC_READ;
    if ((!reads && desiredAccess != GENERIC_WRITE) || creationDisposition != OPEN_EXISTING) {
        fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const QByteArray path = QString::fromUtf16(fileName).toLocal8Bit();
    if (path.isEmpty()) {
        fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Opening a named pipe for reading waits for a writer; CreateFileW never
    // waits, so the open does not either, and reads block again after it.
    int fd;
    do {
        fd = ::open(path.constData(), (reads ? O_RDONLY : O_WRONLY) | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail(errno == ENOENT ? missingPathError(path) : errorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        fail(errorFromErrno(error));
        return INVALID_HANDLE_VALUE;
    }
    // Without backup semantics Windows refuses to open a folder as a file.
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!sharingAllows(reg, st.st_dev, st.st_ino, desiredAccess, shareMode)) {
        ::close(fd);
        fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    auto *handle = new StandInHandle{StandInHandle::Kind::File, fd, 0, st.st_dev, st.st_ino, desiredAccess, shareMode};
    reg.handles.insert(handle);
    lastError = ERROR_SUCCESS;
    return handle;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    if (!fileName)
        return fail(ERROR_INVALID_PARAMETER);
    const QByteArray path = QString::fromUtf16(fileName).toLocal8Bit();
    if (!deleteShared(path))
        return fail(ERROR_SHARING_VIOLATION);
    if (::unlink(path.constData()) != 0)
        return fail(errno == ENOENT ? missingPathError(path) : errorFromErrno(errno));
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags)
{
    if (!existingFileName || !newFileName)
        return fail(ERROR_INVALID_PARAMETER);
    const QByteArray from = QString::fromUtf16(existingFileName).toLocal8Bit();
    const QByteArray to = QString::fromUtf16(newFileName).toLocal8Bit();
    struct stat st;
    const bool replaces = ::stat(to.constData(), &st) == 0;
    if (replaces && !(flags & MOVEFILE_REPLACE_EXISTING))
        return fail(ERROR_ALREADY_EXISTS);
    // Renaming needs delete access to the file, and replacing another needs
    // it to that one too.
    if (!deleteShared(from) || (replaces && !deleteShared(to)))
        return fail(ERROR_SHARING_VIOLATION);
    if (::rename(from.constData(), to.constData()) != 0)
        return fail(errno == ENOENT ? missingPathError(from) : errorFromErrno(errno));
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped)
{
    if (bytesRead)
        *bytesRead = 0;
    StandInHandle *h = lookup(file, StandInHandle::Kind::File);
    if (!h)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped || (!buffer && bytesToRead > 0))
        return fail(ERROR_INVALID_PARAMETER);
    // read() may deliver less than asked (signals, its own per-call cap);
    // ReadFile only stops short at the end of the file.
    auto *out = static_cast<char *>(buffer);
    DWORD total = 0;
    while (total < bytesToRead) {
        const ssize_t got = ::read(h->fd, out + total, bytesToRead - total);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            // A failed ReadFile leaves the file pointer where it was, which
            // is what the callers' own position count assumes.
            if (total > 0)
                ::lseek(h->fd, -static_cast<off_t>(total), SEEK_CUR);
            return fail(errorFromErrno(error));
        }
        if (got == 0)
            break;
        total += static_cast<DWORD>(got);
    }
    if (bytesRead)
        *bytesRead = total;
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod)
{
    StandInHandle *h = lookup(file, StandInHandle::Kind::File);
    if (!h)
        return fail(ERROR_INVALID_HANDLE);
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (moveMethod > 2)
        return fail(ERROR_INVALID_PARAMETER);
    const off_t result = ::lseek(h->fd, static_cast<off_t>(distance.QuadPart), whence[moveMethod]);
    if (result < 0)
        return fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : errorFromErrno(errno));
    if (newPosition)
        newPosition->QuadPart = result;
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    StandInHandle *h = lookup(file, StandInHandle::Kind::File);
    if (!h)
        return fail(ERROR_INVALID_HANDLE);
    if (!size)
        return fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (::fstat(h->fd, &st) != 0)
        return fail(errorFromErrno(errno));
    size->QuadPart = st.st_size;
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                  LPVOID info, DWORD bufferSize)
{
    StandInHandle *h = lookup(file, StandInHandle::Kind::File);
    if (!h)
        return fail(ERROR_INVALID_HANDLE);
    if (infoClass != FileStandardInfo || !info)
        return fail(ERROR_INVALID_PARAMETER);
    if (bufferSize < sizeof(FILE_STANDARD_INFO))
        return fail(ERROR_BAD_LENGTH);
    struct stat st;
    if (::fstat(h->fd, &st) != 0)
        return fail(errorFromErrno(errno));
    auto *out = static_cast<FILE_STANDARD_INFO *>(info);
    out->AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
    out->EndOfFile.QuadPart = st.st_size;
    out->NumberOfLinks = static_cast<DWORD>(st.st_nlink);
    // An open file whose last name is gone is what Windows calls delete-pending.
    out->DeletePending = st.st_nlink == 0;
    out->Directory = S_ISDIR(st.st_mode);
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    auto *h = static_cast<StandInHandle *>(object);
    {
        Registry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        if (!reg.handles.erase(h))
            return fail(ERROR_INVALID_HANDLE);
    }
    ::close(h->fd);
    delete h;
    if (injectedFailure("CloseHandle"))
        return FALSE;
    lastError = ERROR_SUCCESS;
    return TRUE;
}

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD error)
{
    lastError = error;
}

void GetSystemInfo(SYSTEM_INFO *info)
{
    if (!info)
        return;
    const long page = ::sysconf(_SC_PAGESIZE);
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096;
    info->dwAllocationGranularity = kAllocationGranularity;
    info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
}

HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES * /*attributes*/, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name)
{
    StandInHandle *h = lookup(file, StandInHandle::Kind::File);
    if (!h) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (injectedFailure("CreateFileMappingW"))
        return nullptr;
    if (protect != PAGE_READONLY || name) {
        fail(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    struct stat st;
    if (::fstat(h->fd, &st) != 0) {
        fail(errorFromErrno(errno));
        return nullptr;
    }
    LONGLONG size = (static_cast<LONGLONG>(maximumSizeHigh) << 32) | maximumSizeLow;
    if (size == 0)
        size = st.st_size;
    // A read-only mapping can neither be empty nor reach past the file's end.
    if (size == 0) {
        fail(ERROR_FILE_INVALID);
        return nullptr;
    }
    if (size > st.st_size) {
        fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const int fd = ::fcntl(h->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        fail(errorFromErrno(errno));
        return nullptr;
    }
    lastError = ERROR_SUCCESS;
    return registerHandle(StandInHandle::Kind::Mapping, fd, size);
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytesToMap)
{
    StandInHandle *h = lookup(mapping, StandInHandle::Kind::Mapping);
    if (!h) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (injectedFailure("MapViewOfFile"))
        return nullptr;
    if (desiredAccess != FILE_MAP_READ) {
        fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const LONGLONG offset = (static_cast<LONGLONG>(offsetHigh) << 32) | offsetLow;
    if (offset % kAllocationGranularity != 0) {
        fail(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    if (offset >= h->mappingSize) {
        fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const LONGLONG available = h->mappingSize - offset;
    if (bytesToMap == 0)
        bytesToMap = static_cast<SIZE_T>(available);
    else if (static_cast<unsigned long long>(bytesToMap) > static_cast<unsigned long long>(available)) {
        fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    void *view = ::mmap(nullptr, bytesToMap, PROT_READ, MAP_SHARED, h->fd, static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        fail(errorFromErrno(errno));
        return nullptr;
    }
    {
        Registry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.views[view] = bytesToMap;
    }
    lastError = ERROR_SUCCESS;
    return view;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress)
{
    size_t length = 0;
    {
        Registry &reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.views.find(baseAddress);
        if (it == reg.views.end())
            return fail(ERROR_INVALID_ADDRESS);
        length = it->second;
        reg.views.erase(it);
    }
    if (::munmap(const_cast<void *>(baseAddress), length) != 0)
        return fail(errorFromErrno(errno));
    if (injectedFailure("UnmapViewOfFile"))
        return FALSE;
    lastError = ERROR_SUCCESS;
    return TRUE;
}

void StandInFailNextCall(const char *function, DWORD error)
{
    std::lock_guard<std::mutex> lock(injectedMutex);
    injected[function] = error;
}

int StandInOpenObjects()
{
    Registry &reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return int(reg.handles.size() + reg.views.size());
}
