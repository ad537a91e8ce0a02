#pragma once

// Mode 0 through the helper: which pages carry markup annotations. The job
// runs without blocking (the window's way); scanAnnotatedPages() is the same
// job waited for (the command line's).

#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

namespace pdfpreview {

struct AnnotationScan {
    bool ran = false;    // the helper ran and exited normally
    int exitCode = 0;    // as main returned it: 0, -3, -4, -5 (or -1)
    QList<int> pages;    // the annotated pages when exitCode is 0
    QString error;       // why the helper did not run
};

class AnnotationScanJob : public QObject
{
    Q_OBJECT
public:
    explicit AnnotationScanJob(QObject *parent = nullptr);
    // A scan still running is killed.
    ~AnnotationScanJob() override;

    // Starts the helper; finished() follows, also when it cannot start or
    // runs past msecs (then it is killed).
    void start(const QString &helperProgram, const QString &documentPath, const QString &password = QString(),
               int msecs = 120000);
    // Scans started from here on run at a lower priority than this process
    // and its page helper, whose pages a person waits for.
    void setBackground(bool on) { m_background = on; }
    // Waits without an event loop until finished() has been emitted.
    void waitForFinished();
    bool isRunning() const { return m_running; }
    AnnotationScan result() const { return m_result; }

signals:
    void finished(const pdfpreview::AnnotationScan &scan);

private:
    void onFinished(int rawExitCode, QProcess::ExitStatus status);
    void lowerPriority();
    void end(const QString &error);

    QTemporaryDir m_dir;
    QProcess m_process;
    QTimer m_deadline;
    int m_msecs = 0;
    bool m_running = false;
    bool m_background = false;
    bool m_timedOut = false;
    AnnotationScan m_result;
};

AnnotationScan scanAnnotatedPages(const QString &helperProgram, const QString &documentPath,
                                  const QString &password = QString(), int msecs = 120000);

} // namespace pdfpreview
