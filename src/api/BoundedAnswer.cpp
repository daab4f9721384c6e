#include "BoundedAnswer.h"

#include <QNetworkReply>

#include <algorithm>

namespace Orvex {

namespace {

// How much Qt may hold between its network thread and us; when we lag behind,
// its network thread stops reading and the server is held back by TCP.
constexpr qint64 maxReadBuffer = qint64(1024) * 1024;

} // namespace

BoundedAnswer::BoundedAnswer(QNetworkReply *reply, qint64 limit)
    : m_reply(reply)
    , m_limit(limit)
{}

std::shared_ptr<BoundedAnswer> BoundedAnswer::watch(QNetworkReply *reply, qint64 limit)
{
    std::shared_ptr<BoundedAnswer> answer(new BoundedAnswer(reply, limit));
    // Qt passes the read-buffer bound to its network thread only once the
    // request has been started there, and a request with a body starts only
    // after the call that sent it has returned: a bound set now alone is lost
    // and the network thread reads as fast as the server sends. It is set
    // again when the headers are in, which is before any of the body.
    reply->setReadBufferSize(std::min(maxReadBuffer, limit + 1));
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [answer, reply] {
        reply->setReadBufferSize(std::min(maxReadBuffer, answer->m_limit + 1));
        bool known = false;
        const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && declared > answer->m_limit)
            answer->refuse();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [answer] { answer->take(); });
    return answer;
}

void BoundedAnswer::take()
{
    if (m_tooLarge)
        return;
    // Only what is there: read(n) would first allocate all of n.
    const qint64 room = m_limit + 1 - m_size;
    const QByteArray part = m_reply->read(std::min(m_reply->bytesAvailable(), room));
    if (part.isEmpty())
        return;
    m_size += part.size();
    m_parts.append(part);
    if (m_size > m_limit)
        refuse();
}

void BoundedAnswer::refuse()
{
    m_tooLarge = true;
    m_parts.clear();
    m_size = 0;
    m_reply->abort();
}

QByteArray BoundedAnswer::finish()
{
    if (!m_tooLarge && m_reply->isReadable())
        take();
    if (m_tooLarge)
        return {};
    // Joined once: a growing array would hold up to twice the limit while it
    // reallocates.
    QByteArray body = m_parts.size() == 1 ? m_parts.constFirst() : m_parts.join();
    m_parts.clear();
    return body;
}

} // namespace Orvex
