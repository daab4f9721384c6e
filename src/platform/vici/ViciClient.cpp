#include "ViciClient.h"

#include "platform/Logging.h"

#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

namespace Orvex {

namespace {

// Each command and its answer in brief: the name, and yes or charon's errmsg.
// Never the messages themselves, which carry certificates and keys.
ViciClient::ReplyHandler logged(const QByteArray &command, ViciClient::ReplyHandler handler)
{
    qCDebug(lcVici, "%s", command.constData());
    return [command, handler = std::move(handler)](const ViciReply &reply) {
        if (reply.isSuccess())
            qCDebug(lcVici, "%s: success", command.constData());
        else if (reply.outcome == ViciReply::Answered && command == "unload-key")
            // A remembered key charon no longer holds (it restarted, or
            // someone else unloaded it): what the unload was for.
            qCDebug(lcVici, "%s: %s", command.constData(), qUtf8Printable(reply.errorText()));
        else
            qCWarning(lcVici, "%s failed: %s", command.constData(), qUtf8Printable(reply.errorText()));
        if (handler)
            handler(reply);
    };
}

} // namespace

bool ViciReply::isSuccess() const
{
    if (outcome != Answered)
        return false;
    return !message.contains("success") || message.isYes("success");
}

QString ViciReply::errorText() const
{
    switch (outcome) {
    case Answered:
        if (isSuccess())
            return {};
        return message.contains("errmsg") ? message.text("errmsg")
                                          : QStringLiteral("charon refused the request");
    case UnknownCommand:
        return QStringLiteral("charon does not know this request");
    case Failed:
        break;
    }
    return error.isEmpty() ? QStringLiteral("no answer from charon") : error;
}

ViciClient::ViciClient(QObject *parent)
    : QObject(parent)
    , m_socket(new QLocalSocket(this))
{
    reconnectSocketSignals();
}

void ViciClient::reconnectSocketSignals()
{
    connect(m_socket, &QLocalSocket::connected, this, &ViciClient::onConnected);
    connect(m_socket, &QLocalSocket::readyRead, this, &ViciClient::onReadyRead);
    // Every way out (peer closed, connect refused, socket error) ends in the
    // unconnected state.
    connect(m_socket, &QLocalSocket::stateChanged, this, [this](QLocalSocket::LocalSocketState state) {
        if (state != QLocalSocket::UnconnectedState)
            return;
        const bool peerClosed = m_socket->error() == QLocalSocket::PeerClosedError
                                || m_socket->error() == QLocalSocket::UnknownSocketError;
        onSocketClosed(peerClosed ? QStringLiteral("charon closed the connection") : m_socket->errorString());
    });
}

ViciClient::~ViciClient()
{
    // Handlers may refer to objects being destroyed with us: do not call them.
    m_pending.clear();
    m_socket->disconnect(this);
    m_socket->abort();
}

void ViciClient::connectToDaemon(const QString &socketPath)
{
    if (isOpen())
        return;
    m_inbox.clear();
    m_outbox.clear();
    m_open = true;
    m_socket->connectToServer(socketPath, QIODevice::ReadWrite);
}

void ViciClient::disconnectFromDaemon()
{
    if (isOpen())
        abortWith(QStringLiteral("disconnected"));
}

bool ViciClient::isConnected() const
{
    return m_socket->state() == QLocalSocket::ConnectedState;
}

bool ViciClient::isOpen() const
{
    return m_open;
}

void ViciClient::call(const QByteArray &command, const ViciMessage &request, ReplyHandler handler)
{
    send({ViciPacket::CommandRequest, command, request}, {false, {}, {}, logged(command, std::move(handler))});
}

void ViciClient::stream(const QByteArray &command, const ViciMessage &request, const QByteArray &event,
                        EventHandler onItem, ReplyHandler handler)
{
    registerEvent(event);
    send({ViciPacket::CommandRequest, command, request},
         {false, event, std::move(onItem), logged(command, std::move(handler))});
    unregisterEvent(event);
}

void ViciClient::registerEvent(const QByteArray &event, ReplyHandler handler)
{
    send({ViciPacket::EventRegister, event, {}}, {true, {}, {}, std::move(handler)});
}

void ViciClient::unregisterEvent(const QByteArray &event, ReplyHandler handler)
{
    send({ViciPacket::EventUnregister, event, {}}, {true, {}, {}, std::move(handler)});
}

void ViciClient::send(ViciPacket packet, Pending pending)
{
    const Outcome<QByteArray> encoded = ViciCodec::encodePacket(packet);
    if (!encoded.isSuccess()) {
        failLater(std::move(pending.handler), encoded.error());
        return;
    }
    const QByteArray &payload = encoded.value();
    if (!isOpen()) {
        failLater(std::move(pending.handler), QStringLiteral("not connected to charon"));
        return;
    }
    m_pending.push_back(std::move(pending));
    if (isConnected()) {
        m_socket->write(ViciCodec::frame(payload));
        // Out now rather than on the next turn of the event loop, which may
        // first spend a frame painting: a request is small, and a tunnel's
        // start waits on it.
        m_socket->flush();
    } else
        m_outbox.append(ViciCodec::frame(payload));
}

void ViciClient::onConnected()
{
    if (!m_outbox.isEmpty()) {
        m_socket->write(m_outbox);
        m_socket->flush();
        m_outbox.clear();
    }
    qCInfo(lcVici, "connected to charon");
    Q_EMIT connected();
}

void ViciClient::onReadyRead()
{
    QPointer<ViciClient> self(this);
    m_inbox.append(m_socket->readAll());
    while (self && m_open && m_inbox.size() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(m_inbox.constData());
        if (length == 0 || length > quint32(ViciCodec::MaxPacketSize)) {
            abortWith(QStringLiteral("charon sent a packet of invalid length %1").arg(length));
            return;
        }
        if (quint32(m_inbox.size()) < 4 + length)
            return;
        const QByteArray payload = m_inbox.mid(4, length);
        m_inbox.remove(0, 4 + length);
        const Outcome<ViciPacket> packet = ViciCodec::decodePacket(payload);
        if (!packet.isSuccess()) {
            abortWith(QStringLiteral("malformed packet from charon: %1").arg(packet.error()));
            return;
        }
        if (!handlePacket(packet.value()))
            return;
    }
}

// Answers false when the connection was dropped meanwhile.
bool ViciClient::handlePacket(const ViciPacket &packet)
{
    QPointer<ViciClient> self(this);
    if (packet.type == ViciPacket::Event) {
        if (!m_pending.empty() && !m_pending.front().streamEvent.isEmpty()
            && m_pending.front().streamEvent == packet.name) {
            // Copy: the handler may issue requests that grow the queue.
            const EventHandler onItem = m_pending.front().onItem;
            if (onItem)
                onItem(packet.message);
        } else {
            qCDebug(lcVici, "event %s", packet.name.constData());
            Q_EMIT eventReceived(packet.name, packet.message);
        }
        return self && m_open;
    }

    const bool isCommandAnswer = packet.type == ViciPacket::CommandResponse
                                 || packet.type == ViciPacket::CommandUnknown;
    const bool isEventAnswer = packet.type == ViciPacket::EventConfirm
                               || packet.type == ViciPacket::EventUnknown;
    if (!isCommandAnswer && !isEventAnswer) {
        abortWith(QStringLiteral("charon sent a packet of type %1").arg(int(packet.type)));
        return false;
    }
    if (m_pending.empty() || m_pending.front().isEventRequest != isEventAnswer) {
        abortWith(QStringLiteral("charon sent an answer that matches no request"));
        return false;
    }
    Pending pending = std::move(m_pending.front());
    m_pending.pop_front();
    ViciReply reply;
    reply.outcome = (packet.type == ViciPacket::CommandUnknown || packet.type == ViciPacket::EventUnknown)
                        ? ViciReply::UnknownCommand
                        : ViciReply::Answered;
    reply.message = packet.message;
    if (pending.handler)
        pending.handler(reply);
    return self && m_open;
}

void ViciClient::abortWith(const QString &reason)
{
    // Close first so the socket's own disconnected() finds nothing to do.
    m_socket->disconnect(this);
    m_socket->abort();
    reconnectSocketSignals();
    onSocketClosed(reason);
}

void ViciClient::onSocketClosed(const QString &reason)
{
    if (!m_open)
        return;
    m_open = false;
    qCInfo(lcVici, "connection to charon closed: %s", qUtf8Printable(reason));
    QPointer<ViciClient> self(this);
    std::deque<Pending> pending;
    pending.swap(m_pending);
    m_inbox.clear();
    m_outbox.clear();
    for (Pending &p : pending) {
        if (p.handler) {
            ViciReply reply;
            reply.error = reason;
            p.handler(reply);
            if (!self)
                return;
        }
    }
    Q_EMIT disconnected(reason);
}

void ViciClient::failLater(ReplyHandler handler, const QString &reason)
{
    if (!handler)
        return;
    QTimer::singleShot(0, this, [handler = std::move(handler), reason] {
        ViciReply reply;
        reply.error = reason;
        handler(reply);
    });
}

} // namespace Orvex
