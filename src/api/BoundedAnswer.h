#pragma once

#include <QByteArrayList>

#include <memory>

class QNetworkReply;

namespace Orvex {

// Collects a reply's body up to a limit and refuses it, by aborting the reply,
// as soon as it announces or outgrows the limit, whatever its framing:
// declared length, chunked, or until the connection closes. Memory held stays
// near the limit: Qt's own buffers are bounded and the body is kept in the
// pieces it arrives in until it is complete.
class BoundedAnswer
{
public:
    // Starts watching `reply`; the returned object lives as long as the caller
    // keeps it (the reply's handlers keep it too).
    static std::shared_ptr<BoundedAnswer> watch(QNetworkReply *reply, qint64 limit);

    bool isTooLarge() const { return m_tooLarge; }
    // Takes what is left in the reply and hands out the whole body, once the
    // reply has finished. Empty when the answer was refused.
    QByteArray finish();

private:
    BoundedAnswer(QNetworkReply *reply, qint64 limit);
    void take();
    void refuse();

    QNetworkReply *m_reply;
    qint64 m_limit;
    QByteArrayList m_parts;
    qint64 m_size = 0;
    bool m_tooLarge = false;
};

} // namespace Orvex
