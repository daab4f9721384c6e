#include "VPNProtocolIKEv2.h"

#include <QJsonValue>

#include <initializer_list>

namespace Orvex {

namespace {

using P = VPNProtocolIKEv2;

bool oneOf(int value, std::initializer_list<int> allowed)
{
    for (int a : allowed) {
        if (a == value)
            return true;
    }
    return false;
}

// Strict readers: a missing member or one of another type fails the whole file.
bool readInt(const QJsonObject &json, const char *key, int *out)
{
    const QJsonValue value = json.value(QLatin1String(key));
    if (!value.isDouble() || value.toDouble() != double(value.toInt()))
        return false;
    *out = value.toInt();
    return true;
}

bool readString(const QJsonObject &json, const char *key, QString *out)
{
    const QJsonValue value = json.value(QLatin1String(key));
    if (!value.isString())
        return false;
    *out = value.toString();
    return true;
}

QJsonObject saToJson(const P::SecurityAssociationParameters &sa)
{
    return {{QStringLiteral("encryptionAlgorithm"), int(sa.encryptionAlgorithm)},
            {QStringLiteral("integrityAlgorithm"), int(sa.integrityAlgorithm)},
            {QStringLiteral("diffieHellmanGroup"), int(sa.diffieHellmanGroup)},
            {QStringLiteral("lifetimeMinutes"), sa.lifetimeMinutes}};
}

bool saFromJson(const QJsonValue &value, P::SecurityAssociationParameters *sa)
{
    if (!value.isObject())
        return false;
    const QJsonObject json = value.toObject();
    int encryption = 0, integrity = 0, group = 0, lifetime = 0;
    if (!readInt(json, "encryptionAlgorithm", &encryption) || encryption < 1 || encryption > 7)
        return false;
    if (!readInt(json, "integrityAlgorithm", &integrity) || integrity < 1 || integrity > 5)
        return false;
    if (!readInt(json, "diffieHellmanGroup", &group)
        || !oneOf(group, {0, 1, 2, 5, 14, 15, 16, 17, 18, 19, 20, 21, 31, 32}))
        return false;
    if (!readInt(json, "lifetimeMinutes", &lifetime) || lifetime <= 0)
        return false;
    sa->encryptionAlgorithm = P::EncryptionAlgorithm(encryption);
    sa->integrityAlgorithm = P::IntegrityAlgorithm(integrity);
    sa->diffieHellmanGroup = P::DiffieHellmanGroup(group);
    sa->lifetimeMinutes = lifetime;
    return true;
}

} // namespace

QJsonObject VPNProtocolIKEv2::toJson() const
{
    return {{QStringLiteral("serverAddress"), serverAddress},
            {QStringLiteral("remoteIdentifier"), remoteIdentifier},
            {QStringLiteral("localIdentifier"), localIdentifier},
            {QStringLiteral("identityReference"), QString::fromLatin1(identityReference.toHex())},
            {QStringLiteral("authenticationMethod"), int(authenticationMethod)},
            {QStringLiteral("deadPeerDetectionRate"), int(deadPeerDetectionRate)},
            {QStringLiteral("disableRedirect"), disableRedirect},
            {QStringLiteral("ikeSecurityAssociationParameters"), saToJson(ikeSecurityAssociationParameters)},
            {QStringLiteral("childSecurityAssociationParameters"),
             saToJson(childSecurityAssociationParameters)}};
}

std::optional<VPNProtocolIKEv2> VPNProtocolIKEv2::fromJson(const QJsonObject &json)
{
    VPNProtocolIKEv2 p;
    QString reference;
    int auth = 0, dpd = 0;
    if (!readString(json, "serverAddress", &p.serverAddress)
        || !readString(json, "remoteIdentifier", &p.remoteIdentifier)
        || !readString(json, "localIdentifier", &p.localIdentifier)
        || !readString(json, "identityReference", &reference))
        return std::nullopt;
    const QByteArray referenceHex = reference.toLatin1();
    p.identityReference = QByteArray::fromHex(referenceHex);
    if (p.identityReference.toHex() != referenceHex.toLower())
        return std::nullopt;
    if (!readInt(json, "authenticationMethod", &auth) || auth < 0 || auth > 2)
        return std::nullopt;
    if (!readInt(json, "deadPeerDetectionRate", &dpd) || dpd < 0 || dpd > 3)
        return std::nullopt;
    const QJsonValue redirect = json.value(QLatin1String("disableRedirect"));
    if (!redirect.isBool())
        return std::nullopt;
    if (!saFromJson(json.value(QLatin1String("ikeSecurityAssociationParameters")),
                    &p.ikeSecurityAssociationParameters)
        || !saFromJson(json.value(QLatin1String("childSecurityAssociationParameters")),
                       &p.childSecurityAssociationParameters))
        return std::nullopt;
    p.authenticationMethod = AuthenticationMethod(auth);
    p.deadPeerDetectionRate = DeadPeerDetectionRate(dpd);
    p.disableRedirect = redirect.toBool();
    return p;
}

} // namespace Orvex
