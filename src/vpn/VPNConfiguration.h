#pragma once

#include "platform/VPNProtocolIKEv2.h"

#include <QString>

namespace Orvex {

struct Config;

// The tunnel settings `VPNService` writes into the saved configuration.
struct VPNConfiguration
{
    using IKEv2 = VPNProtocolIKEv2;

    // The gateway host of `config`.
    static VPNConfiguration defaults(const Config &config);

    QString hostname; // IKE server address and remote identifier
    IKEv2::AuthenticationMethod authMethod = IKEv2::AuthenticationMethod::Certificate;
    IKEv2::EncryptionAlgorithm encryption = IKEv2::EncryptionAlgorithm::AES128;
    IKEv2::IntegrityAlgorithm integrity = IKEv2::IntegrityAlgorithm::SHA96;
    IKEv2::DiffieHellmanGroup hellmanGroup = IKEv2::DiffieHellmanGroup::Group14;
    IKEv2::DeadPeerDetectionRate deadPeerDetectionRate = IKEv2::DeadPeerDetectionRate::Medium;
    bool disableRedirect = true;
    qint32 lifetimeMinutes = 1440;
    bool isOnDemandEnabled = true;
};

} // namespace Orvex
