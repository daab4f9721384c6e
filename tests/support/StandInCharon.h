#pragma once

#include "platform/vici/ViciMessage.h"

#include <QHash>
#include <QLocalServer>
#include <QSet>

class QLocalSocket;

// A stand-in for charon's VICI socket. It records every packet it receives on
// any connection and lets the test answer on the latest one, byte for byte
// when needed; or, once told to `answerAsCharon()`, it answers by itself as a
// charon running one connection would, and the test only scripts what the
// gateway does: an attempt coming up or failing, the peer deleting the SA.
class StandInCharon : public QObject
{
    Q_OBJECT

public:
    using ViciMessage = Orvex::ViciMessage;
    using ViciPacket = Orvex::ViciPacket;

    explicit StandInCharon(const QString &path);

    bool waitForPackets(int count);
    void sendRaw(const QByteArray &bytes);
    void send(const ViciPacket &packet) { send(m_peer, packet); }
    void respond(const QByteArray &key = "success", const QByteArray &value = "yes");
    void event(const QByteArray &name, const QByteArray &key, const QByteArray &value);
    // Answers the packet at `index` on the connection it came by.
    void respondTo(qsizetype index, const QByteArray &key = "success", const QByteArray &value = "yes");
    // Confirms the event (un)registration at `index`.
    void confirm(qsizetype index);
    // Sends on the connection the packet at `index` came by (a streamed
    // item ahead of that command's answer).
    void sendTo(qsizetype index, const ViciPacket &packet) { send(from[index], packet); }
    void drop();
    // Confirms every event (un)registration and answers every command
    // received so far, in order.
    void answerAll();
    qsizetype lastCommand(const QByteArray &name) const;
    QList<QByteArray> commands() const;

    // From now on every request is answered as charon would: loads and
    // unloads are kept, an `initiate` is held (the attempt under way) until
    // `endAttempt`, and up and down events go to whoever registered for them.
    void answerAsCharon() { m_charon = true; }
    // The attempt under way comes up or fails. Up also when it was
    // terminated meanwhile: an attempt whose success crossed the stop.
    void endAttempt(bool up);
    // The gateway deletes the SA that is up.
    void deleteSa();

    QList<ViciPacket> received;
    QList<QLocalSocket *> from; // the connection each came by
    bool peerGone = false;

    enum class Sa { None, Keying, Up };
    Sa sa = Sa::None;
    int initiates = 0;
    QSet<QByteArray> conns, keys; // what is loaded

private:
    void read(QLocalSocket *peer);
    void answer(qsizetype index);
    void send(QLocalSocket *peer, const ViciPacket &packet);
    void upDown(bool up);
    ViciMessage saMessage(bool up) const;

    QLocalServer m_server;
    QLocalSocket *m_peer = nullptr;
    QHash<QLocalSocket *, QByteArray> m_buffers;
    QSet<qsizetype> m_done;
    bool m_charon = false;
    QHash<QLocalSocket *, QSet<QByteArray>> m_registered;
    QByteArray m_connection, m_certificate;
    qsizetype m_initiate = -1;
    bool m_abandoned = false; // the attempt was terminated while keying
};
