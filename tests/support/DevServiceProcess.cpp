#include "DevServiceProcess.h"

#include "ProgramRun.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

namespace {

// A safety net so a broken service fails a test instead of hanging it; no test
// asserts on how long anything takes.
constexpr int patienceMs = 60000;

} // namespace

DevServiceProcess::DevServiceProcess(const QString &dataDir)
    : m_dataDir(dataDir.isEmpty() ? m_ownDir.path() : dataDir)
{}

QString DevServiceProcess::binary()
{
    return QStringLiteral(ORVEX_DEVSERVICE_BINARY);
}

bool DevServiceProcess::start(const QStringList &arguments, const QString &configFile)
{
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ORVEX_CONFIG"), configFile);
    m_process->setProcessEnvironment(environment);
    m_process->setProgram(binary());
    endsWithThisProcess(*m_process);
    // The suites create and check many passwords: unless a test asks for a
    // cost of its own, they get a cheap one instead of the service's default.
    QStringList cost;
    if (m_cheapPasswords && !arguments.contains(QStringLiteral("--password-rounds")))
        cost = {QStringLiteral("--password-rounds"), QStringLiteral("1000")};
    m_process->setArguments(QStringList{QStringLiteral("--data"), m_dataDir, QStringLiteral("--listen"),
                                        QStringLiteral("127.0.0.1:0")}
                            + cost + arguments);
    m_process->start();
    if (!m_process->waitForStarted(patienceMs))
        return false;
    m_output.clear();
    static const QRegularExpression listening(
        QStringLiteral("listening on (https://127\\.0\\.0\\.1:(\\d+))"));
    const QDeadlineTimer deadline(patienceMs);
    while (!deadline.hasExpired()) {
        if (m_process->state() != QProcess::Running && m_process->bytesAvailable() == 0)
            return false;
        m_process->waitForReadyRead(200);
        m_output += QString::fromUtf8(m_process->readAllStandardOutput());
        const auto match = listening.match(m_output);
        if (match.hasMatch()) {
            m_origin = match.captured(1);
            m_port = match.captured(2).toInt();
            static const QRegularExpression email(QStringLiteral("demo e-mail (\\S+)"));
            static const QRegularExpression password(QStringLiteral("demo password (\\S+)"));
            m_demoEmail = email.match(m_output).captured(1);
            m_demoPassword = password.match(m_output).captured(1);
            m_client = std::make_unique<HttpsClient>(m_origin, caCertificate());
            return true;
        }
    }
    return false;
}

bool DevServiceProcess::stop()
{
    if (!isRunning())
        return false;
    m_process->terminate();
    // Keep this thread's event loop running meanwhile: a stand-in peer of the
    // service may live on it (the service takes a last gateway sample on its way
    // out).
    QEventLoop loop;
    QObject::connect(m_process.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(patienceMs, &loop, &QEventLoop::quit);
    if (m_process->state() == QProcess::Running)
        loop.exec();
    return m_process->state() == QProcess::NotRunning && m_process->exitStatus() == QProcess::NormalExit
           && m_process->exitCode() == 0;
}

void DevServiceProcess::kill()
{
    if (!isRunning())
        return;
    m_process->kill();
    m_process->waitForFinished(patienceMs);
}

bool DevServiceProcess::setFault(const QString &path, const QString &api, const QString &fault, int delayMs)
{
    QJsonObject spec{{QStringLiteral("path"), path}, {QStringLiteral("fault"), fault}};
    if (delayMs > 0)
        spec.insert(QStringLiteral("ms"), delayMs);
    if (!api.isEmpty())
        spec.insert(QStringLiteral("api"), api);
    return m_client->post(QStringLiteral("/dev/faults"), QJsonDocument(spec).toJson(QJsonDocument::Compact))
               .status
           == 200;
}

int DevServiceProcess::requestCount(const QString &path, const QString &api)
{
    const QString key = api.isEmpty() ? path : path + QStringLiteral("?api=") + api;
    const QJsonArray faults = QJsonDocument::fromJson(m_client->get(QStringLiteral("/dev/faults")).body)
                                  .array();
    for (const QJsonValue &fault : faults) {
        if (fault[QStringLiteral("key")].toString() == key)
            return fault[QStringLiteral("hits")].toInt();
    }
    return 0;
}

void DevServiceProcess::clearFaults()
{
    m_client->send("DELETE", m_client->url(QStringLiteral("/dev/faults")));
}

HttpsClient::HttpsClient(const QString &origin, const QString &caCertificate)
    : m_origin(origin)
    , m_manager(std::make_unique<QNetworkAccessManager>())
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(caCertificate));
    m_template.setSslConfiguration(tls);
    m_template.setTransferTimeout(patienceMs);
}

HttpsClient::~HttpsClient() = default;

QUrl HttpsClient::url(const QString &path, const QueryItems &items) const
{
    QByteArray query;
    for (const auto &[name, value] : items) {
        if (!query.isEmpty())
            query += '&';
        query += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    QUrl url(m_origin + path);
    if (!items.isEmpty())
        url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

QNetworkReply *HttpsClient::start(const QByteArray &verb, const QUrl &url, const QByteArray &body,
                                  const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request = m_template;
    request.setUrl(url);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    if (verb == "POST" && !request.hasRawHeader("Content-Type"))
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    return m_manager->sendCustomRequest(request, verb, body);
}

HttpAnswer HttpsClient::wait(QNetworkReply *reply)
{
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(patienceMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!reply->isFinished())
        reply->abort();
    HttpAnswer answer;
    answer.error = reply->error();
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    reply->deleteLater();
    return answer;
}
