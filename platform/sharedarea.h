#pragma once

// A block of memory two processes of the same user share by name: the
// preview side creates it, the helper opens it, and once both hold it the
// name can be removed, so that the block lives exactly as long as a process
// maps it. On Windows a named file mapping in the session's namespace, with
// the default security of the creator (its user, the system and
// administrators); elsewhere a POSIX shared-memory object of mode 0600.

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
    bool map(qint64 size, bool created);

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
