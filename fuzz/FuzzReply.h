#pragma once

// A finished network reply with a chosen status, headers and error, so the
// fuzzers can put bytes through NetworkService's own answer checks without a
// socket.

#include <QNetworkReply>

class FuzzReply final : public QNetworkReply
{
public:
    FuzzReply(int status, QNetworkReply::NetworkError error,
              const QList<std::pair<QByteArray, QByteArray>> &headers)
    {
        if (status > 0)
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        for (const auto &[name, value] : headers)
            setRawHeader(name, value);
        if (error != QNetworkReply::NoError)
            setError(error, QStringLiteral("fuzz"));
        setFinished(true);
        open(QIODevice::ReadOnly);
    }

    void abort() override {}

protected:
    qint64 readData(char *, qint64) override { return -1; }
};
