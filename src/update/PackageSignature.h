#pragma once

#include <QByteArray>
#include <QString>

namespace Orvex {

// Checks an installer package against the detached signature published beside
// it, with the public key the configuration carries (PEM). Ed25519 keys sign the
// file itself; RSA keys sign its SHA-256 digest with PSS padding.
namespace PackageSignature {

// Empty when `signature` is a valid signature of the file at `path` under
// `publicKeyPem`; otherwise why it is not, in a sentence for the user.
QString verify(const QByteArray &publicKeyPem, const QString &path, const QByteArray &signature);

// The most bytes a signature file may have; an RSA signature of 16384 bits is
// 2 KiB, so anything near this is not a signature.
constexpr qint64 maxSignatureSize = qint64(64) * 1024;

} // namespace PackageSignature

} // namespace Orvex
