#include "helperprocess.h"

#include "areahandover.h"
#include "childsocketpair.h"
#include "connectionhandover.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QUuid>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace pdfpreview {

namespace {

// How long a helper whose connection is closed gets to end by itself before
// it is killed.
constexpr int GraceMsecs = 3000;

// A name no other session can guess or take. Where the name is a socket
// file, it must fit the platform's address (108 bytes on Linux, 104 on the
// BSDs and macOS, with the terminator): under a long TMPDIR the socket goes
// to the first of the user's runtime folder and /tmp where it fits. Empty
// when it fits nowhere.
QString uniqueServerName()
{
    const QString name = QStringLiteral("pdfhelper-%1-%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(QUuid::createUuid().toString(QUuid::Id128));
#ifdef Q_OS_UNIX
    // With access options Qt makes the socket in a folder named after the
    // path plus six characters, as "s": eight bytes more than the path.
    constexpr int MaxSocketPathBytes = 103 - 8;
    const QStringList folders{QDir::tempPath(), qEnvironmentVariable("XDG_RUNTIME_DIR"),
                              QStringLiteral("/tmp")};
    for (const QString &folder : folders) {
        if (folder.isEmpty() || !QFileInfo(folder).isDir())
            continue;
        const QString path = QDir(folder).absoluteFilePath(name);
        if (QFile::encodeName(path).size() > MaxSocketPathBytes)
            continue;
        // Qt puts a plain name in the temporary folder itself.
        return folder == QDir::tempPath() ? name : path;
    }
    return QString();
#else
    return name;
#endif
}

} // namespace

QString defaultHelperProgram()
{
#ifdef Q_OS_WIN
    const QString name = QStringLiteral("pdfhelper.exe");
#else
    const QString name = QStringLiteral("pdfhelper");
#endif
    if (QCoreApplication::instance()) {
        const QFileInfo beside(QDir(QCoreApplication::applicationDirPath()), name);
        if (beside.isFile() && beside.isExecutable())
            return beside.absoluteFilePath();
    }
    return QStringLiteral(PDFHELPER_BUILT_HELPER);
}

QStringList helperArguments(const QString &mode, const QString &target, const QString &documentPath,
                            const QString &password)
{
    QStringList args{mode, target, documentPath};
    // The helper takes a fifth entry as the password; a null one means none.
    if (!password.isNull())
        args << password;
    return args;
}

HelperProcess::HelperProcess(QObject *parent)
    : QObject(parent)
    , m_program(defaultHelperProgram())
{
}

HelperProcess::~HelperProcess()
{
    // The connection goes first, so that the helper sees it closed and ends
    // while it is waited for.
    delete m_connection;
    if (!m_process)
        return;
    m_process->disconnect(this);
    stopListening();
    if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(GraceMsecs)) {
        m_process->kill();
        m_process->waitForFinished(GraceMsecs);
    }
}

bool HelperProcess::start(const QString &documentPath, const QString &password)
{
    if (m_state != State::Idle) {
        m_error = QStringLiteral("the helper has been started already");
        return false;
    }
    m_state = State::Starting;
    m_server = new QLocalServer(this);
    // Only processes of the same user may connect.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = uniqueServerName();
    if (name.isEmpty()) {
        m_error = QStringLiteral("no folder for a local socket has a path short enough (TMPDIR is %1)")
                      .arg(QDir::tempPath());
        end(-1, true);
        return false;
    }
    if (!m_server->listen(name)) {
        m_error = QStringLiteral("cannot listen on a local socket: ") + m_server->errorString();
        end(-1, true);
        return false;
    }
    m_serverName = m_server->fullServerName();
    connect(m_server, &QLocalServer::newConnection, this, &HelperProcess::onNewConnection);

    m_process = new QProcess(this);
    if (m_forwardLog)
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &HelperProcess::readTrace);
    connect(m_process, &QProcess::finished, this, &HelperProcess::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, &HelperProcess::onError);

    // The helper's ends of the area channel and of the connection are
    // inherited by this helper alone.
    m_handOver = std::make_unique<AreaHandOver>();
    m_connectionPair = std::make_unique<ChildSocketPair>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const int areaEnd = m_handOver->prepare() ? m_handOver->childDescriptor() : -1;
    const int connectionEnd = m_connectionPair->make(ChildSocketPair::Kind::Stream) ? m_connectionPair->childEnd() : -1;
    if (areaEnd >= 0)
        environment.insert(QString::fromLatin1(AreaChannelVariable), QString::number(areaEnd));
    if (connectionEnd >= 0)
        environment.insert(QString::fromLatin1(ConnectionVariable), QString::number(connectionEnd));
    if (areaEnd >= 0 || connectionEnd >= 0) {
        m_process->setProcessEnvironment(environment);
#ifdef Q_OS_UNIX
        m_process->setChildProcessModifier([areaEnd, connectionEnd] {
            for (int end : {areaEnd, connectionEnd}) {
                if (end >= 0)
                    ::fcntl(end, F_SETFD, 0);
            }
        });
#endif
    }

    m_process->start(m_program, helperArguments(QStringLiteral("1"), m_serverName, documentPath, password));
    m_handOver->helperStarted(m_process->processId());
    m_connectionPair->childStarted();
    if (!m_process->waitForStarted()) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process->errorString());
        end(-1, true);
        return false;
    }
    return true;
}

void HelperProcess::stopListening()
{
    if (m_server)
        m_server->close();
}

void HelperProcess::kill()
{
    stopListening();
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(GraceMsecs);
    }
}

bool HelperProcess::waitForFinished(int msecs)
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return true;
    return m_process->waitForFinished(msecs);
}

qint64 HelperProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

bool HelperProcess::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

void HelperProcess::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (m_accepted || m_state == State::Finished) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        accept(socket);
    }
}

void HelperProcess::onHelperConnected()
{
    if (m_accepted || m_state == State::Finished)
        return;
    // A helper that connected to the server did so before it said so: its
    // connection waits in the server's queue, whether or not the event loop
    // has told of it yet.
    m_server->waitForNewConnection(0);
    onNewConnection();
    if (m_accepted)
        return;
    const int ownEnd = m_connectionPair ? m_connectionPair->takeOwnEnd() : -1;
    if (ownEnd < 0)
        return;
    auto *socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(ownEnd, QLocalSocket::ConnectedState, QIODevice::ReadWrite)) {
        delete socket;
        return;
    }
    accept(socket);
}

void HelperProcess::accept(QLocalSocket *socket)
{
    m_accepted = true;
    // One helper per process: nobody else gets in once it is connected, and
    // the connection it did not use goes.
    m_server->close();
    m_connectionPair.reset();
    m_connection = new HelperConnection(socket, m_handOver.get(), m_transport, this);
    connect(m_connection, &HelperConnection::disconnected, this, [this] {
        if (m_state == State::Connected)
            m_state = State::Closing;
    });
    m_state = State::Connected;
    emit connected();
}

void HelperProcess::onFinished(int rawExitCode, QProcess::ExitStatus status)
{
    readTrace();
    const bool crashed = status != QProcess::NormalExit;
    if (crashed && m_error.isEmpty())
        m_error = QStringLiteral("the helper crashed");
    end(crashed ? -1 : signedExitCode(rawExitCode), crashed);
    emit finished(m_exitCode, m_crashed);
}

void HelperProcess::onError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || m_state == State::Finished)
        return;
    m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process->errorString());
    end(-1, true);
    emit finished(m_exitCode, m_crashed);
}

void HelperProcess::end(int exitCode, bool crashed)
{
    m_exitCode = exitCode;
    m_crashed = crashed;
    m_state = State::Finished;
}

void HelperProcess::readTrace()
{
    if (!m_process)
        return;
    m_partialTraceLine += m_process->readAllStandardOutput();
    qsizetype end;
    while ((end = m_partialTraceLine.indexOf('\n')) >= 0) {
        QByteArray line = m_partialTraceLine.left(end);
        m_partialTraceLine.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        const QString text = QString::fromUtf8(line);
        m_trace << text;
        if (text.startsWith(QLatin1String("connected ")))
            onHelperConnected();
        emit traceLine(text);
    }
}

} // namespace pdfpreview
