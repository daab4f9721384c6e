#pragma once

#include "platform/vici/ViciMessage.h"

#include <QObject>
#include <QPointer>

#include <deque>
#include <functional>

class QLocalSocket;

namespace Orvex {

// charon's answer to one request.
struct ViciReply
{
    enum Outcome {
        Answered,       // charon answered; see `message` (success, errmsg, ...)
        UnknownCommand, // charon does not know the command or event
        Failed,         // no answer: not connected, connection lost, protocol error
    };

    Outcome outcome = Failed;
    ViciMessage message;
    QString error; // why, when Failed

    // Answered with "success = yes". Commands without that field (version,
    // get-conns, ...) count as successful when answered.
    bool isSuccess() const;
    // A one-line reason for a failure, from charon's errmsg or the transport.
    QString errorText() const;
};

// Asynchronous client of charon's VICI socket. Requests may be issued at any
// time, also before the socket has connected; they are written at once and
// answered in order, since charon handles the requests of one connection one
// after the other. Events arrive through `eventReceived` between answers.
class ViciClient final : public QObject
{
    Q_OBJECT

public:
    using ReplyHandler = std::function<void(const ViciReply &)>;
    using EventHandler = std::function<void(const ViciMessage &)>;

    explicit ViciClient(QObject *parent = nullptr);
    ~ViciClient() override;

    void connectToDaemon(const QString &socketPath);
    void disconnectFromDaemon();
    bool isConnected() const;
    // Connecting or connected: requests issued now will be sent.
    bool isOpen() const;

    void call(const QByteArray &command, const ViciMessage &request, ReplyHandler handler);
    void call(const QByteArray &command, ReplyHandler handler) { call(command, {}, std::move(handler)); }

    // Runs a command that answers with a stream of `event` packets before its
    // response (list-sas, list-conns, ...): registers the event, sends the
    // command, hands each streamed item to `onItem`, then unregisters.
    void stream(const QByteArray &command, const ViciMessage &request, const QByteArray &event,
                EventHandler onItem, ReplyHandler handler);

    // Subscribes to an event; `handler` learns whether charon confirmed it.
    void registerEvent(const QByteArray &event, ReplyHandler handler = {});
    void unregisterEvent(const QByteArray &event, ReplyHandler handler = {});

Q_SIGNALS:
    void connected();
    // The socket closed, failed to connect, or was dropped over a protocol
    // error; every request still waiting has been answered as Failed.
    void disconnected(const QString &reason);
    void eventReceived(const QByteArray &name, const Orvex::ViciMessage &message);

private:
    struct Pending
    {
        bool isEventRequest = false;
        QByteArray streamEvent; // events of this name go to onItem while pending
        EventHandler onItem;
        ReplyHandler handler;
    };

    void send(ViciPacket packet, Pending pending);
    void onConnected();
    void onReadyRead();
    void onSocketClosed(const QString &reason);
    bool handlePacket(const ViciPacket &packet);
    void abortWith(const QString &reason);
    void reconnectSocketSignals();
    void failLater(ReplyHandler handler, const QString &reason);

    QLocalSocket *m_socket = nullptr;
    QByteArray m_inbox;
    QByteArray m_outbox; // written once the socket connects
    std::deque<Pending> m_pending;
    bool m_open = false;
};

} // namespace Orvex
