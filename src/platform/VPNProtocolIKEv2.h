#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace Orvex {

// The IKEv2 settings of the saved tunnel configuration. The enumerations keep
// the raw values the configuration has always been described with, so a saved
// file stays readable across versions.
class VPNProtocolIKEv2
{
public:
    enum class AuthenticationMethod { None = 0, Certificate = 1, SharedSecret = 2 };
    enum class EncryptionAlgorithm {
        DES = 1,
        TripleDES = 2,
        AES128 = 3,
        AES256 = 4,
        AES128GCM = 5,
        AES256GCM = 6,
        ChaCha20Poly1305 = 7,
    };
    enum class IntegrityAlgorithm { SHA96 = 1, SHA160 = 2, SHA256 = 3, SHA384 = 4, SHA512 = 5 };
    enum class DiffieHellmanGroup {
        Invalid = 0,
        Group1 = 1,
        Group2 = 2,
        Group5 = 5,
        Group14 = 14,
        Group15 = 15,
        Group16 = 16,
        Group17 = 17,
        Group18 = 18,
        Group19 = 19,
        Group20 = 20,
        Group21 = 21,
        Group31 = 31,
        Group32 = 32,
    };
    enum class DeadPeerDetectionRate { None = 0, Low = 1, Medium = 2, High = 3 };

    struct SecurityAssociationParameters
    {
        EncryptionAlgorithm encryptionAlgorithm = EncryptionAlgorithm::AES256;
        IntegrityAlgorithm integrityAlgorithm = IntegrityAlgorithm::SHA256;
        DiffieHellmanGroup diffieHellmanGroup = DiffieHellmanGroup::Group14;
        qint32 lifetimeMinutes = 1440;

        bool operator==(const SecurityAssociationParameters &) const = default;
    };

    QString serverAddress;
    QString remoteIdentifier;
    QString localIdentifier;
    // Persistent reference of the client identity in the key store; empty when
    // there is none.
    QByteArray identityReference;
    AuthenticationMethod authenticationMethod = AuthenticationMethod::None;
    DeadPeerDetectionRate deadPeerDetectionRate = DeadPeerDetectionRate::Medium;
    bool disableRedirect = false;
    SecurityAssociationParameters ikeSecurityAssociationParameters;
    SecurityAssociationParameters childSecurityAssociationParameters;

    bool operator==(const VPNProtocolIKEv2 &) const = default;

    QJsonObject toJson() const;
    // Absent when a member is missing, of the wrong type or out of range.
    static std::optional<VPNProtocolIKEv2> fromJson(const QJsonObject &json);
};

} // namespace Orvex
