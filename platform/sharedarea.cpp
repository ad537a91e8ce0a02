#include "sharedarea.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The creator's process id, so that blocks left behind can be told apart,
// then 128 random bits, as hex, so that nobody can guess the name.
QString randomSuffix()
{
    quint64 bits[2];
    QRandomGenerator::system()->generate(std::begin(bits), std::end(bits));
    return QStringLiteral("%1-%2%3")
        .arg(QCoreApplication::applicationPid())
        .arg(bits[0], 16, 16, QLatin1Char('0'))
        .arg(bits[1], 16, 16, QLatin1Char('0'));
}

} // namespace

SharedArea::~SharedArea()
{
    close();
}

QString SharedArea::namePrefix()
{
#ifdef _WIN32
    return QStringLiteral("Local\\pdfhelper-area-");
#else
    return QStringLiteral("/pdfhelper-area-");
#endif
}

#ifdef _WIN32

bool SharedArea::create(qint64 size)
{
    close();
    if (size <= 0)
        return false;
    m_name = namePrefix() + randomSuffix();
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(quint64(size) >> 32),
                                   DWORD(quint64(size) & 0xFFFFFFFFu), reinterpret_cast<LPCWSTR>(m_name.utf16()));
    if (!m_mapping || GetLastError() == ERROR_ALREADY_EXISTS) {
        m_error = QStringLiteral("CreateFileMappingW failed: %1").arg(GetLastError());
        close();
        return false;
    }
    return map(size, true);
}

bool SharedArea::open(const QString &name, qint64 size)
{
    close();
    if (size <= 0 || !name.startsWith(namePrefix()))
        return false;
    m_name = name;
    m_mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, reinterpret_cast<LPCWSTR>(m_name.utf16()));
    if (!m_mapping) {
        m_error = QStringLiteral("OpenFileMappingW failed: %1").arg(GetLastError());
        return false;
    }
    return map(size, false);
}

bool SharedArea::createUnnamed(qint64 size)
{
    close();
    if (size <= 0)
        return false;
    m_mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(quint64(size) >> 32),
                                   DWORD(quint64(size) & 0xFFFFFFFFu), nullptr);
    if (!m_mapping) {
        m_error = QStringLiteral("CreateFileMappingW failed: %1").arg(GetLastError());
        return false;
    }
    return map(size, true);
}

bool SharedArea::adopt(qintptr handle, qint64 size)
{
    close();
    if (handle <= 0)
        return false;
    m_mapping = reinterpret_cast<HANDLE>(handle);
    if (size <= 0) {
        close();
        return false;
    }
    return map(size, false);
}

qintptr SharedArea::handle() const
{
    return m_mapping ? qintptr(m_mapping) : -1;
}

void SharedArea::dropHandle()
{
    // The section stays open for as long as the view: duplicating it again
    // for a later helper needs it.
}

bool SharedArea::map(qint64 size, bool)
{
    void *view = MapViewOfFile(m_mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, SIZE_T(size));
    MEMORY_BASIC_INFORMATION info{};
    if (!view || VirtualQuery(view, &info, sizeof info) == 0 || qint64(info.RegionSize) < size) {
        m_error = QStringLiteral("MapViewOfFile failed: %1").arg(GetLastError());
        if (view)
            UnmapViewOfFile(view);
        close();
        return false;
    }
    m_data = static_cast<uchar *>(view);
    m_size = size;
    return true;
}

void SharedArea::removeName()
{
}

void SharedArea::close()
{
    if (m_data)
        UnmapViewOfFile(m_data);
    if (m_mapping)
        CloseHandle(m_mapping);
    m_data = nullptr;
    m_mapping = nullptr;
    m_size = 0;
}

#else

bool SharedArea::create(qint64 size)
{
    close();
    if (size <= 0)
        return false;
    m_name = namePrefix() + randomSuffix();
    m_fd = ::shm_open(m_name.toLatin1().constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = QStringLiteral("shm_open failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_nameOwned = true;
    if (::ftruncate(m_fd, off_t(size)) != 0) {
        m_error = QStringLiteral("ftruncate failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    return map(size, false);
}

bool SharedArea::createUnnamed(qint64 size)
{
    close();
    if (size <= 0)
        return false;
    m_fd = ::memfd_create("pdfhelper-area", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m_fd < 0) {
        m_error = QStringLiteral("memfd_create failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::ftruncate(m_fd, off_t(size)) != 0
        || ::fcntl(m_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        m_error = QStringLiteral("sizing the block failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    return map(size, true);
}

bool SharedArea::adopt(qintptr handle, qint64 size)
{
    close();
    if (handle < 0)
        return false;
    m_fd = int(handle);
    if (size <= 0) {
        close();
        return false;
    }
    return map(size, false);
}

qintptr SharedArea::handle() const
{
    return m_fd;
}

void SharedArea::dropHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool SharedArea::open(const QString &name, qint64 size)
{
    close();
    // Only names of our own form: the helper opens nothing else it is told.
    if (size <= 0 || !name.startsWith(namePrefix()) || name.size() > 80 || name.indexOf(QLatin1Char('/'), 1) >= 0)
        return false;
    m_name = name;
    m_fd = ::shm_open(m_name.toLatin1().constData(), O_RDWR | O_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = QStringLiteral("shm_open failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return map(size, false);
}

bool SharedArea::map(qint64 size, bool keepHandle)
{
    struct stat st;
    if (::fstat(m_fd, &st) != 0 || st.st_size < size || st.st_uid != ::geteuid()) {
        m_error = QStringLiteral("the shared block is smaller than announced or not ours");
        close();
        return false;
    }
    void *view = ::mmap(nullptr, size_t(size), PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    if (view == MAP_FAILED) {
        m_error = QStringLiteral("mmap failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    // The mapping keeps the block; the descriptor is needed only to hand
    // an unnamed block over.
    if (!keepHandle)
        dropHandle();
    m_data = static_cast<uchar *>(view);
    m_size = size;
    return true;
}

void SharedArea::removeName()
{
    if (m_nameOwned && !m_name.isEmpty())
        ::shm_unlink(m_name.toLatin1().constData());
    m_nameOwned = false;
}

void SharedArea::close()
{
    removeName();
    if (m_data)
        ::munmap(m_data, size_t(m_size));
    if (m_fd >= 0)
        ::close(m_fd);
    m_data = nullptr;
    m_fd = -1;
    m_size = 0;
}

#endif
