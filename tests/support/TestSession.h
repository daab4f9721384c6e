#pragma once

// The process's session for a test: over the real defaults store, key store
// and account file in a fresh temporary folder of its own (so a new one starts
// signed out, with nothing saved), with the password in memory, and a network
// service of its own. Both read `config` (the built-in defaults until the
// test changes it, before it sends anything).
// Its `context` is what the test's windows and screens are made from, as
// AppWiring's is in the client (a test speeds up their pauses on its
// `pace`); the screens' tunnel service
// is `tunnel` when the test sets one, else one of the session's own on a fake
// backend, made when first asked for.

#include "session/Session.h"
#include "api/NetworkService.h"
#include "app/Scenes.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "session/UserFiles.h"
#include "ui/AppStoryboard.h"
#include "vpn/VPNService.h"

#include "FakeVPNBackend.h"
#include "MemorySecretStore.h"
#include "TestPkcs12.h"

#include <QTemporaryDir>

struct TestSession
{
    QTemporaryDir folder;
    Orvex::UserFiles files = Orvex::UserFiles::under(folder.path());
    Orvex::Config config = Orvex::Config::parse({}, {}).value();
    MemorySecretStore secrets;
    Orvex::UserDefaults defaults{files.defaults};
    Orvex::IdentityStore identities{files.identities};
    Orvex::Session session{secrets, defaults, identities, files.account, config};
    Orvex::NetworkService network{config};
    Orvex::VPNService *tunnel = nullptr;
    std::unique_ptr<Orvex::VPNManager> ownManager;
    std::unique_ptr<Orvex::VPNService> ownTunnel;
    Orvex::SceneTable scenes = Orvex::makeScenes([this]() -> Orvex::VPNService & {
        if (tunnel)
            return *tunnel;
        if (!ownTunnel) {
            ownManager = std::make_unique<Orvex::VPNManager>(std::make_unique<Orvex::FakeVPNBackend>(),
                                                             files.tunnelConfiguration);
            ownTunnel = std::make_unique<Orvex::VPNService>(ownManager.get(), session, config);
        }
        return *ownTunnel;
    });
    Orvex::AppContext context{config, session.defaults(), network, session, scenes, {}};

    TestSession() = default;
    TestSession(const TestSession &) = delete;

    // Gives the session an identity of its own, valid for `days` from now, as
    // a fetched certificate is kept; false when that fails.
    bool keepIdentity(const char *name = "client", long days = 30)
    {
        const QString passphrase = config.pkcs12Passphrase;
        const auto identity = identities.importSingleIdentity(
            TestPkcs12::makeIdentityArchive(TestPkcs12::makeCredential(name, false, days), passphrase),
            passphrase);
        return identity && session.replaceIdentity(identity->reference);
    }
    TestSession &operator=(const TestSession &) = delete;
};
