#pragma once

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// What the client requires of the outcome envelope: every required member
// present with its type. Answers an empty text when `body` is an envelope with
// `code` and `error`, else what is wrong.
inline QString envelopeProblem(const QByteArray &body, int code, bool error = true)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject status = document.object().value(QStringLiteral("status")).toObject();
    if (!document.isObject() || status.isEmpty())
        return QStringLiteral("not an envelope: ") + QString::fromUtf8(body.left(300));
    for (const char *member : {"command", "opf", "version"}) {
        if (!status.value(QLatin1String(member)).isString())
            return QStringLiteral("member %1 missing or not text").arg(QLatin1String(member));
    }
    if (!status.value(QStringLiteral("error")).isBool())
        return QStringLiteral("member error missing or not a Boolean");
    const QJsonValue codeValue = status.value(QStringLiteral("code"));
    if (!codeValue.isDouble() || codeValue.toDouble() != double(codeValue.toInt()))
        return QStringLiteral("member code missing or not an integer");
    if (codeValue.toInt() != code || status.value(QStringLiteral("error")).toBool() != error)
        return QStringLiteral("code %1 error %2 (%3)")
            .arg(codeValue.toInt())
            .arg(status.value(QStringLiteral("error")).toBool())
            .arg(status.value(QStringLiteral("errorMessage")).toString());
    return {};
}

inline QJsonObject jsonObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

// A udid of the client's form: lower-case hexadecimal MD5.
inline QString udidFor(const QString &seed)
{
    return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Md5).toHex());
}
