#pragma once

#include "base/Outcome.h"
#include "platform/VPNProtocolIKEv2.h"
#include "platform/nm/NetworkManagerDBus.h"

#include <functional>
#include <optional>

namespace Orvex {

// The NetworkManager connection profile that holds the saved tunnel
// configuration for strongSwan's plugin (charon-nm).
//
// The plugin's keys (`vpn.data`, all text): `address` (gateway), `method`
// (`cert` with `cert-source=file`, `usercert` and `userkey` as PEM files; the
// plugin refuses PKCS#12), `certificate` (the CA; without it the plugin trusts
// every CA in /etc/ssl/certs), `local-identity`, `remote-identity`,
// `virtual=yes` (ask for an inner address), `proposal=yes` with `ike` and
// `esp` (ignored without the switch), `encap`, `ipcomp`. The plugin has no
// key for dead-peer detection, SA lifetimes or redirects: charon-nm's own
// defaults apply to those.
struct NetworkManagerProfile
{
    // The client identity as files the plugin reads.
    struct IdentityFiles
    {
        QString certificateFile;
        QString privateKeyFile;
    };

    // Each user's own (`uuidFor`): NetworkManager keeps one profile per UUID
    // for the whole machine, and a profile of another user's is out of reach.
    QString uuid;
    QString name;
    // The user the profile belongs to (`connection.permissions`), so that an
    // ordinary user may change it; empty makes a profile of the whole machine.
    QString owner;
    // The CA the gateway's certificate must chain to; empty trusts the
    // system's CAs.
    QString caCertificateFile;

    // The UUID of the profile of user `uid` on the machine `machineId`
    // (/etc/machine-id): a name-based (version 5) UUID of "<machineId>:<uid>".
    static QString uuidFor(const QString &machineId, uint uid);
    // The one UUID earlier versions gave every user's profile.
    static QString legacyUuid();

    // The whole profile for `protocol`: what AddConnection2 creates and
    // Update2 replaces. A configuration without certificate authentication
    // is written with the pre-shared-key method and no key, which nothing can
    // bring up.
    NetworkManager::Settings settings(const VPNProtocolIKEv2 &protocol,
                                      const std::optional<IdentityFiles> &identity) const;

    // How a write ended: the profile's D-Bus path, or why not.
    struct Written
    {
        Outcome<QString> path;
        bool absent = false; // no NetworkManager on the bus
        // Whether polkit refused the change; unset when no change was asked.
        std::optional<bool> refused;
    };
    // Writes `settings` as the profile: replaced whole (Update2) when
    // NetworkManager has one with our UUID, created (AddConnection2)
    // otherwise, so there is never a second copy. Before it is created, a
    // profile an earlier version saved under `legacyUuid()` goes when it is
    // this owner's (another user's stays). Fails when another user holds our
    // UUID. `done` runs from the event loop, while `context` lives.
    void write(const QDBusConnection &bus, QObject *context, const NetworkManager::Settings &settings,
               std::function<void(const Written &written)> done) const;
};

} // namespace Orvex
