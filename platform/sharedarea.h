#pragma once

// A block of memory two processes of the same user share: the preview side
// creates it, the helper maps it, and the block lives exactly as long as a
// process maps it. A block is either named (a named file mapping in the
// session's namespace on Windows, a POSIX shared-memory object of mode 0600
// elsewhere), whose name goes once both sides hold it, or unnamed (an
// unnamed section, a sealed memory file), whose handle is handed to the
// helper instead, since a sandboxed helper opens nothing by name.

#include <QString>
#include <QtGlobal>

class SharedArea
{
public:
    SharedArea() = default;
    ~SharedArea();
    SharedArea(const SharedArea &) = delete;
    SharedArea &operator=(const SharedArea &) = delete;

    // A new block of size bytes under a fresh name nobody can guess. False
    // when the system refuses; errorString() says why.
    bool create(qint64 size);
    // A new block of size bytes without a name; handle() reaches it until
    // dropHandle(). Elsewhere than Windows it is sealed at that size, so that
    // no holder can shrink it under another's mapping.
    bool createUnnamed(qint64 size);
    // The block behind a handle handed over by its creator, which must hold
    // at least size bytes. The handle is taken, whatever the outcome.
    bool adopt(qintptr handle, qint64 size);
    // The descriptor or section handle of an unnamed block, -1 once dropped.
    qintptr handle() const;
    void dropHandle();
    // The block another process created, which must hold at least size
    // bytes: a smaller one is refused, so that no write can leave it.
    bool open(const QString &name, qint64 size);
    // Takes the name away; the block stays for those who hold it. On Windows
    // there is nothing to do: the block goes with its last handle.
    void removeName();
    void close();

    bool isOpen() const { return m_data != nullptr; }
    uchar *data() const { return m_data; }
    qint64 size() const { return m_size; }
    QString name() const { return m_name; }
    QString errorString() const { return m_error; }

    // The prefix of every name this project gives a block; the creator's
    // process id and a dash follow it, so that a test can look for the
    // blocks a process left behind.
    static QString namePrefix();

private:
    bool map(qint64 size, bool keepHandle);

    uchar *m_data = nullptr;
    qint64 m_size = 0;
    QString m_name;
    QString m_error;
    bool m_nameOwned = false;
#ifdef _WIN32
    void *m_mapping = nullptr;
#else
    int m_fd = -1;
#endif
};
