#include "pdfpageprovider.h"

#include "packetframing.h"
#include "pagerequest.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QStandardItem>

#include <iostream>
#include <memory>

PDFPageProvider::PDFPageProvider(QObject *parent)
    : QObject(parent)
    , socket(nullptr)
    , engine(QLatin1String(""))
    , expectedSize(0)
{
}

PDFPageProvider::~PDFPageProvider() = default;

int PDFPageProvider::start(const QString &serverName, const QString &documentPath,
                           const QString &password)
{
    if (!socket) {
        socket = new QLocalSocket(this);
        connect(socket, &QLocalSocket::connected, this, [this] {
            std::cout << "connected " << socket->fullServerName().toStdString() << std::endl;
        });
        // Held by the application rather than the provider, so that a lost
        // connection still ends the event loop when the provider is deleted
        // (its socket closes as the provider's child goes).
        connect(socket, &QLocalSocket::disconnected, QCoreApplication::instance(), [] {
            std::cout << "disconnected " << std::endl;
            QCoreApplication::quit();
        });
        connect(socket, &QLocalSocket::readyRead, this, &PDFPageProvider::onReadyRead);
    }

    engine.prepare();
    if (engine.loadFile(documentPath, password) != QPdfium::Success) {
        std::cout << "load err" << std::endl;
        return -2;
    }
    socket->connectToServer(serverName, QIODevice::ReadWrite);
    return 0;
}

void PDFPageProvider::onReadyRead()
{
    readPackets(socket, expectedSize, [this](PacketType type, QDataStream &payload) {
        handlePacket(type, payload);
    });
}

void PDFPageProvider::handlePacket(PacketType type, QDataStream &payload)
{
    switch (type) {
    case PacketType::RenderRequest:
        serveRender(payload);
        return;
    case PacketType::BookmarksRequest:
        serveBookmarks();
        return;
    case PacketType::RenderReply:
    case PacketType::BookmarksReply:
        break;
    }
    std::cout << "unexpected packet type " << static_cast<unsigned>(type) << std::endl;
}

void PDFPageProvider::serveRender(QDataStream &payload)
{
    PageRequest request;
    payload >> request;
    std::cout << "rendering page " << request.pageIndex << std::endl;

    // Integer division truncates toward zero: 270 is 3 quarter turns, 45 is
    // none, -90 is -1. The engine decides what it makes of the rest.
    const int quarterTurns = request.rotation / 90;
    QImage image = engine.page(static_cast<unsigned int>(request.pageIndex), request.size,
                               request.annotations, quarterTurns);
    if (request.invert)
        image.invertPixels(QImage::InvertRgb);
    request.image = std::move(image);

    const QByteArray packet = buildPacket(PacketType::RenderReply, request);
    std::cout << "sending back " << packet.size() << std::endl;
    socket->write(packet);
}

void PDFPageProvider::serveBookmarks()
{
    QList<BookmarkNode> nodes;
    {
        const std::unique_ptr<QStandardItem> root(new QStandardItem);
        // An outline that was not read to its end is sent as no outline at all.
        if (engine.readBookmarks(root.get()))
            nodes = toBookmarkNodes(root.get());
    }

    const QByteArray packet = buildPacket(PacketType::BookmarksReply, nodes);
    std::cout << "sending bookmarks " << nodes.size() << std::endl;
    socket->write(packet);
}
