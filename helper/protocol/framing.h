#pragma once

// Packets are a big-endian quint32 length L (the bytes that follow it), the
// PacketType byte and the payload. Both sides build and take apart packets
// here and nowhere else.

#include "records.h"

#include <QByteArray>
#include <QDataStream>

#include <functional>

class QIODevice;

// Builds a packet in memory behind a length placeholder; finish() patches the
// length in, so that the caller can hand the whole packet over in one write.
class PacketWriter
{
public:
    explicit PacketWriter(PacketType type);
    PacketWriter(const PacketWriter &) = delete;
    PacketWriter &operator=(const PacketWriter &) = delete;

    // The payload goes here, between construction and finish().
    QDataStream &stream() { return m_stream; }
    // Patches the length and returns the complete packet. Call once.
    QByteArray finish();

private:
    QByteArray m_bytes;
    QDataStream m_stream;
};

template <typename Payload>
QByteArray buildPacket(PacketType type, const Payload &payload)
{
    PacketWriter writer(type);
    writer.stream() << payload;
    return writer.finish();
}

// A packet of the type byte alone.
QByteArray buildPacket(PacketType type);

// Called for each complete packet with its type and a stream (version set)
// positioned after the type byte. Bytes past the payload are never looked at.
using PacketHandler = std::function<void(PacketType type, QDataStream &payload)>;

// Takes every complete packet that the device has buffered off it, in arrival
// order, and hands each to the handler. expectedSize carries a length already
// read across calls (0 while a length prefix is awaited), so a packet that
// arrives in pieces is handled once its last byte is there. Nothing is
// allocated for a packet until all of it has arrived.
void readPackets(QIODevice *device, quint32 &expectedSize, const PacketHandler &handle);
