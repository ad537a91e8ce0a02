#include "annotationscanjob.h"

#include "contract.h"
#include "helperprocess.h"

#include <QDeadlineTimer>
#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace pdfpreview {

namespace {

// How long a killed helper is given to be gone.
constexpr int GraceMsecs = 3000;

} // namespace

AnnotationScanJob::AnnotationScanJob(QObject *parent)
    : QObject(parent)
{
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_deadline.setSingleShot(true);
    connect(&m_process, &QProcess::finished, this, &AnnotationScanJob::onFinished);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        m_process.kill();
    });
}

AnnotationScanJob::~AnnotationScanJob()
{
    m_process.disconnect(this);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(GraceMsecs);
    }
}

void AnnotationScanJob::start(const QString &helperProgram, const QString &documentPath, const QString &password,
                              int msecs)
{
    m_result = AnnotationScan();
    m_running = true;
    m_timedOut = false;
    m_msecs = msecs;
    if (!m_dir.isValid()) {
        end(QStringLiteral("cannot make a temporary folder: ") + m_dir.errorString());
        return;
    }
    if (m_background)
        lowerPriority();
    m_process.start(helperProgram,
                    helperArguments(QStringLiteral("0"), m_dir.filePath(QStringLiteral("pages.txt")), documentPath,
                                    password));
    if (!m_process.waitForStarted()) {
        end(QStringLiteral("cannot start %1: %2").arg(helperProgram, m_process.errorString()));
        return;
    }
    m_deadline.start(msecs);
}

void AnnotationScanJob::waitForFinished()
{
    if (!m_running)
        return;
    // QProcess reports the end from inside its wait.
    if (!m_process.waitForFinished(qMax(0, m_deadline.remainingTime()))) {
        m_timedOut = true;
        m_process.kill();
        m_process.waitForFinished(GraceMsecs);
    }
}

void AnnotationScanJob::lowerPriority()
{
#ifdef Q_OS_WIN
    m_process.setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments *arguments) { arguments->flags |= BELOW_NORMAL_PRIORITY_CLASS; });
#else
    // Between fork and exec: only calls that are safe there.
    m_process.setChildProcessModifier([] { ::setpriority(PRIO_PROCESS, 0, 10); });
#endif
}

void AnnotationScanJob::onFinished(int rawExitCode, QProcess::ExitStatus status)
{
    m_deadline.stop();
    if (m_timedOut) {
        end(QStringLiteral("the helper did not finish in time"));
        return;
    }
    if (status != QProcess::NormalExit) {
        end(QStringLiteral("the helper crashed"));
        return;
    }
    m_result.ran = true;
    m_result.exitCode = signedExitCode(rawExitCode);
    if (m_result.exitCode == HelperExit::Success) {
        QFile list(m_dir.filePath(QStringLiteral("pages.txt")));
        if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
            m_result.ran = false;
            end(QStringLiteral("the helper wrote no page list"));
            return;
        }
        while (!list.atEnd()) {
            bool ok = false;
            const int page = list.readLine().trimmed().toInt(&ok);
            if (ok)
                m_result.pages << page;
        }
    }
    end(QString());
}

void AnnotationScanJob::end(const QString &error)
{
    m_result.error = error;
    m_running = false;
    emit finished(m_result);
}

AnnotationScan scanAnnotatedPages(const QString &helperProgram, const QString &documentPath,
                                  const QString &password, int msecs)
{
    AnnotationScanJob job;
    job.start(helperProgram, documentPath, password, msecs);
    job.waitForFinished();
    return job.result();
}

} // namespace pdfpreview
