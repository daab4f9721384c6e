#include "StandInCharon.h"

#include <QLocalSocket>
#include <QTest>
#include <QtEndian>

#include <openssl/evp.h>
#include <openssl/x509.h>

using namespace Orvex;

namespace {

// charon names a private key by the SHA-1 of its public key, in hex.
QByteArray keyIdOf(const QByteArray &certificateDer)
{
    const auto *data = reinterpret_cast<const unsigned char *>(certificateDer.constData());
    X509 *certificate = d2i_X509(nullptr, &data, certificateDer.size());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate)
        X509_pubkey_digest(certificate, EVP_sha1(), digest, &length);
    X509_free(certificate);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

StandInCharon::StandInCharon(const QString &path)
{
    m_server.listen(path);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        QLocalSocket *peer = m_peer = m_server.nextPendingConnection();
        connect(peer, &QLocalSocket::readyRead, this, [this, peer] { read(peer); });
        connect(peer, &QLocalSocket::disconnected, this, [this] { peerGone = true; });
    });
}

bool StandInCharon::waitForPackets(int count)
{
    return QTest::qWaitFor([&] { return received.size() >= count; }, 5000);
}

void StandInCharon::sendRaw(const QByteArray &bytes)
{
    m_peer->write(bytes);
}

void StandInCharon::send(QLocalSocket *peer, const ViciPacket &packet)
{
    if (peer->state() == QLocalSocket::ConnectedState)
        peer->write(ViciCodec::frame(ViciCodec::encodePacket(packet).value()));
}

void StandInCharon::respond(const QByteArray &key, const QByteArray &value)
{
    ViciMessage message;
    message.set(key, value);
    send({ViciPacket::CommandResponse, {}, message});
}

void StandInCharon::event(const QByteArray &name, const QByteArray &key, const QByteArray &value)
{
    ViciMessage message;
    message.set(key, value);
    send({ViciPacket::Event, name, message});
}

void StandInCharon::respondTo(qsizetype index, const QByteArray &key, const QByteArray &value)
{
    ViciMessage message;
    message.set(key, value);
    m_done.insert(index);
    send(from[index], {ViciPacket::CommandResponse, {}, message});
}

void StandInCharon::drop()
{
    m_peer->flush();
    m_peer->abort();
}

void StandInCharon::answerAll()
{
    for (qsizetype i = 0; i < received.size(); ++i) {
        if (m_done.contains(i))
            continue;
        if (received[i].type == ViciPacket::CommandRequest)
            respondTo(i);
        else
            confirm(i);
    }
}

void StandInCharon::confirm(qsizetype index)
{
    m_done.insert(index);
    send(from[index], {ViciPacket::EventConfirm, {}, {}});
}

qsizetype StandInCharon::lastCommand(const QByteArray &name) const
{
    for (qsizetype i = received.size() - 1; i >= 0; --i) {
        if (received[i].type == ViciPacket::CommandRequest && received[i].name == name)
            return i;
    }
    return -1;
}

QList<QByteArray> StandInCharon::commands() const
{
    QList<QByteArray> names;
    for (const ViciPacket &packet : received) {
        if (packet.type == ViciPacket::CommandRequest)
            names << packet.name;
    }
    return names;
}

void StandInCharon::read(QLocalSocket *peer)
{
    QByteArray &buffer = m_buffers[peer];
    buffer += peer->readAll();
    while (buffer.size() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(buffer.constData());
        if (quint32(buffer.size()) < 4 + length)
            return;
        received.append(ViciCodec::decodePacket(buffer.mid(4, length)).value());
        from.append(peer);
        buffer.remove(0, 4 + length);
        if (m_charon)
            answer(received.size() - 1);
    }
}

void StandInCharon::answer(qsizetype index)
{
    const ViciPacket &packet = received[index];
    QLocalSocket *peer = from[index];
    m_done.insert(index);
    if (packet.type == ViciPacket::EventRegister)
        m_registered[peer].insert(packet.name);
    if (packet.type == ViciPacket::EventUnregister)
        m_registered[peer].remove(packet.name);
    if (packet.type != ViciPacket::CommandRequest) {
        send(peer, {ViciPacket::EventConfirm, {}, {}});
        return;
    }
    const QByteArray &name = packet.name;
    const ViciMessage &request = packet.message;
    ViciMessage reply;
    reply.set("success", "yes");
    if (name == "load-conn" && !request.isEmpty()) {
        m_connection = request.entries().front().name;
        conns.insert(m_connection);
    } else if (name == "unload-conn") {
        conns.remove(request.value("name"));
    } else if (name == "load-cert" && request.value("flag") == "NONE") {
        m_certificate = request.value("data");
    } else if (name == "load-key") {
        keys.insert(keyIdOf(m_certificate));
    } else if (name == "unload-key") {
        keys.remove(request.value("id"));
    } else if (name == "get-conns") {
        reply.setList("conns", conns.values());
    } else if (name == "get-keys") {
        reply.setList("keys", keys.values());
    } else if (name == "list-sas") {
        if (sa == Sa::Up)
            send(peer, {ViciPacket::Event, "list-sa", saMessage(true)});
    } else if (name == "initiate") {
        ++initiates;
        if (!conns.contains(request.value("ike"))) {
            reply.set("success", "no");
            reply.set("errmsg", "CHILD_SA config not found");
        } else {
            sa = Sa::Keying;
            m_initiate = index;
            return;
        }
    } else if (name == "terminate") {
        const bool wasUp = sa == Sa::Up;
        m_abandoned = sa == Sa::Keying;
        sa = Sa::None;
        if (wasUp)
            upDown(false);
    } else if (name != "load-authority" && name != "unload-authority" && name != "version" && name != "rekey"
               && name != "load-cert") {
        send(peer, {ViciPacket::CommandUnknown, {}, {}});
        return;
    }
    send(peer, {ViciPacket::CommandResponse, {}, reply});
}

void StandInCharon::endAttempt(bool up)
{
    if (sa != Sa::Keying && !(up && m_abandoned))
        return;
    m_abandoned = false;
    sa = up ? Sa::Up : Sa::None;
    if (up)
        upDown(true);
    ViciMessage reply;
    reply.set("success", up ? "yes" : "no");
    if (!up)
        reply.set("errmsg", "establishing CHILD_SA failed");
    if (m_initiate >= 0)
        send(from[m_initiate], {ViciPacket::CommandResponse, {}, reply});
    m_initiate = -1;
}

void StandInCharon::deleteSa()
{
    if (sa != Sa::Up)
        return;
    sa = Sa::None;
    upDown(false);
}

ViciMessage StandInCharon::saMessage(bool up) const
{
    ViciMessage message;
    if (up)
        message.set("up", "yes");
    ViciMessage &ike = message.section(m_connection);
    ike.set("state", up ? "ESTABLISHED" : "DELETING");
    ike.section("child-sas").section(m_connection + "-1").set("state", up ? "INSTALLED" : "DELETING");
    return message;
}

void StandInCharon::upDown(bool up)
{
    for (const QByteArray event : {"child-updown", "ike-updown"}) {
        for (auto it = m_registered.cbegin(); it != m_registered.cend(); ++it) {
            if (it->contains(event))
                send(it.key(), {ViciPacket::Event, event, saMessage(up)});
        }
    }
}
