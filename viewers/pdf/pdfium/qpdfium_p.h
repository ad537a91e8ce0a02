#pragma once

// Internals shared by the engine's source files.

#include "errorline.h"

#include <QDebug>
#include <QRecursiveMutex>
#include <QThread>

QRecursiveMutex *pdfiumMutex();

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

// The prefix every engine debug line carries; use inside QPdfium members.
#define PDF_DEBUG() qDebug() << "[pdf]" << m_name << "[pdfium]" << QThread::currentThreadId()
