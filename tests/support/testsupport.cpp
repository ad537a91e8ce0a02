#include "testsupport.h"

#include <QDir>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>

namespace testsupport {

namespace {

struct CaptureState {
    QMutex mutex;
    QList<MessageCapture::Message> messages;
    QtMessageHandler previous = nullptr;
};

CaptureState &state()
{
    static CaptureState s;
    return s;
}

// Every test program, and every program it starts, runs with a
// configuration folder of its own that is empty at the start: what a window
// remembers neither comes from the user's settings nor outlives the run.
struct OwnConfiguration {
    QTemporaryDir dir;
    OwnConfiguration()
    {
        if (!dir.isValid())
            qFatal("no temporary folder for the configuration");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    }
};
const OwnConfiguration ownConfiguration;

void handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    QMutexLocker lock(&state().mutex);
    state().messages.append({type, text});
}

} // namespace

QString fixture(const QString &name)
{
    return QDir(QStringLiteral(PDFHELPER_FIXTURE_DIR)).absoluteFilePath(name);
}

QString helperBinary()
{
    return QStringLiteral(PDFHELPER_BINARY);
}

qint64 procStatusKb(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid ? QString::number(pid) : QStringLiteral("self")));
    for (const QByteArray &line : status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QByteArrayList())
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong();
    return -1;
}

ProcessRun runProcess(const QString &program, const QStringList &args, const RunOptions &options)
{
    QProcess process;
    if (!options.environment.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (auto it = options.environment.cbegin(); it != options.environment.cend(); ++it)
            environment.insert(it.key(), it.value());
        process.setProcessEnvironment(environment);
    }
#ifdef Q_OS_UNIX
    if (options.childSetup)
        process.setChildProcessModifier(options.childSetup);
#endif
    process.start(program, args);
    ProcessRun run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = qint8(process.exitCode());
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

MessageCapture::MessageCapture()
{
    clear();
    state().previous = qInstallMessageHandler(handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(state().previous);
    clear();
}

QList<MessageCapture::Message> MessageCapture::messages() const
{
    QMutexLocker lock(&state().mutex);
    return state().messages;
}

QStringList MessageCapture::lines(QtMsgType type) const
{
    QStringList out;
    for (const Message &m : messages())
        if (m.type == type)
            out << m.text;
    return out;
}

QStringList MessageCapture::matching(const QString &text) const
{
    QStringList out;
    for (const Message &m : messages())
        if (m.text.contains(text))
            out << m.text;
    return out;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&state().mutex);
    state().messages.clear();
}

} // namespace testsupport
