#include "framing.h"

#include <QBuffer>
#include <QIODevice>

namespace {

constexpr qint64 PrefixSize = sizeof(quint32);

} // namespace

PacketWriter::PacketWriter(PacketType type)
    : m_stream(&m_bytes, QIODevice::WriteOnly)
{
    m_stream.setVersion(ProtocolStreamVersion);
    m_stream << quint32(0) << type;
}

QByteArray PacketWriter::finish()
{
    m_stream.device()->seek(0);
    m_stream << static_cast<quint32>(m_bytes.size() - PrefixSize);
    return m_bytes;
}

QByteArray buildPacket(PacketType type)
{
    PacketWriter writer(type);
    return writer.finish();
}

void readPackets(QIODevice *device, quint32 &expectedSize, const PacketHandler &handle)
{
    QDataStream prefixes(device);
    prefixes.setVersion(ProtocolStreamVersion);
    for (;;) {
        if (expectedSize == 0) {
            if (device->bytesAvailable() < PrefixSize)
                return;
            prefixes >> expectedSize;
        }
        if (device->bytesAvailable() < expectedSize)
            return;
        const QByteArray packet = device->read(expectedSize);
        expectedSize = 0;

        QBuffer buffer;
        buffer.setData(packet);
        buffer.open(QIODevice::ReadOnly);
        QDataStream in(&buffer);
        in.setVersion(ProtocolStreamVersion);
        // An empty packet reads as type 0.
        PacketType type{};
        in >> type;
        handle(type, in);
    }
}
