#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// Whether a test may limit a process's address space (RLIMIT_AS): not with
// AddressSanitizer, whose shadow memory alone is reserved far beyond any
// useful limit.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESTSUPPORT_ADDRESS_SANITIZED
#endif
#endif
#if defined(Q_OS_LINUX) && !defined(__SANITIZE_ADDRESS__) && !defined(TESTSUPPORT_ADDRESS_SANITIZED)
#define TESTSUPPORT_CAN_LIMIT_ADDRESS_SPACE
#endif

namespace testsupport {

// Absolute path of a generated test document.
QString fixture(const QString &name);

// Absolute path of the pdfhelper executable under test.
QString helperBinary();

// A figure of /proc/PID/status in kB (VmPeak, VmHWM, VmSize), pid 0 for this
// process; -1 where there is no such figure.
qint64 procStatusKb(qint64 pid, const QByteArray &field);

// What a program run to its end printed and returned. The exit code is
// sign-extended from the 8 bits POSIX passes on, so the helper's negative codes
// read as its main returned them; -1000 means it crashed or did not end within
// a minute (it is then killed).
struct ProcessRun {
    int exitCode = -1000;
    QString out;
    QString err;
};
struct RunOptions {
    // Set on top of the test's own environment.
    QHash<QString, QString> environment;
    // Runs in the child between fork and exec (POSIX only), for limits.
    std::function<void()> childSetup;
};
ProcessRun runProcess(const QString &program, const QStringList &args, const RunOptions &options = {});

// Collects every Qt message while alive, in place of the handler before it,
// which comes back on destruction.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    struct Message {
        QtMsgType type;
        QString text;
    };

    QList<Message> messages() const;
    QStringList lines(QtMsgType type) const;
    QStringList warnings() const { return lines(QtWarningMsg); }
    QStringList debugs() const { return lines(QtDebugMsg); }
    // Lines of any type that contain text.
    QStringList matching(const QString &text) const;
    void clear();
};

} // namespace testsupport
