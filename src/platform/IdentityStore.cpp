#include "IdentityStore.h"

#include "platform/SecureFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace Orvex {

namespace {

const QLatin1String certificateFile("certificate.pem");
const QLatin1String privateKeyFile("private-key.pem");
const QLatin1String accessListFile("access-list.json");
const QLatin1String useAuthorization("use");

struct OpenSslFree
{
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(BIO *p) const { BIO_free(p); }
    void operator()(PKCS8_PRIV_KEY_INFO *p) const { PKCS8_PRIV_KEY_INFO_free(p); }
    void operator()(PBEPARAM *p) const { PBEPARAM_free(p); }
    void operator()(PBE2PARAM *p) const { PBE2PARAM_free(p); }
    void operator()(PBKDF2PARAM *p) const { PBKDF2PARAM_free(p); }
    void operator()(STACK_OF(PKCS7) * p) const { sk_PKCS7_pop_free(p, PKCS7_free); }
    void operator()(STACK_OF(PKCS12_SAFEBAG) * p) const
    {
        sk_PKCS12_SAFEBAG_pop_free(p, PKCS12_SAFEBAG_free);
    }
};

template<typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// Archives made by older tools protect their certificates with
// RC2-40, which OpenSSL 3 only offers through its legacy provider. Loading
// it keeps the default provider available for everything else.
void loadLegacyAlgorithms()
{
    static const bool loaded = OSSL_PROVIDER_try_load(nullptr, "legacy", 1) != nullptr;
    Q_UNUSED(loaded);
}

QByteArray certificateDer(X509 *cert)
{
    unsigned char *buffer = nullptr;
    const int length = i2d_X509(cert, &buffer);
    if (length <= 0)
        return {};
    QByteArray der(reinterpret_cast<const char *>(buffer), length);
    OPENSSL_free(buffer);
    return der;
}

QByteArray privateKeyDer(EVP_PKEY *key)
{
    Owned<PKCS8_PRIV_KEY_INFO> info(EVP_PKEY2PKCS8(key));
    if (!info)
        return {};
    unsigned char *buffer = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &buffer);
    if (length <= 0)
        return {};
    QByteArray der(reinterpret_cast<const char *>(buffer), length);
    OPENSSL_clear_free(buffer, size_t(length));
    return der;
}

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? QByteArray(data, length) : QByteArray();
}

QByteArray certificatePem(X509 *cert)
{
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
        return {};
    return bioContents(bio.get());
}

QByteArray privateKeyPem(EVP_PKEY *key)
{
    // A secure memory BIO so the key text is wiped when it is freed.
    Owned<BIO> bio(BIO_new(BIO_s_secmem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    return bioContents(bio.get());
}

Owned<X509> readCertificate(const QByteArray &pem)
{
    Owned<BIO> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return Owned<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Owned<EVP_PKEY> readPrivateKey(const QByteArray &pem)
{
    Owned<BIO> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    // An empty passphrase callback result: an encrypted key is refused rather
    // than prompting on the terminal.
    auto noPassphrase = [](char *, int, int, void *) { return 0; };
    return Owned<EVP_PKEY>(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr);
}

bool keyMatches(X509 *cert, EVP_PKEY *key)
{
    return X509_check_private_key(cert, key) == 1;
}

QByteArray sha1(const QByteArray &der)
{
    return QCryptographicHash::hash(der, QCryptographicHash::Sha1);
}

// One certificate or private key found in the archive, in bag order.
struct Bag
{
    Owned<X509> certificate;
    Owned<EVP_PKEY> key;
    QByteArray localKeyId;
};

// A certificate with the key that belongs to it, as far as the archive has them.
struct Item
{
    X509 *certificate = nullptr;
    EVP_PKEY *key = nullptr;
    QByteArray localKeyId;
};

// Key-derivation rounds one archive may ask for, in total: its MAC and every
// encrypted safe and key name their own count, and OpenSSL runs whatever they
// say on the thread that imports. Real archives ask for a few thousand per
// item (2048 is OpenSSL's default); one asking for 2^31 would hold the main
// thread for many minutes.
constexpr long maxDerivationRounds = 1000000;

// The rounds a password-based encryption algorithm asks for: PKCS#12's own
// PBE schemes or PBES2 with PBKDF2. Absent for anything else (scrypt, unknown
// schemes), which no archive of ours uses.
std::optional<long> derivationRounds(const X509_ALGOR *algorithm)
{
    const ASN1_TYPE *parameter = algorithm->parameter;
    if (!parameter || parameter->type != V_ASN1_SEQUENCE)
        return std::nullopt;
    const ASN1_INTEGER *iterations = nullptr;
    Owned<PBEPARAM> pbe;
    Owned<PBE2PARAM> pbes2;
    Owned<PBKDF2PARAM> pbkdf2;
    if (OBJ_obj2nid(algorithm->algorithm) == NID_pbes2) {
        pbes2.reset(static_cast<PBE2PARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), parameter)));
        if (!pbes2 || !pbes2->keyfunc || OBJ_obj2nid(pbes2->keyfunc->algorithm) != NID_id_pbkdf2
            || !pbes2->keyfunc->parameter)
            return std::nullopt;
        pbkdf2.reset(static_cast<PBKDF2PARAM *>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter)));
        if (!pbkdf2)
            return std::nullopt;
        iterations = pbkdf2->iter;
    } else {
        pbe.reset(static_cast<PBEPARAM *>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), parameter)));
        if (!pbe)
            return std::nullopt;
        iterations = pbe->iter;
    }
    const long rounds = iterations ? ASN1_INTEGER_get(iterations) : 1;
    if (rounds < 1)
        return std::nullopt;
    return rounds;
}

class Pkcs12Reader
{
public:
    Pkcs12Reader(const QByteArray &archive, const QString &passphrase)
        : m_archive(archive)
        , m_passphrase(passphrase.toUtf8())
    {}
    ~Pkcs12Reader() { OPENSSL_cleanse(m_passphrase.data(), size_t(m_passphrase.size())); }

    // All certificate and key bags in order; false when the archive does not
    // open with the passphrase.
    bool read()
    {
        const auto *bytes = reinterpret_cast<const unsigned char *>(m_archive.constData());
        Owned<PKCS12> p12(d2i_PKCS12(nullptr, &bytes, long(m_archive.size())));
        if (!p12)
            return false;
        if (!choosePassphrase(p12.get()))
            return false;
        Owned<STACK_OF(PKCS7)> safes(PKCS12_unpack_authsafes(p12.get()));
        if (!safes)
            return false;
        for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
            PKCS7 *safe = sk_PKCS7_value(safes.get(), i);
            Owned<STACK_OF(PKCS12_SAFEBAG)> bags;
            switch (OBJ_obj2nid(safe->type)) {
            case NID_pkcs7_data:
                bags.reset(PKCS12_unpack_p7data(safe));
                break;
            case NID_pkcs7_encrypted:
                if (!safe->d.encrypted || !safe->d.encrypted->enc_data
                    || !spend(safe->d.encrypted->enc_data->algorithm))
                    return false;
                bags.reset(PKCS12_unpack_p7encdata(safe, m_pass, m_passLength));
                break;
            default:
                continue; // enveloped (public-key) safes are not for us
            }
            if (!bags || !readBags(bags.get(), 0))
                return false;
        }
        return true;
    }

    std::vector<Bag> &bags() { return m_bags; }

private:
    // Charges the rounds `algorithm` asks for; false when they are unreadable
    // or the archive has asked for too many.
    bool spend(const X509_ALGOR *algorithm)
    {
        const std::optional<long> rounds = algorithm ? derivationRounds(algorithm) : std::nullopt;
        return rounds && spend(*rounds);
    }
    bool spend(long rounds)
    {
        if (rounds > maxDerivationRounds - m_roundsSpent)
            return false;
        m_roundsSpent += rounds;
        return true;
    }

    bool choosePassphrase(PKCS12 *p12)
    {
        m_pass = m_passphrase.constData();
        m_passLength = int(m_passphrase.size());
        if (!PKCS12_mac_present(p12))
            return true; // decryption will tell
        const ASN1_INTEGER *macRounds = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &macRounds, p12);
        const long rounds = macRounds ? ASN1_INTEGER_get(macRounds) : 1;
        // A second try with no passphrase costs the same again.
        if (rounds < 1 || rounds > maxDerivationRounds || !spend(m_passphrase.isEmpty() ? 2 * rounds : rounds))
            return false;
        if (PKCS12_verify_mac(p12, m_pass, m_passLength) == 1)
            return true;
        // Some writers encode an empty passphrase as none at all.
        if (m_passphrase.isEmpty() && PKCS12_verify_mac(p12, nullptr, 0) == 1) {
            m_pass = nullptr;
            return true;
        }
        return false;
    }

    bool readBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth)
    {
        if (depth > 8)
            return false;
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
            Bag found;
            found.localKeyId = localKeyId(bag);
            switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_keyBag:
                found.key.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
                if (!found.key)
                    return false;
                break;
            case NID_pkcs8ShroudedKeyBag: {
                const X509_ALGOR *algorithm = nullptr;
                if (const X509_SIG *sealed = PKCS12_SAFEBAG_get0_pkcs8(bag))
                    X509_SIG_get0(sealed, &algorithm, nullptr);
                if (!spend(algorithm))
                    return false;
                Owned<PKCS8_PRIV_KEY_INFO> info(PKCS12_decrypt_skey(bag, m_pass, m_passLength));
                if (!info)
                    return false;
                found.key.reset(EVP_PKCS82PKEY(info.get()));
                if (!found.key)
                    return false;
                break;
            }
            case NID_certBag:
                if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate)
                    continue;
                found.certificate.reset(PKCS12_SAFEBAG_get1_cert(bag));
                if (!found.certificate)
                    return false;
                break;
            case NID_safeContentsBag:
                if (!readBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1))
                    return false;
                continue;
            default:
                continue; // CRLs, secrets: not part of an identity
            }
            m_bags.push_back(std::move(found));
        }
        return true;
    }

    static QByteArray localKeyId(const PKCS12_SAFEBAG *bag)
    {
        const ASN1_TYPE *id = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
        if (!id || id->type != V_ASN1_OCTET_STRING)
            return {};
        const ASN1_OCTET_STRING *value = id->value.octet_string;
        return QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)),
                          ASN1_STRING_length(value));
    }

    const QByteArray &m_archive;
    QByteArray m_passphrase;
    const char *m_pass = nullptr;
    int m_passLength = 0;
    long m_roundsSpent = 0;
    std::vector<Bag> m_bags;
};

// The first item of the archive: the first bag, joined by the first later bag
// of the other kind that carries the same local key id or, when either has
// none, whose key fits the certificate. Bags are grouped into items in the
// order their first bag appears, each bag joining the first item with a free
// slot that it matches; a bag that joins another item never changes the first
// one, so trying each bag on the first item alone gives the same item while
// keeping an archive of thousands of stray bags linear.
std::optional<Item> firstItemOf(std::vector<Bag> &bags)
{
    if (bags.empty())
        return std::nullopt;
    Item first;
    auto join = [&first](Bag &bag) {
        if (bag.certificate)
            first.certificate = bag.certificate.get();
        else
            first.key = bag.key.get();
        if (first.localKeyId.isEmpty())
            first.localKeyId = bag.localKeyId;
    };
    join(bags.front());
    for (auto bag = bags.begin() + 1; bag != bags.end() && !(first.certificate && first.key); ++bag) {
        const bool slotFree = bag->certificate ? !first.certificate : !first.key;
        if (!slotFree)
            continue;
        const bool sameId = !bag->localKeyId.isEmpty() && bag->localKeyId == first.localKeyId;
        const bool anonymous = bag->localKeyId.isEmpty() || first.localKeyId.isEmpty();
        const bool fits = anonymous
                          && (bag->certificate ? keyMatches(bag->certificate.get(), first.key)
                                               : keyMatches(first.certificate, bag->key.get()));
        if (sameId || fits)
            join(*bag);
    }
    return first;
}

QJsonArray toJson(const QList<IdentityStore::AccessEntry> &entries)
{
    QJsonArray list;
    for (const IdentityStore::AccessEntry &entry : entries) {
        list.append(
            QJsonObject{{QStringLiteral("authorization"), entry.authorization},
                        {QStringLiteral("applications"), QJsonArray::fromStringList(entry.applications)}});
    }
    return list;
}

std::optional<QList<IdentityStore::AccessEntry>> accessListFromJson(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<IdentityStore::AccessEntry> entries;
    for (const QJsonArray array = document.array(); const auto &value : array) {
        if (!value.isObject())
            return std::nullopt;
        const QJsonObject object = value.toObject();
        const QJsonValue authorization = object.value(QStringLiteral("authorization"));
        const QJsonValue applications = object.value(QStringLiteral("applications"));
        if (!authorization.isString() || !applications.isArray())
            return std::nullopt;
        IdentityStore::AccessEntry entry{authorization.toString(), {}};
        for (const QJsonArray list = applications.toArray(); const auto &application : list) {
            if (!application.isString())
                return std::nullopt;
            entry.applications.append(application.toString());
        }
        entries.append(entry);
    }
    return entries;
}

QString uniqueSibling(const QString &directory, const QLatin1String &prefix)
{
    return directory + u'/' + prefix + QString::number(QRandomGenerator::global()->generate64(), 36);
}

bool makeFolder0700(const QString &path)
{
    return ::mkdir(QFile::encodeName(path).constData(), 0700) == 0
           && ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

// Renames the folder out of the way first, so a half-deleted identity is never
// seen under its name.
bool removeFolder(const QString &directory, const QString &folder)
{
    const QString trash = uniqueSibling(directory, QLatin1String(".removed-"));
    if (!QDir().rename(folder, trash))
        return false;
    QDir(trash).removeRecursively();
    return true;
}

} // namespace

QString IdentityStore::clientApplication()
{
    return QStringLiteral("orvex");
}

QString IdentityStore::standardDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QLatin1String("/orvex/identities");
}

IdentityStore::IdentityStore(const QString &directory)
    : m_directory(QDir::cleanPath(QDir(directory).absolutePath()))
{}

QString IdentityStore::identityFolder(const QByteArray &reference) const
{
    if (reference.size() != 20)
        return {};
    return m_directory + u'/' + QString::fromLatin1(reference.toHex());
}

std::optional<IdentityStore::Identity> IdentityStore::importSingleIdentity(const QByteArray &archive,
                                                                           const QString &passphrase)
{
    loadLegacyAlgorithms();
    Pkcs12Reader reader(archive, passphrase);
    if (!reader.read())
        return std::nullopt;
    if (std::count_if(reader.bags().begin(), reader.bags().end(),
                      [](const Bag &bag) { return bag.key != nullptr; })
        != 1)
        return std::nullopt;
    const std::optional<Item> item = firstItemOf(reader.bags());
    if (!item)
        return std::nullopt;
    const Item &first = *item;
    if (!first.certificate || !first.key || !keyMatches(first.certificate, first.key))
        return std::nullopt;

    const QByteArray der = certificateDer(first.certificate);
    if (der.isEmpty())
        return std::nullopt;
    const Identity identity{sha1(der)};
    const QString folder = identityFolder(identity.reference);

    // Already stored and intact: keep it, and with it the access list that the
    // tunnel backend may have extended.
    std::optional<QList<AccessEntry>> access = accessList(identity.reference);
    if (access && resolve(identity.reference))
        return identity;

    if (!SecureFile::makePrivateDirectory(m_directory).isSuccess())
        return std::nullopt;
    const QString staging = uniqueSibling(m_directory, QLatin1String(".import-"));
    if (!makeFolder0700(staging))
        return std::nullopt;
    QByteArray keyPem = privateKeyPem(first.key);
    const bool written = !keyPem.isEmpty()
                         && SecureFile::writeAtomically(staging + u'/' + certificateFile,
                                                        certificatePem(first.certificate))
                         && SecureFile::writeAtomically(staging + u'/' + privateKeyFile, keyPem)
                         && writeAccessList(staging, access.value_or(QList<AccessEntry>{
                                                         {useAuthorization, {clientApplication()}}}));
    OPENSSL_cleanse(keyPem.data(), size_t(keyPem.size()));
    if (!written) {
        QDir(staging).removeRecursively();
        return std::nullopt;
    }
    // A damaged copy under the same name is replaced whole.
    if (QFileInfo::exists(folder) && !removeFolder(m_directory, folder)) {
        QDir(staging).removeRecursively();
        return std::nullopt;
    }
    if (!QDir().rename(staging, folder)) {
        QDir(staging).removeRecursively();
        // Another import may have put the same identity in place meanwhile.
        return resolve(identity.reference) ? std::optional<Identity>(identity) : std::nullopt;
    }
    return identity;
}

std::optional<QByteArray> IdentityStore::persistentReference(const Identity &identity) const
{
    const QString folder = identityFolder(identity.reference);
    if (folder.isEmpty() || !QFileInfo::exists(folder + u'/' + certificateFile)
        || !QFileInfo::exists(folder + u'/' + privateKeyFile))
        return std::nullopt;
    return identity.reference;
}

std::optional<IdentityStore::Material> IdentityStore::resolve(const QByteArray &reference) const
{
    const QString folder = identityFolder(reference);
    if (folder.isEmpty())
        return std::nullopt;
    Material material;
    material.certificatePath = folder + u'/' + certificateFile;
    material.privateKeyPath = folder + u'/' + privateKeyFile;

    // A file that cannot be read is as good as a missing one here: either way
    // there is no identity to use.
    const std::optional<QByteArray> certPem = SecureFile::read(material.certificatePath).valueOr(std::nullopt);
    std::optional<QByteArray> keyPem = SecureFile::read(material.privateKeyPath).valueOr(std::nullopt);
    if (!certPem || !keyPem)
        return std::nullopt;
    const Owned<X509> cert = readCertificate(*certPem);
    const Owned<EVP_PKEY> key = readPrivateKey(*keyPem);
    OPENSSL_cleanse(keyPem->data(), size_t(keyPem->size()));
    if (!cert || !key || !keyMatches(cert.get(), key.get()))
        return std::nullopt;
    material.certificateDer = certificateDer(cert.get());
    if (sha1(material.certificateDer) != reference)
        return std::nullopt;
    material.privateKeyDer = privateKeyDer(key.get());
    if (material.privateKeyDer.isEmpty())
        return std::nullopt;
    switch (EVP_PKEY_get_base_id(key.get())) {
    case EVP_PKEY_RSA:
        material.keyType = QStringLiteral("rsa");
        break;
    case EVP_PKEY_EC:
        material.keyType = QStringLiteral("ecdsa");
        break;
    default:
        material.keyType = QStringLiteral("any");
    }
    return material;
}

std::optional<IdentityStore::Validity> IdentityStore::validity(const QByteArray &reference) const
{
    const QString folder = identityFolder(reference);
    if (folder.isEmpty())
        return std::nullopt;
    // Unreadable or missing, the certificate has no validity to show.
    const std::optional<QByteArray> pem = SecureFile::read(folder + u'/' + certificateFile)
                                              .valueOr(std::nullopt);
    Owned<X509> cert;
    if (pem)
        cert = readCertificate(*pem);
    if (!cert)
        return std::nullopt;
    auto toDateTime = [](const ASN1_TIME *time) -> QDateTime {
        struct tm when = {};
        if (!time || ASN1_TIME_to_tm(time, &when) != 1)
            return {};
        // The instant, then shown in UTC: the time-spec constructors are
        // deprecated from Qt 6.9 on, and QTimeZone::utc() is newer than 6.4.
        return QDateTime::fromSecsSinceEpoch(qint64(::timegm(&when))).toUTC();
    };
    Validity validity{toDateTime(X509_get0_notBefore(cert.get())), toDateTime(X509_get0_notAfter(cert.get()))};
    if (!validity.notBefore.isValid() || !validity.notAfter.isValid())
        return std::nullopt;
    return validity;
}

QList<QByteArray> IdentityStore::references() const
{
    QList<QByteArray> found;
    const QStringList names = QDir(m_directory).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QByteArray reference = QByteArray::fromHex(name.toLatin1());
        if (reference.size() == 20 && identityFolder(reference) == m_directory + u'/' + name)
            found.append(reference);
    }
    return found;
}

bool IdentityStore::remove(const Identity &identity)
{
    const QString folder = identityFolder(identity.reference);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return false;
    return removeFolder(m_directory, folder);
}

std::optional<QList<IdentityStore::AccessEntry>> IdentityStore::accessList(const QByteArray &reference) const
{
    const QString folder = identityFolder(reference);
    if (folder.isEmpty())
        return std::nullopt;
    // An unreadable list grants nothing, like a missing one.
    const std::optional<QByteArray> json = SecureFile::read(folder + u'/' + accessListFile)
                                               .valueOr(std::nullopt);
    return json ? accessListFromJson(*json) : std::nullopt;
}

bool IdentityStore::grantAccess(const QByteArray &reference, const QString &application)
{
    if (application.isEmpty() || !resolve(reference))
        return false;
    QList<AccessEntry> entries = accessList(reference).value_or(QList<AccessEntry>{});
    auto use = std::find_if(entries.begin(), entries.end(),
                            [](const AccessEntry &entry) { return entry.authorization == useAuthorization; });
    if (use == entries.end()) {
        entries.append({useAuthorization, {clientApplication()}});
        use = entries.end() - 1;
    }
    if (use->applications.contains(application))
        return true;
    use->applications.append(application);
    return writeAccessList(identityFolder(reference), entries);
}

bool IdentityStore::writeAccessList(const QString &folder, const QList<AccessEntry> &entries) const
{
    return SecureFile::writeAtomically(folder + u'/' + accessListFile,
                                       QJsonDocument(toJson(entries)).toJson());
}

} // namespace Orvex
