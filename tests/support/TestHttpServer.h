#pragma once

// A small HTTPS server on loopback for the client's tests: each path answers
// with whatever the test writes to the socket, so a test can send well-formed
// answers, error pages, no body, half a body, or nothing at all.

#include "ProgramRun.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

struct TestHttpRequest
{
    QByteArray method;
    QByteArray target; // path and query, still percent-encoded
    QList<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[k, v] : headers) {
            if (k.compare(name, Qt::CaseInsensitive) == 0)
                return v;
        }
        return {};
    }
    QByteArray path() const
    {
        return target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    }
    QByteArray query() const
    {
        return target.indexOf('?') < 0 ? QByteArray() : target.mid(target.indexOf('?') + 1);
    }
};

// A throwaway certificate for 127.0.0.1/localhost made with the openssl CLI.
struct TestCertificate
{
    QTemporaryDir dir;
    QString certPath;
    QString keyPath;

    bool make()
    {
        certPath = dir.filePath(QStringLiteral("cert.pem"));
        keyPath = dir.filePath(QStringLiteral("key.pem"));
        const QStringList arguments
            = QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost")
                  .split(QLatin1Char(' '))
              << QStringLiteral("-keyout") << keyPath << QStringLiteral("-out") << certPath;
        return runProgram(QStringLiteral("openssl"), arguments, 30000).exitCode == 0;
    }
};

class TestHttpServer
{
public:
    using Handler = std::function<void(const TestHttpRequest &, QTcpSocket *)>;

    // HTTPS with a certificate of its own (which the client must be told to
    // trust: certificatePath()), on a free loopback port; port 0 when it
    // could not be made.
    TestHttpServer()
    {
        if (!m_certificate.make())
            return;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        QFile certFile(m_certificate.certPath);
        QFile keyFile(m_certificate.keyPath);
        certFile.open(QIODevice::ReadOnly);
        keyFile.open(QIODevice::ReadOnly);
        config.setLocalCertificate(QSslCertificate(&certFile, QSsl::Pem));
        config.setPrivateKey(QSslKey(&keyFile, QSsl::Ec, QSsl::Pem));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_server.setSslConfiguration(config);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                accept(socket);
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return m_server.serverPort(); }
    QString certificatePath() const { return m_certificate.certPath; }
    QString origin(bool tls) const
    {
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(tls ? QStringLiteral("https") : QStringLiteral("http"))
            .arg(port());
    }

    void route(const QByteArray &path, Handler handler) { m_routes.insert(path, std::move(handler)); }

    QList<TestHttpRequest> requests;

    static QByteArray response(int status, const QByteArray &body,
                               const QByteArray &contentType = "application/json")
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " Status\r\n";
        if (!contentType.isEmpty())
            out += "Content-Type: " + contentType + "\r\n";
        return out + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

    static Handler answer(int status, const QByteArray &body,
                          const QByteArray &contentType = "application/json")
    {
        return [=](const TestHttpRequest &, QTcpSocket *socket) {
            socket->write(response(status, body, contentType));
        };
    }

private:
    TestCertificate m_certificate;

    void accept(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            *buffer += socket->readAll();
            for (;;) {
                const int end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                TestHttpRequest request;
                const QList<QByteArray> lines = buffer->left(end).split('\n');
                const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                request.method = first.value(0);
                request.target = first.value(1);
                for (int i = 1; i < lines.size(); ++i) {
                    const int colon = lines[i].indexOf(':');
                    if (colon > 0)
                        request.headers.append(
                            {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
                }
                const int length = request.header("Content-Length").toInt();
                if (buffer->size() < end + 4 + length)
                    return;
                request.body = buffer->mid(end + 4, length);
                buffer->remove(0, end + 4 + length);
                requests.append(request);
                const auto it = m_routes.constFind(request.path());
                if (it != m_routes.constEnd())
                    (*it)(request, socket);
                else
                    socket->write(response(404, "not found", "text/plain"));
            }
        });
    }

    QSslServer m_server;
    QHash<QByteArray, Handler> m_routes;
};
