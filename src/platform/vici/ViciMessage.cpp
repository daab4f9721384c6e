#include "ViciMessage.h"

#include <QtEndian>

namespace Orvex {

namespace {

enum Element : quint8 {
    SectionStart = 1,
    SectionEnd = 2,
    KeyValue = 3,
    ListStart = 4,
    ListItem = 5,
    ListEnd = 6,
};

// The encoders append to `out`; after a failure what they appended is of no use.
using Done = Outcome<>;

Done fail(const QString &reason)
{
    return Done::failure(reason);
}

Done appendName(QByteArray *out, const QByteArray &name)
{
    if (name.isEmpty() || name.size() > 255)
        return fail(
            QStringLiteral("name \"%1\" must have 1 to 255 bytes").arg(QString::fromUtf8(name.left(40))));
    out->append(char(name.size()));
    out->append(name);
    return Done::success();
}

Done appendValue(QByteArray *out, const QByteArray &value)
{
    if (value.size() > 0xffff)
        return fail(QStringLiteral("a value of %1 bytes exceeds 65535").arg(value.size()));
    out->append(char((value.size() >> 8) & 0xff));
    out->append(char(value.size() & 0xff));
    out->append(value);
    return Done::success();
}

Done encodeEntries(const ViciMessage &message, QByteArray *out, int depth)
{
    if (depth > ViciCodec::MaxDepth)
        return fail(QStringLiteral("sections nested too deeply"));
    for (const ViciMessage::Entry &entry : message.entries()) {
        Done done = Done::success();
        switch (entry.kind) {
        case ViciMessage::Entry::Value:
            out->append(char(KeyValue));
            done = appendName(out, entry.name);
            if (done.isSuccess())
                done = appendValue(out, entry.value);
            break;
        case ViciMessage::Entry::List:
            out->append(char(ListStart));
            done = appendName(out, entry.name);
            for (const QByteArray &item : entry.items) {
                if (!done.isSuccess())
                    break;
                out->append(char(ListItem));
                done = appendValue(out, item);
            }
            out->append(char(ListEnd));
            break;
        case ViciMessage::Entry::Section:
            out->append(char(SectionStart));
            done = appendName(out, entry.name);
            if (done.isSuccess())
                done = encodeEntries(entry.section, out, depth + 1);
            out->append(char(SectionEnd));
            break;
        }
        if (!done.isSuccess())
            return done;
    }
    return Done::success();
}

// A bounds-checked reader over the bytes of one packet.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes, qsizetype start = 0)
        : m_bytes(bytes)
        , m_pos(start)
    {}

    bool atEnd() const { return m_pos >= m_bytes.size(); }
    bool byte(quint8 *out)
    {
        if (m_pos + 1 > m_bytes.size())
            return false;
        *out = quint8(m_bytes.at(m_pos++));
        return true;
    }
    bool name(QByteArray *out)
    {
        quint8 length = 0;
        if (!byte(&length) || length == 0 || m_pos + length > m_bytes.size())
            return false;
        *out = m_bytes.mid(m_pos, length);
        m_pos += length;
        return true;
    }
    bool value(QByteArray *out)
    {
        if (m_pos + 2 > m_bytes.size())
            return false;
        const int length = (quint8(m_bytes.at(m_pos)) << 8) | quint8(m_bytes.at(m_pos + 1));
        m_pos += 2;
        if (m_pos + length > m_bytes.size())
            return false;
        *out = m_bytes.mid(m_pos, length);
        m_pos += length;
        return true;
    }
    qsizetype position() const { return m_pos; }

private:
    const QByteArray &m_bytes;
    qsizetype m_pos;
};

Done decodeEntries(Reader &reader, ViciMessage *out)
{
    // Sections being filled, innermost last. Kept iterative so a hostile
    // nesting depth costs nothing on the stack.
    std::vector<ViciMessage *> open{out};
    const auto truncated = [&] {
        return fail(QStringLiteral("truncated element at offset %1").arg(reader.position()));
    };
    while (!reader.atEnd()) {
        quint8 type = 0;
        reader.byte(&type);
        ViciMessage *current = open.back();
        QByteArray name;
        switch (type) {
        case SectionStart:
            if (!reader.name(&name))
                return truncated();
            if (open.size() > size_t(ViciCodec::MaxDepth))
                return fail(QStringLiteral("sections nested too deeply"));
            current->entries().push_back({name, ViciMessage::Entry::Section, {}, {}, {}});
            open.push_back(&current->entries().back().section);
            break;
        case SectionEnd:
            if (open.size() == 1)
                return fail(QStringLiteral("section end without a section"));
            open.pop_back();
            break;
        case KeyValue: {
            QByteArray value;
            if (!reader.name(&name) || !reader.value(&value))
                return truncated();
            current->entries().push_back({name, ViciMessage::Entry::Value, value, {}, {}});
            break;
        }
        case ListStart: {
            if (!reader.name(&name))
                return truncated();
            QList<QByteArray> items;
            for (;;) {
                quint8 itemType = 0;
                if (!reader.byte(&itemType))
                    return truncated();
                if (itemType == ListEnd)
                    break;
                if (itemType != ListItem)
                    return fail(QStringLiteral("element %1 inside a list").arg(itemType));
                QByteArray item;
                if (!reader.value(&item))
                    return truncated();
                items.append(item);
            }
            current->entries().push_back({name, ViciMessage::Entry::List, {}, items, {}});
            break;
        }
        default:
            return fail(
                QStringLiteral("unexpected element %1 at offset %2").arg(type).arg(reader.position() - 1));
        }
    }
    if (open.size() != 1)
        return fail(QStringLiteral("section not closed"));
    return Done::success();
}

bool typeHasName(ViciPacket::Type type)
{
    return type == ViciPacket::CommandRequest || type == ViciPacket::EventRegister
           || type == ViciPacket::EventUnregister || type == ViciPacket::Event;
}

bool typeHasMessage(ViciPacket::Type type)
{
    return type == ViciPacket::CommandRequest || type == ViciPacket::CommandResponse
           || type == ViciPacket::Event;
}

} // namespace

void ViciMessage::set(const QByteArray &key, const QByteArray &value)
{
    Entry &entry = findOrAdd(key);
    entry = {key, Entry::Value, value, {}, {}};
}

void ViciMessage::setList(const QByteArray &key, const QList<QByteArray> &items)
{
    Entry &entry = findOrAdd(key);
    entry = {key, Entry::List, {}, items, {}};
}

ViciMessage &ViciMessage::section(const QByteArray &key)
{
    Entry &entry = findOrAdd(key);
    if (entry.kind != Entry::Section)
        entry = {key, Entry::Section, {}, {}, {}};
    return entry.section;
}

QByteArray ViciMessage::value(const QByteArray &key) const
{
    const Entry *entry = find(key);
    return entry && entry->kind == Entry::Value ? entry->value : QByteArray();
}

QList<QByteArray> ViciMessage::list(const QByteArray &key) const
{
    const Entry *entry = find(key);
    return entry && entry->kind == Entry::List ? entry->items : QList<QByteArray>();
}

const ViciMessage *ViciMessage::subSection(const QByteArray &key) const
{
    const Entry *entry = find(key);
    return entry && entry->kind == Entry::Section ? &entry->section : nullptr;
}

bool ViciMessage::operator==(const ViciMessage &other) const
{
    return m_entries == other.m_entries;
}

bool ViciMessage::Entry::operator==(const Entry &other) const
{
    return name == other.name && kind == other.kind && value == other.value && items == other.items
           && section == other.section;
}

const ViciMessage::Entry *ViciMessage::find(const QByteArray &key) const
{
    for (const Entry &entry : m_entries) {
        if (entry.name == key)
            return &entry;
    }
    return nullptr;
}

ViciMessage::Entry &ViciMessage::findOrAdd(const QByteArray &key)
{
    for (Entry &entry : m_entries) {
        if (entry.name == key)
            return entry;
    }
    m_entries.push_back({key, Entry::Value, {}, {}, {}});
    return m_entries.back();
}

namespace ViciCodec {

Outcome<QByteArray> encodeMessage(const ViciMessage &message)
{
    QByteArray bytes;
    if (const Done encoded = encodeEntries(message, &bytes, 0); !encoded.isSuccess())
        return Outcome<QByteArray>::failure(encoded.error());
    return Outcome<QByteArray>::success(bytes);
}

Outcome<ViciMessage> decodeMessage(const QByteArray &bytes)
{
    Reader reader(bytes);
    ViciMessage message;
    if (const Done decoded = decodeEntries(reader, &message); !decoded.isSuccess())
        return Outcome<ViciMessage>::failure(decoded.error());
    return Outcome<ViciMessage>::success(std::move(message));
}

Outcome<QByteArray> encodePacket(const ViciPacket &packet)
{
    const auto fail = [](const QString &reason) { return Outcome<QByteArray>::failure(reason); };
    if (packet.type > ViciPacket::Event)
        return fail(QStringLiteral("unknown packet type %1").arg(int(packet.type)));
    QByteArray bytes(1, char(packet.type));
    Done encoded = Done::success();
    if (typeHasName(packet.type))
        encoded = appendName(&bytes, packet.name);
    if (encoded.isSuccess() && typeHasMessage(packet.type))
        encoded = encodeEntries(packet.message, &bytes, 0);
    if (!encoded.isSuccess())
        return fail(encoded.error());
    if (bytes.size() > MaxPacketSize)
        return fail(QStringLiteral("packet of %1 bytes is too large").arg(bytes.size()));
    return Outcome<QByteArray>::success(bytes);
}

Outcome<ViciPacket> decodePacket(const QByteArray &payload)
{
    const auto fail = [](const QString &reason) { return Outcome<ViciPacket>::failure(reason); };
    Reader reader(payload);
    quint8 type = 0;
    if (!reader.byte(&type))
        return fail(QStringLiteral("empty packet"));
    if (type > ViciPacket::Event)
        return fail(QStringLiteral("unknown packet type %1").arg(type));
    ViciPacket packet;
    packet.type = ViciPacket::Type(type);
    if (typeHasName(packet.type) && !reader.name(&packet.name))
        return fail(QStringLiteral("packet name truncated"));
    if (typeHasMessage(packet.type)) {
        if (const Done decoded = decodeEntries(reader, &packet.message); !decoded.isSuccess())
            return fail(decoded.error());
    } else if (!reader.atEnd()) {
        return fail(QStringLiteral("trailing bytes after a packet of type %1").arg(type));
    }
    return Outcome<ViciPacket>::success(std::move(packet));
}

QByteArray frame(const QByteArray &payload)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(payload.size()), bytes.data());
    bytes.append(payload);
    return bytes;
}

} // namespace ViciCodec

} // namespace Orvex
