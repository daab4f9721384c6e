#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace Orvex {

struct CheckUpdateStatus
{
    QString version;
    QString command;
    QString opf;
    bool error = false;
    QString name; // the package's download address
    QString softwareversion;
    std::optional<qint64> code;

    static std::optional<CheckUpdateStatus> decode(const QJsonValue &value);
};

// The answer to checkForUpdates.
struct CheckForUpdatesResponse
{
    CheckUpdateStatus status;

    static std::optional<CheckForUpdatesResponse> decode(const QJsonValue &value);
};

} // namespace Orvex
