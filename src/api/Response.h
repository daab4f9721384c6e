#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace Orvex {

// The service's outcome envelope, the shape every answer is tested against first.
struct Status
{
    qint64 code = 0;
    QString command;
    bool error = false;
    std::optional<QString> errorMessage;
    std::optional<QString> name;
    QString opf;
    QString version;
    std::optional<QString> status;

    static std::optional<Status> decode(const QJsonValue &value);
};

struct Response
{
    Status status;

    static std::optional<Response> decode(const QJsonValue &value);
};

} // namespace Orvex
