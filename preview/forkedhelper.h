#pragma once

// A helper in a fork of this process, for a program that is itself
// short-lived (the thumbnailer): the child runs the helper's own code, which
// this program carries, so that the process start, most of which is loading
// Qt and pdfium, is paid once instead of twice; or it executes a pdfhelper
// program. Either serves one document over a socket pair handed to it and
// sandboxes itself as every helper does. This side asks and waits, blocking,
// within a deadline, with no event loop, no thread and no server of its own.
// Elsewhere than Windows only.

#include "areahandover.h"
#include "records.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <deque>
#include <functional>

#include <sys/types.h>

namespace pdfpreview {

class ForkedHelper
{
public:
    ForkedHelper() = default;
    // A child still there is killed and reaped: none is left behind.
    ~ForkedHelper();
    ForkedHelper(const ForkedHelper &) = delete;
    ForkedHelper &operator=(const ForkedHelper &) = delete;

    // Forks the helper for the document; with a program, the child executes
    // it. Without one, the process must not have started a thread before:
    // the child's sandbox needs it single-threaded. With forwardLog the
    // child's error output is this process's; its trace is never shown.
    // False, with errorString, when no child could be made; a program that
    // cannot be executed ends the child with exit code 127.
    bool start(const QString &documentPath, bool forwardLog, const QString &program = QString());
    QString errorString() const { return m_error; }

    enum class Answer {
        Read,     // the reply came and read was called with it
        Closed,   // the helper closed the connection first, or broke it
        TimedOut, // nothing whole by the deadline
    };
    // Sends the packet, then reads packets until one of the reply type comes
    // and hands its payload to read. Other types are passed over; a packet
    // longer than the largest reply counts as a broken connection.
    Answer ask(const QByteArray &packet, PacketType replyType, const std::function<void(QDataStream &)> &read,
               const QDeadlineTimer &deadline);
    // The two halves of ask, for questions sent ahead of their answers:
    // send gives Read once the packet is out; receive takes the answers in
    // the order the questions went.
    Answer send(const QByteArray &packet, const QDeadlineTimer &deadline);
    Answer receive(PacketType replyType, const std::function<void(QDataStream &)> &read,
                   const QDeadlineTimer &deadline);

    // Hands a shared area's handle to the helper; the value its offer
    // carries, -1 when it could not be handed over.
    qint64 handOver(const SharedArea &area) { return m_areas.handOver(area); }

    // Closes this side of the connection, which ends the helper's serving.
    void closeConnection();

    struct End {
        bool crashed = false; // ended by a signal
        int exitCode = 0;     // as the helper returned it, negative codes included
    };
    // Waits for the child to end, and reaps it. False when it is still
    // running at the deadline.
    bool waitForEnd(const QDeadlineTimer &deadline);
    // Ends the child at once and reaps it.
    void kill();
    // How it ended, once waitForEnd or kill has seen it end.
    End end() const { return m_end; }

private:
    bool sendAll(const QByteArray &packet, const QDeadlineTimer &deadline);
    // Reads what has arrived into m_incoming; false on end of stream or error,
    // and when the deadline passes with nothing more (then m_timedOut).
    bool readSome(const QDeadlineTimer &deadline);
    bool reap(int options);

    pid_t m_child = -1;
    int m_connection = -1;
    AreaHandOver m_areas;
    QString m_error;
    QByteArray m_incoming;
    // Whole packets read off m_incoming and not yet taken.
    struct Arrived {
        PacketType type;
        QByteArray payload;
    };
    std::deque<Arrived> m_arrived;
    quint32 m_expectedSize = 0;
    bool m_timedOut = false;
    End m_end;
};

} // namespace pdfpreview
