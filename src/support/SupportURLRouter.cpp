#include "SupportURLRouter.h"

#include "config/Config.h"

#include <QJsonDocument>

namespace Orvex {

SupportURLRouter SupportURLRouter::requestSupport(const QJsonObject &document)
{
    return SupportURLRouter(Case::requestSupport, document);
}

QUrl SupportURLRouter::url() const
{
    return QUrl(Config::current().helpDeskTicketURL);
}

QNetworkRequest SupportURLRouter::asURLRequest() const
{
    QNetworkRequest request(url());
    request.setRawHeader("Authorization", Config::current().helpDeskAuthorization.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

QByteArray SupportURLRouter::httpBody() const
{
    return QJsonDocument(m_document).toJson(QJsonDocument::Compact);
}

} // namespace Orvex
