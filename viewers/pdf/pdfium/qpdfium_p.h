#pragma once

// Internals shared by the engine's source files.

#include "errorline.h"
#include "pdfiumhandles.h"

#include <QByteArray>
#include <QDebug>
#include <QRecursiveMutex>
#include <QString>
#include <QSize>
#include <QThread>
#include <QTransform>

#include <optional>

QRecursiveMutex *pdfiumMutex();

// How page space maps onto a render of the whole page at size, turned so,
// in device pixels with their fractions: pdfium's own mapping, asked for at
// 64 times the size so that its whole pixels lose nothing that matters.
// Nothing for a size that large, or a page pdfium cannot map.
std::optional<QTransform> deviceMapping(FPDF_PAGE page, const QSize &size, int quarterTurns);

// Holds pdfiumMutex for its scope. Once the mutex has gone at process exit
// there is nothing left to serialise, and it takes no lock.
class PdfiumLocker
{
public:
    PdfiumLocker() : m_mutex(pdfiumMutex())
    {
        if (m_mutex)
            m_mutex->lock();
    }
    ~PdfiumLocker()
    {
        if (m_mutex)
            m_mutex->unlock();
    }
    PdfiumLocker(const PdfiumLocker &) = delete;
    PdfiumLocker &operator=(const PdfiumLocker &) = delete;

private:
    QRecursiveMutex *m_mutex;
};

// The two-call protocol for NUL-terminated UTF-8 (or plain ASCII), as
// FPDFAction_GetURIPath, FPDFAction_GetFilePath and a signature's subfilter
// and time give it. Nothing when pdfium has no string, or when the second
// call disagrees with the first.
template<typename Read>
inline std::optional<QString> readUtf8String(Read read)
{
    const unsigned long length = read(nullptr, 0);
    if (length == 0)
        return std::nullopt;
    QByteArray buffer(static_cast<qsizetype>(length), '\0');
    if (read(buffer.data(), length) != length)
        return std::nullopt;
    return QString::fromUtf8(buffer.constData(), qstrnlen(buffer.constData(), buffer.size()));
}

// A UTF-16LE string read with pdfium's two-call protocol, its length in
// bytes with the terminator (both calls even when the first answers 0);
// empty when pdfium has none. Read with the mutex held.
template<typename Read>
inline QString readWideString(Read read)
{
    const unsigned long length = read(nullptr, 0);
    // Rounded up to whole UTF-16 units plus one spare terminator, so the text
    // is NUL-ended even if pdfium's second answer were shorter than its first.
    QByteArray buffer(static_cast<qsizetype>(length) + 3, '\0');
    read(reinterpret_cast<unsigned short *>(buffer.data()), length);
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.constData()));
}

// A PDF date (D:YYYYMMDDHHmmSS+HH'mm'), or an ISO 8601 one; invalid otherwise.
class QDateTime;
QDateTime parsePdfDate(QString text);

// The prefix every engine debug line carries; use inside QPdfium members.
#define PDF_DEBUG() qDebug() << "[pdf]" << m_name << "[pdfium]" << QThread::currentThreadId()
