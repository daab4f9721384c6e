// A certificate archive as getCert might answer it: imported into a private
// key store with the configured passphrase. What imports must resolve to a
// certificate and the private key that belongs to it.

#include "config/Config.h"
#include "platform/IdentityStore.h"

#include <QDir>
#include <QTemporaryDir>

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

namespace {

QTemporaryDir *folder;
IdentityStore *store;
QString passphrase;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // OpenSSL's clean-up at exit unloads the legacy provider's module, after
    // which the leak check finds the provider's memory unreachable. Keeping
    // OpenSSL alive to the end leaves only real leaks to report.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    folder = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orvex-fuzz-pkcs12-XXXXXX"));
    store = new IdentityStore(folder->filePath(QStringLiteral("identities")));
    passphrase = Config::parse({}, {}).value().pkcs12Passphrase;
    // The first import loads OpenSSL's legacy provider once for the process;
    // do it here so it is not taken for a leak of the first input.
    store->importSingleIdentity({}, passphrase);
    std::atexit([] {
        delete store;
        delete folder;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray archive(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto identity = store->importSingleIdentity(archive, passphrase);
    if (!identity)
        return 0;
    const auto material = store->resolve(identity->reference);
    if (!material || material->certificateDer.isEmpty() || material->privateKeyDer.isEmpty())
        std::abort();
    if (!store->remove(*identity))
        std::abort();
    return 0;
}
