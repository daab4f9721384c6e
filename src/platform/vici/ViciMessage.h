#pragma once

#include "base/Outcome.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <vector>

namespace Orvex {

// One VICI message: an ordered tree of key-values, lists of values and named
// sub-sections. Order is kept because charon reads some sections (children,
// authentication rounds) in the order they were sent.
class ViciMessage
{
public:
    struct Entry;

    void set(const QByteArray &key, const QByteArray &value);
    void set(const QByteArray &key, const QString &value) { set(key, value.toUtf8()); }
    void set(const QByteArray &key, const char *value) { set(key, QByteArray(value)); }
    void setList(const QByteArray &key, const QList<QByteArray> &items);
    // Adds (or replaces) the sub-section `key` and answers it for filling in.
    ViciMessage &section(const QByteArray &key);

    bool isEmpty() const { return m_entries.empty(); }
    bool contains(const QByteArray &key) const { return find(key) != nullptr; }
    QByteArray value(const QByteArray &key) const;
    QString text(const QByteArray &key) const { return QString::fromUtf8(value(key)); }
    // "yes" / "no" fields of charon's answers.
    bool isYes(const QByteArray &key) const { return value(key) == "yes"; }
    QList<QByteArray> list(const QByteArray &key) const;
    const ViciMessage *subSection(const QByteArray &key) const;

    const std::vector<Entry> &entries() const { return m_entries; }
    std::vector<Entry> &entries() { return m_entries; }

    bool operator==(const ViciMessage &other) const;

private:
    const Entry *find(const QByteArray &key) const;
    Entry &findOrAdd(const QByteArray &key);

    std::vector<Entry> m_entries;
};

struct ViciMessage::Entry
{
    enum Kind { Value, List, Section };

    QByteArray name;
    Kind kind = Value;
    QByteArray value;
    QList<QByteArray> items;
    ViciMessage section;

    bool operator==(const Entry &other) const;
};

// A packet of the VICI wire protocol, without its 4-byte length prefix.
struct ViciPacket
{
    enum Type : quint8 {
        CommandRequest = 0,
        CommandResponse = 1,
        CommandUnknown = 2,
        EventRegister = 3,
        EventUnregister = 4,
        EventConfirm = 5,
        EventUnknown = 6,
        Event = 7,
    };

    Type type = CommandRequest;
    QByteArray name;     // command or event name, for the types that carry one
    ViciMessage message; // for requests, responses and events
};

// Encoding and decoding of messages and packets. Decoding never trusts a
// length field: every read is checked against the bytes that are there, and
// nesting is bounded.
namespace ViciCodec {

// The largest packet either side accepts; a peer announcing more is broken.
constexpr int MaxPacketSize = 512 * 1024;
constexpr int MaxDepth = 32;

// Encoding fails with why when a name exceeds 255 bytes or a value 65535
// bytes, which the wire format cannot carry; decoding when the bytes are not
// a well-formed message or packet.
Outcome<QByteArray> encodeMessage(const ViciMessage &message);
Outcome<ViciMessage> decodeMessage(const QByteArray &bytes);

Outcome<QByteArray> encodePacket(const ViciPacket &packet);
Outcome<ViciPacket> decodePacket(const QByteArray &payload);

// Prefixes `payload` with its 4-byte big-endian length.
QByteArray frame(const QByteArray &payload);

} // namespace ViciCodec

} // namespace Orvex
