#include "helpersession.h"

#include "areablocks.h"
#include "areahandover.h"
#include "helpercontract.h"
#include "packetframing.h"
#include "sharedarea.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <utility>
#include <vector>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#endif

namespace pdfpreview {

namespace {

// The render request behind an area offer: every helper answers it, so a
// helper that ignored the offer is found out without waiting long.
constexpr quint64 ProbeToken = ~quint64(0);

} // namespace

namespace {

// How long the destructor gives the helper to end by itself once the
// connection is closed, before it is killed.
constexpr int GraceMsecs = 3000;

QStringList helperArguments(const QString &mode, const QString &target,
                            const QString &documentPath, const QString &password)
{
    QStringList args{mode, target, documentPath};
    // The helper takes a fifth entry as the password; a null one means none.
    if (!password.isNull())
        args << password;
    return args;
}

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

int signedExitCode(int rawExitCode)
{
#ifdef Q_OS_WIN
    return rawExitCode;
#else
    return static_cast<qint8>(rawExitCode);
#endif
}

bool looksEncrypted(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 Window = 1 << 20;
    const QByteArray head = file.read(Window);
    if (head.contains("/Encrypt"))
        return true;
    if (file.size() > Window) {
        file.seek(qMax(file.size() - Window, Window));
        return file.readAll().contains("/Encrypt");
    }
    return false;
}

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

HelperSession::HelperSession(QObject *parent)
    : QObject(parent)
    , m_program(defaultHelperProgram())
{
    m_decoders.setMaxThreadCount(1);
    // Qt's reader refuses images over 128 MiB by default; the helper sends
    // up to its bound, and everything it sends must decode.
    if (QImageReader::allocationLimit() < MaxImageMegabytes)
        QImageReader::setAllocationLimit(MaxImageMegabytes);
}

HelperSession::~HelperSession()
{
    // A decoder posts its reply back to the session: none may outlive it.
    m_decoders.waitForDone();
    for (QEventLoop *loop : std::as_const(m_waitLoops))
        loop->quit();
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (m_socket) {
        m_socket->disconnect(this);
        // Not disconnectFromServer: with requests still unwritten it would
        // wait for an event loop that does not run here, and the helper
        // would never see the connection go.
        m_socket->abort();
    }
    // A helper that has not been accepted yet waits in the server's queue:
    // closing the server ends its connection too, and with it the helper.
    if (m_server)
        m_server->close();
    if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(GraceMsecs)) {
        m_process->kill();
        m_process->waitForFinished(GraceMsecs);
    }
}

QString HelperSession::serverName() const
{
    return m_serverName;
}

qint64 HelperSession::helperProcessId() const
{
    return m_process ? m_process->processId() : 0;
}

bool HelperSession::start(const QString &documentPath, const QString &password)
{
    if (m_state != State::Idle) {
        m_error = QStringLiteral("the session has been started already");
        return false;
    }

    m_server = new QLocalServer(this);
    // Only processes of the same user may connect.
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    const QString name = uniqueServerName();
    if (name.isEmpty()) {
        m_error = QStringLiteral("no folder for a local socket has a path short enough (TMPDIR is %1)")
                      .arg(QDir::tempPath());
        m_state = State::Finished;
        return false;
    }
    if (!m_server->listen(name)) {
        m_error = QStringLiteral("cannot listen on a local socket: ") + m_server->errorString();
        m_state = State::Finished;
        return false;
    }
    m_serverName = m_server->fullServerName();
    connect(m_server, &QLocalServer::newConnection, this, &HelperSession::onNewConnection);

    m_process = new QProcess(this);
    if (m_forwardLog)
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        m_process->setStandardErrorFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &HelperSession::readTrace);
    connect(m_process, &QProcess::finished, this, &HelperSession::onProcessFinished);
    connect(m_process, &QProcess::errorOccurred, this, &HelperSession::onProcessError);

    // The helper's end of the area channel is inherited by this helper alone.
    m_handOver = std::make_unique<AreaHandOver>();
    if (m_handOver->prepare() && m_handOver->childDescriptor() >= 0) {
        const int childEnd = m_handOver->childDescriptor();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(AreaChannelVariable), QString::number(childEnd));
        m_process->setProcessEnvironment(environment);
#ifdef Q_OS_UNIX
        m_process->setChildProcessModifier([childEnd] { ::fcntl(childEnd, F_SETFD, 0); });
#endif
    }

    m_state = State::Starting;
    m_process->start(m_program,
                     helperArguments(QStringLiteral("1"), m_serverName, documentPath, password));
    m_handOver->helperStarted(m_process->processId());
    if (!m_process->waitForStarted()) {
        m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process->errorString());
        m_state = State::Finished;
        m_crashed = true;
        return false;
    }
    return true;
}

bool HelperSession::waitForConnected(int msecs)
{
    waitFor([this] { return m_state != State::Starting; }, msecs);
    return m_state == State::Connected;
}

void HelperSession::sendRenderRequest(const PageRequest &request)
{
    sendRequest(buildPacket(PacketType::RenderRequest, request));
}

void HelperSession::sendBookmarksRequest()
{
    if (m_state != State::Connected)
        return;
    ++m_bookmarksSent;
    sendRequest(buildPacket(PacketType::BookmarksRequest));
}

void HelperSession::sendPageSizesRequest()
{
    sendRequest(buildPacket(PacketType::PageSizesRequest));
}

void HelperSession::sendOutlineToolTipsRequest()
{
    sendRequest(buildPacket(PacketType::OutlineToolTipsRequest));
}

void HelperSession::sendRequest(const QByteArray &packet)
{
    // Behind an offer still out, as the pieces that wait for it: the helper
    // answers in the order requests were made.
    if (m_offeredArea)
        m_afterOffer.append(Waiting{TileRecord{}, packet});
    else
        sendRaw(packet);
}

void HelperSession::sendRaw(const QByteArray &bytes)
{
    if (m_state == State::Connected && m_socket)
        m_socket->write(bytes);
}

std::optional<PageRequest> HelperSession::render(PageRequest request, int msecs)
{
    if (m_state != State::Connected)
        return std::nullopt;
    m_lastRenderShared = false;
    // An area offered meanwhile replaces the one blocks are taken from.
    if (m_offeredArea)
        waitFor([this] { return !m_offeredArea || m_state != State::Connected; }, msecs);
    // Sizes over the bound fail at the helper either way; PNG says so at once.
    if (m_transport == Transport::Shared && !m_sharedUnsupported && fitsImageBound(request.size)) {
        const qint64 bytes = qint64(request.size.width()) * request.size.height() * 4;
        qint64 offset = m_area ? m_area->take(bytes) : -1;
        if (offset < 0 && offerArea(bytes, msecs))
            offset = m_area->take(bytes);
        if (offset >= 0)
            return renderShared(request, offset, msecs);
    }
    const quint64 token = m_nextToken++;
    request.token = token;
    return ask(buildPacket(PacketType::RenderRequest, request), &HelperSession::renderReplied,
               std::function<bool(const PageRequest &)>([token](const PageRequest &r) { return r.token == token; }),
               msecs);
}

std::optional<QList<BookmarkNode>> HelperSession::outline(int msecs)
{
    if (m_state != State::Connected)
        return std::nullopt;
    // Replies come in request order, so the n-th reply answers the n-th request.
    const quint64 number = ++m_bookmarksSent;
    return ask(buildPacket(PacketType::BookmarksRequest), &HelperSession::bookmarksReplied,
               std::function<bool(const QList<BookmarkNode> &)>(
                   [number, this](const QList<BookmarkNode> &) { return m_bookmarksReceived == number; }),
               msecs);
}

template <typename Reply>
std::optional<Reply> HelperSession::ask(const QByteArray &packet, void (HelperSession::*signal)(const Reply &),
                                        const std::function<bool(const Reply &)> &mine, int msecs)
{
    std::optional<Reply> reply;
    const auto connection = connect(this, signal, this, [&reply, &mine](const Reply &r) {
        if (!reply && mine(r))
            reply = r;
    });
    sendRequest(packet);
    waitFor([&] { return reply.has_value() || m_state != State::Connected; }, msecs);
    disconnect(connection);
    return reply;
}

std::optional<QList<QSize>> HelperSession::pageSizes(int msecs)
{
    if (m_state != State::Connected)
        return std::nullopt;
    return ask(buildPacket(PacketType::PageSizesRequest), &HelperSession::pageSizesReplied,
               std::function<bool(const QList<QSize> &)>([](const QList<QSize> &) { return true; }), msecs);
}

bool HelperSession::offerArea(qint64 bytes, int msecs)
{
    // The offer the non-blocking form makes, waited for: its answer (or the
    // probe behind it) settles it as it does for requests that do not wait.
    const std::shared_ptr<AreaBlocks> before = m_area;
    if (!m_offeredArea)
        offerAreaWithoutWaiting(bytes);
    waitFor([this] { return !m_offeredArea || m_state != State::Connected; }, msecs);
    return m_area && m_area != before;
}

std::optional<PageRequest> HelperSession::renderShared(PageRequest request, qint64 offset, int msecs)
{
    const quint64 token = m_nextToken++;
    request.token = token;
    request.image = QImage();
    const std::shared_ptr<AreaBlocks> area = m_area;
    std::optional<PageRequest> reply;
    const auto connection = connect(this, &HelperSession::sharedRenderReplied, this,
                                    [&, token](const PageRequest &r, const SharedImage &placed) {
        if (r.token != token || reply)
            return;
        reply = r;
        reply->image = AreaBlocks::imageIn(area, offset, placed);
    });
    PacketWriter writer(PacketType::SharedRenderRequest);
    writer.stream() << request << quint64(offset);
    sendRaw(writer.finish());
    waitFor([&] { return reply.has_value() || m_state != State::Connected; }, msecs);
    disconnect(connection);
    if (!reply)
        area->give(offset);
    m_lastRenderShared = reply.has_value();
    return reply;
}

void HelperSession::sendPageRequest(const PageRequest &request)
{
    sendPiece(TileRecord{request, QRect()});
}

void HelperSession::sendTileRequest(const TileRecord &tile)
{
    sendPiece(tile);
}

void HelperSession::sendPiece(const TileRecord &piece)
{
    if (m_state != State::Connected)
        return;
    // While an area is offered everything waits, so that the helper gets
    // requests in the order they were made.
    if (m_offeredArea) {
        m_afterOffer.append(Waiting{piece, QByteArray()});
        return;
    }
    const QSize size = piece.tile.isNull() ? piece.page.size : piece.tile.size();
    if (m_transport != Transport::Shared || m_sharedUnsupported || !fitsImageBound(size)) {
        sendPlainPiece(piece);
        return;
    }
    const qint64 bytes = qint64(size.width()) * size.height() * 4;
    const qint64 offset = m_area ? m_area->take(bytes) : -1;
    if (offset >= 0) {
        sendSharedPiece(piece, offset);
        return;
    }
    m_afterOffer.append(Waiting{piece, QByteArray()});
    offerAreaWithoutWaiting(bytes);
}

void HelperSession::sendPlainPiece(const TileRecord &piece)
{
    if (piece.tile.isNull())
        sendRaw(buildPacket(PacketType::RenderRequest, piece.page));
    else
        sendRaw(buildPacket(PacketType::TileRequest, piece));
}

void HelperSession::sendSharedPiece(TileRecord piece, qint64 offset)
{
    // The block is taken from now on, so that the next request does not draw
    // into it too.
    m_pendingPieces.insert(piece.page.token, PendingPiece{m_area, offset});
    piece.page.image = QImage();
    if (piece.tile.isNull()) {
        PacketWriter writer(PacketType::SharedRenderRequest);
        writer.stream() << piece.page << quint64(offset);
        sendRaw(writer.finish());
    } else {
        PacketWriter writer(PacketType::SharedTileRequest);
        writer.stream() << piece << quint64(offset);
        sendRaw(writer.finish());
    }
}

void HelperSession::offerAreaWithoutWaiting(qint64 bytes)
{
    // Room for a few pieces of this size, so that the caller may hold several
    // while the next ones are drawn.
    constexpr qint64 Granule = 64 * 1024;
    constexpr int Pieces = 4;
    const qint64 pieceBytes = (bytes + Granule - 1) / Granule * Granule;
    const qint64 size = qMax<qint64>(1, qMin<qint64>(Pieces, MaxSharedAreaBytes / pieceBytes)) * pieceBytes;
    auto fresh = std::make_unique<SharedArea>();
    // The area has no name: its handle goes to the helper just before the
    // offer that announces it, and this side keeps only the mapping.
    const qint64 handle = fresh->createUnnamed(size) && m_handOver ? m_handOver->handOver(*fresh) : -1;
    fresh->dropHandle();
    if (handle < 0) {
        // The system gives no area this time: the pages waiting for it come
        // as PNG, and the next page tries again.
        onAreaAnswered(false, true);
        return;
    }
    m_offeredArea = std::move(fresh);
    // A token of its own, counted down from the top where no caller's tokens
    // are: the probe of an earlier offer, answered after that offer's reply,
    // must not be taken for this one's.
    m_offerProbeToken = ProbeToken - ++m_offersMade;
    sendRaw(buildPacket(PacketType::SharedAreaOffer, SharedAreaOfferRecord{QString(), quint64(size), handle}));
    sendRaw(buildPacket(PacketType::RenderRequest,
                        PageRequest{0, -1, m_offerProbeToken, false, false, 0, QSize(1, 1), QImage()}));
}

void HelperSession::onAreaAnswered(bool accepted, bool known)
{
    if (accepted)
        m_area = std::make_shared<AreaBlocks>(std::move(m_offeredArea));
    m_offeredArea.reset();
    if (!known)
        m_sharedUnsupported = true;
    const QList<Waiting> waiting = std::exchange(m_afterOffer, {});
    for (qsizetype i = 0; i < waiting.size(); ++i) {
        // A refused offer is not made again for the pieces that were waiting.
        if (!waiting[i].packet.isEmpty())
            sendRaw(waiting[i].packet);
        else if (accepted || !known)
            sendPiece(waiting[i].piece);
        else
            sendPlainPiece(waiting[i].piece);
        // A piece the new area has no room left for offers another: the
        // rest waits behind it, in order.
        if (m_offeredArea) {
            m_afterOffer.append(waiting.mid(i + 1));
            return;
        }
    }
}

std::optional<TileRecord> HelperSession::sharedPieceReplied(const TileRecord &reply, const SharedImage &placed)
{
    const auto it = m_pendingPieces.find(reply.page.token);
    if (it == m_pendingPieces.end())
        return std::nullopt;
    const PendingPiece pending = *it;
    m_pendingPieces.erase(it);
    TileRecord piece = reply;
    piece.page.image = AreaBlocks::imageIn(pending.area, pending.offset, placed);
    return piece;
}

void HelperSession::forgetPendingPieces()
{
    for (const PendingPiece &pending : std::as_const(m_pendingPieces))
        pending.area->give(pending.offset);
    m_pendingPieces.clear();
    m_afterOffer.clear();
    m_offeredArea.reset();
}

bool HelperSession::finish(int msecs)
{
    if (!m_process)
        return false;
    close();
    if (waitForFinished(msecs))
        return !m_crashed;
    m_process->kill();
    waitForFinished(GraceMsecs);
    return false;
}

void HelperSession::close()
{
    if (m_socket)
        m_socket->disconnectFromServer();
}

void HelperSession::kill()
{
    if (m_server)
        m_server->close();
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(GraceMsecs);
    }
}

bool HelperSession::waitForFinished(int msecs)
{
    return waitFor([this] { return m_state == State::Finished; }, msecs);
}

void HelperSession::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (m_socket || m_state != State::Starting) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_socket = socket;
        connect(m_socket, &QLocalSocket::readyRead, this, &HelperSession::onReadyRead);
        connect(m_socket, &QLocalSocket::disconnected, this, [this] {
            if (m_state == State::Connected)
                m_state = State::Closing;
            forgetPendingPieces();
            wake();
        });
        m_state = State::Connected;
        // One helper per session: nobody else gets in once it is connected.
        m_server->close();
        emit connected();
        wake();
        // Bytes may have come with the connection already.
        if (m_socket->bytesAvailable() > 0)
            onReadyRead();
    }
}

void HelperSession::onReadyRead()
{
    readPackets(m_socket, m_expectedSize, [this](PacketType type, QDataStream &payload) {
        auto packet = std::make_shared<ArrivedPacket>();
        packet->type = type;
        packet->payload = payload.device()->readAll();
        m_arrived.push_back(packet);
        if (type != PacketType::RenderReply && type != PacketType::TileReply)
            return;
        // Replies with an image come as PNG: decoded on a thread of the
        // session's own, one at a time and so in order, never on the
        // caller's, which may be a window's.
        packet->ready = false;
        m_decoders.start([this, packet] {
            QDataStream in(packet->payload);
            in.setVersion(ProtocolStreamVersion);
            if (packet->type == PacketType::RenderReply)
                in >> packet->page;
            else
                in >> packet->tile;
            packet->payload.clear();
            QMetaObject::invokeMethod(this, [this, packet] {
                packet->ready = true;
                dispatchArrived();
            }, Qt::QueuedConnection);
        });
    });
    dispatchArrived();
}

void HelperSession::dispatchArrived()
{
    // Every reply is handed on in the order it came, those behind one still
    // being decoded waiting for it.
    while (!m_arrived.empty() && m_arrived.front()->ready) {
        const std::shared_ptr<ArrivedPacket> packet = m_arrived.front();
        m_arrived.pop_front();
        handleArrived(*packet);
        wake();
    }
}

void HelperSession::handleArrived(const ArrivedPacket &packet)
{
    QDataStream payload(packet.payload);
    payload.setVersion(ProtocolStreamVersion);
    switch (packet.type) {
    case PacketType::RenderReply: {
        PageRequest reply = packet.page;
        // The probe behind an offer comes back first where the helper
        // did not know the offer.
        if (m_offeredArea && reply.token == m_offerProbeToken)
            onAreaAnswered(false, false);
        emit renderReplied(reply);
        break;
    }
    case PacketType::BookmarksReply: {
        const QList<BookmarkNode> nodes = readBookmarkNodes(payload);
        ++m_bookmarksReceived;
        emit bookmarksReplied(nodes);
        break;
    }
    case PacketType::PageSizesReply:
        emit pageSizesReplied(readPageSizes(payload));
        break;
    case PacketType::OutlineToolTipsReply:
        emit outlineToolTipsReplied(readToolTips(payload));
        break;
    case PacketType::TileReply: {
        emit tileReplied(packet.tile);
        break;
    }
    case PacketType::SharedAreaReply: {
        bool accepted = false;
        payload >> accepted;
        if (m_offeredArea)
            onAreaAnswered(accepted, true);
        emit sharedAreaReplied(accepted);
        break;
    }
    case PacketType::SharedRenderReply: {
        PageRequest reply;
        SharedImage placed;
        payload >> reply >> placed;
        if (const auto page = sharedPieceReplied(TileRecord{reply, QRect()}, placed))
            emit renderReplied(page->page);
        emit sharedRenderReplied(reply, placed);
        break;
    }
    case PacketType::SharedTileReply: {
        TileRecord reply;
        SharedImage placed;
        payload >> reply >> placed;
        if (const auto tile = sharedPieceReplied(reply, placed))
            emit tileReplied(*tile);
        break;
    }
    default:
        emit unexpectedPacket(static_cast<int>(packet.type));
        break;
    }
}

void HelperSession::onProcessFinished(int rawExitCode, QProcess::ExitStatus status)
{
    readTrace();
    m_crashed = status != QProcess::NormalExit;
    m_exitCode = m_crashed ? -1 : signedExitCode(rawExitCode);
    if (m_crashed && m_error.isEmpty())
        m_error = QStringLiteral("the helper crashed");
    m_state = State::Finished;
    emit finished(m_exitCode);
    wake();
}

void HelperSession::onProcessError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return;
    m_error = QStringLiteral("cannot start %1: %2").arg(m_program, m_process->errorString());
    m_crashed = true;
    m_state = State::Finished;
    wake();
}

void HelperSession::readTrace()
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
        emit traceLine(text);
    }
}

void HelperSession::wake()
{
    for (QEventLoop *loop : std::as_const(m_waitLoops))
        loop->quit();
}

bool HelperSession::waitFor(const std::function<bool()> &done, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    m_waitLoops.append(&loop);
    bool ok = true;
    while (!done()) {
        if (deadline.hasExpired()) {
            ok = false;
            break;
        }
        timer.start(std::chrono::milliseconds(deadline.remainingTime()));
        loop.exec();
    }
    m_waitLoops.removeOne(&loop);
    return ok;
}

AnnotationScan scanAnnotatedPages(const QString &helperProgram, const QString &documentPath,
                                  const QString &password, int msecs)
{
    AnnotationScan scan;
    QTemporaryDir dir;
    if (!dir.isValid()) {
        scan.error = QStringLiteral("cannot make a temporary folder: ") + dir.errorString();
        return scan;
    }
    const QString output = dir.filePath(QStringLiteral("pages.txt"));

    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(helperProgram, helperArguments(QStringLiteral("0"), output, documentPath, password));
    if (!process.waitForStarted()) {
        scan.error = QStringLiteral("cannot start %1: %2").arg(helperProgram, process.errorString());
        return scan;
    }
    if (!process.waitForFinished(msecs)) {
        process.kill();
        process.waitForFinished(GraceMsecs);
        scan.error = QStringLiteral("the helper did not finish in time");
        return scan;
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        scan.error = QStringLiteral("the helper crashed");
        return scan;
    }
    scan.ran = true;
    scan.exitCode = signedExitCode(process.exitCode());
    if (scan.exitCode != 0)
        return scan;

    QFile file(output);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        scan.error = QStringLiteral("the helper wrote no page list");
        scan.ran = false;
        return scan;
    }
    while (!file.atEnd()) {
        bool ok = false;
        const int page = file.readLine().trimmed().toInt(&ok);
        if (ok)
            scan.pages << page;
    }
    return scan;
}

} // namespace pdfpreview
