#pragma once

// The real orvex-devservice for one test: started on a free loopback port with
// a private data folder, asked over HTTPS trusting only its own CA, and
// stopped by its own process id when the object goes.
//
//     DevService service;
//     QVERIFY2(service.start({"--seed-demo", "--dev-routes"}), qPrintable(service.error()));

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <memory>

class DevService
{
public:
    DevService() = default;
    DevService(const DevService &) = delete;
    DevService &operator=(const DevService &) = delete;
    ~DevService() { stop(); }

    bool start(const QStringList &arguments)
    {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return false;
        }
        m_process = std::make_unique<QProcess>();
        m_process->setProgram(QStringLiteral(ORVEX_DEVSERVICE_BINARY));
        // Many accounts, many sign-ins: a cheap password cost keeps the suite quick.
        m_process->setArguments(QStringList{QStringLiteral("--data"), dataDir(), QStringLiteral("--listen"),
                                            QStringLiteral("127.0.0.1:0"), QStringLiteral("--password-rounds"),
                                            QStringLiteral("1000")}
                                + arguments);
        m_process->setProcessChannelMode(QProcess::SeparateChannels);
        m_process->start();
        if (!m_process->waitForStarted(30000)) {
            m_error = m_process->errorString();
            return false;
        }
        static const QRegularExpression listening(QStringLiteral("listening on (https://[^\\s]+)"));
        QString output;
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            m_process->waitForReadyRead(200);
            output += QString::fromUtf8(m_process->readAllStandardOutput());
            const auto match = listening.match(output);
            if (match.hasMatch()) {
                m_origin = match.captured(1);
                m_demoEmail = QRegularExpression(QStringLiteral("demo e-mail (\\S+)")).match(output).captured(1);
                m_demoPassword = QRegularExpression(QStringLiteral("demo password (\\S+)")).match(output).captured(1);
                m_manager = std::make_unique<QNetworkAccessManager>();
                return true;
            }
        }
        m_error = QStringLiteral("orvex-devservice did not start: ")
                  + QString::fromUtf8(m_process->readAllStandardError());
        return false;
    }

    void stop()
    {
        if (!m_process || m_process->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process->processId()), SIGTERM);
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }

    QString error() const { return m_error; }
    QString origin() const { return m_origin; }
    QString dataDir() const { return m_dir.path(); }
    QString caCertificate() const { return m_dir.filePath(QStringLiteral("ca.crt")); }
    QString demoEmail() const { return m_demoEmail; }
    QString demoPassword() const { return m_demoPassword; }

    // A development route; waits for the answer (tests only).
    QByteArray request(const QByteArray &verb, const QString &pathAndQuery, const QByteArray &body = {})
    {
        QNetworkRequest request(QUrl(m_origin + pathAndQuery));
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslCertificate::fromPath(caCertificate()));
        request.setSslConfiguration(ssl);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        QNetworkReply *reply = m_manager->sendCustomRequest(request, verb, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        const QByteArray answer = reply->readAll();
        reply->deleteLater();
        return answer;
    }

    // Counts the requests of `path` (and `api` of the command endpoint) from
    // now on, holding each answer back by `delayMs`.
    bool countRequests(const QString &path, const QString &api = {}, int delayMs = 0)
    {
        QJsonObject spec{{QStringLiteral("path"), path},
                         {QStringLiteral("fault"), QStringLiteral("delay")},
                         {QStringLiteral("ms"), delayMs}};
        if (!api.isEmpty())
            spec.insert(QStringLiteral("api"), api);
        const QByteArray answer = request("POST", QStringLiteral("/dev/faults"),
                                          QJsonDocument(spec).toJson(QJsonDocument::Compact));
        return !answer.contains("error");
    }
    // Makes every request of `path`/`api` fail with a server error page.
    bool failRequests(const QString &path, const QString &api = {})
    {
        QJsonObject spec{{QStringLiteral("path"), path}, {QStringLiteral("fault"), QStringLiteral("html500")}};
        if (!api.isEmpty())
            spec.insert(QStringLiteral("api"), api);
        return !request("POST", QStringLiteral("/dev/faults"), QJsonDocument(spec).toJson(QJsonDocument::Compact))
                        .contains("error");
    }
    int requestCount(const QString &path, const QString &api = {})
    {
        const QString key = api.isEmpty() ? path : path + QStringLiteral("?api=") + api;
        const QJsonArray faults = QJsonDocument::fromJson(request("GET", QStringLiteral("/dev/faults"))).array();
        for (const QJsonValue &fault : faults) {
            if (fault[QStringLiteral("key")].toString() == key)
                return fault[QStringLiteral("hits")].toInt();
        }
        return 0;
    }
    void clearFaults() { request("DELETE", QStringLiteral("/dev/faults")); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QNetworkAccessManager> m_manager;
    QString m_error;
    QString m_origin;
    QString m_demoEmail;
    QString m_demoPassword;
};
