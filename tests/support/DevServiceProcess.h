#pragma once

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

class QNetworkAccessManager;
class HttpsClient;

// Runs the real orvex-devservice binary on a free loopback port with a data
// folder of the caller's (or a temporary one of its own), and stops it (by its
// own PID) when destroyed.
class DevServiceProcess
{
public:
    explicit DevServiceProcess(const QString &dataDir = {});
    ~DevServiceProcess() { kill(); }

    // Starts the service and waits for its "listening on" line. `configFile`
    // becomes ORVEX_CONFIG when not empty.
    bool start(const QStringList &arguments = {}, const QString &configFile = {});
    // Tests get a cheap password cost unless they name one; this gives the
    // service its own default instead.
    void useDefaultPasswordCost() { m_cheapPasswords = false; }
    // SIGTERM and wait.
    bool stop();
    // SIGKILL and wait: nothing is flushed on the way out.
    void kill();
    bool isRunning() const { return m_process && m_process->state() == QProcess::Running; }
    qint64 pid() const { return m_process ? m_process->processId() : 0; }

    QString origin() const { return m_origin; }
    int port() const { return m_port; }
    QString dataDir() const { return m_dataDir; }
    QString caCertificate() const { return m_dataDir + QStringLiteral("/ca.crt"); }
    QString demoEmail() const { return m_demoEmail; }
    QString demoPassword() const { return m_demoPassword; }
    QString errors() { return m_process ? QString::fromUtf8(m_process->readAllStandardError()) : QString(); }

    // The service's /dev/faults routes (it must run with --dev-routes).
    // Counts the requests of `path` (and `api` of the command endpoint) from
    // now on, holding each answer back by `delayMs`.
    bool countRequests(const QString &path, const QString &api = {}, int delayMs = 0)
    {
        return setFault(path, api, QStringLiteral("delay"), delayMs);
    }
    // Makes every request of `path`/`api` fail with a server error page.
    bool failRequests(const QString &path, const QString &api = {})
    {
        return setFault(path, api, QStringLiteral("html500"), 0);
    }
    int requestCount(const QString &path, const QString &api = {});
    void clearFaults();

    static QString binary();

private:
    bool setFault(const QString &path, const QString &api, const QString &fault, int delayMs);

    QTemporaryDir m_ownDir;
    QString m_dataDir;
    std::unique_ptr<HttpsClient> m_client;
    std::unique_ptr<QProcess> m_process;
    QString m_origin;
    int m_port = 0;
    QString m_demoEmail;
    QString m_demoPassword;
    QString m_output;
    bool m_cheapPasswords = true;
};

// What a request came back with.
struct HttpAnswer
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray contentType;
};

using QueryItems = QList<QPair<QString, QString>>;

// A small HTTPS client trusting only the service's CA. Values are percent-
// encoded in full, "+" included, as the client sends them.
class HttpsClient
{
public:
    HttpsClient(const QString &origin, const QString &caCertificate);
    ~HttpsClient();

    QUrl url(const QString &path, const QueryItems &items = {}) const;

    HttpAnswer get(const QString &path, const QueryItems &items = {})
    {
        return send("GET", url(path, items));
    }
    HttpAnswer post(const QString &path, const QByteArray &body,
                    const QList<QPair<QByteArray, QByteArray>> &headers = {})
    {
        return send("POST", url(path), body, headers);
    }
    HttpAnswer send(const QByteArray &verb, const QUrl &url, const QByteArray &body = {},
                    const QList<QPair<QByteArray, QByteArray>> &headers = {})
    {
        return wait(start(verb, url, body, headers));
    }

    // Starts a request without waiting; `wait` collects it.
    QNetworkReply *start(const QByteArray &verb, const QUrl &url, const QByteArray &body = {},
                         const QList<QPair<QByteArray, QByteArray>> &headers = {});
    static HttpAnswer wait(QNetworkReply *reply);

private:
    QString m_origin;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    QNetworkRequest m_template;
};
