#pragma once

// The process's session for a test: over the real defaults store, key store
// and account file in the test's private folders, with the password in memory.
// Installed as Session::shared() for as long as it lives, so screens and
// handlers made without an explicit session use it. Make it before the first
// VPNService::shared().

#include "account/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"

#include "MemorySecretStore.h"
#include "TestPkcs12.h"

struct TestSession
{
    MemorySecretStore secrets;
    Orvex::Session session{secrets, Orvex::UserDefaults::standard(), Orvex::IdentityStore::standard(),
                           Orvex::Session::standardAccountFile()};

    TestSession() { Orvex::Session::setShared(&session); }
    ~TestSession() { Orvex::Session::setShared(nullptr); }
    TestSession(const TestSession &) = delete;

    // Gives the session an identity of its own, valid for `days` from now, as
    // a fetched certificate is kept; false when that fails.
    bool keepIdentity(const char *name = "client", long days = 30)
    {
        const QString passphrase = Orvex::Config::current().pkcs12Passphrase;
        const auto identity = Orvex::IdentityStore::standard().importSingleIdentity(
            TestPkcs12::makeIdentityArchive(TestPkcs12::makeCredential(name, false, days), passphrase),
            passphrase);
        return identity && session.replaceIdentity(identity->reference);
    }
    TestSession &operator=(const TestSession &) = delete;
};
