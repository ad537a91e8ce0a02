#pragma once

// The file-access classes are written against the Windows API. On Windows this
// header is <windows.h>; elsewhere it declares a small stand-in with the same
// names, built on POSIX, so those classes keep a single code path.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

#include <cstddef>
#include <cstdint>

using DWORD = std::uint32_t;
using BOOL = int;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using HRESULT = std::int32_t;
using SIZE_T = std::size_t;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR *;
using LPVOID = void *;
using LPCVOID = const void *;
using HANDLE = void *;
using HMONITOR = void *;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER *;

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD DELETE = 0x00010000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_FILE_INVALID = 1006;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;

enum FILE_INFO_BY_HANDLE_CLASS { FileBasicInfo = 0, FileStandardInfo = 1 };

struct FILE_STANDARD_INFO {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    DWORD NumberOfLinks;
    bool DeletePending;
    bool Directory;
};

struct SYSTEM_INFO {
    DWORD dwPageSize;
    DWORD dwAllocationGranularity;
    DWORD dwNumberOfProcessors;
};

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                  LPVOID info, DWORD bufferSize);
BOOL CloseHandle(HANDLE object);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
DWORD GetLastError();
void SetLastError(DWORD error);

void GetSystemInfo(SYSTEM_INFO *info);
HANDLE CreateFileMappingW(HANDLE file, SECURITY_ATTRIBUTES *attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh,
                     DWORD offsetLow, SIZE_T bytesToMap);
BOOL UnmapViewOfFile(LPCVOID baseAddress);

// The stand-in's seams for tests, where Windows has none: make the next call
// of one of CreateFileMappingW, MapViewOfFile, UnmapViewOfFile or CloseHandle
// fail with a Windows error code, and count the handles and views open.
void StandInFailNextCall(const char *function, DWORD error);
int StandInOpenObjects();

#endif
