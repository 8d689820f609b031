#include "trust/ed25519.h"

#include <QRegularExpression>

#include <sodium.h>

namespace Ed25519 {

namespace {

// sodium_init is idempotent and thread-safe; it fails only when the system
// has no random source, which leaves signing and keys impossible.
bool ready()
{
    return sodium_init() >= 0;
}

const unsigned char *bytes(const QByteArray &array)
{
    return reinterpret_cast<const unsigned char *>(array.constData());
}

} // namespace

KeyPair generate()
{
    KeyPair pair;
    if (!ready())
        return pair;
    pair.publicKey.resize(kPublicKeyBytes);
    pair.secretKey.resize(kSecretKeyBytes);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
                        reinterpret_cast<unsigned char *>(pair.secretKey.data()));
    return pair;
}

QByteArray sign(const QByteArray &message, const QByteArray &secretKey)
{
    if (secretKey.size() != kSecretKeyBytes || !ready())
        return QByteArray();
    QByteArray signature(kSignatureBytes, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr, bytes(message),
                         static_cast<unsigned long long>(message.size()), bytes(secretKey));
    return signature;
}

bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey)
{
    if (signature.size() != kSignatureBytes || publicKey.size() != kPublicKeyBytes || !ready())
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message), static_cast<unsigned long long>(message.size()),
                                       bytes(publicKey))
        == 0;
}

std::optional<QByteArray> decodeBase64(const QByteArray &text, int size)
{
    const QByteArray trimmed = text.trimmed();
    const auto decoded = QByteArray::fromBase64Encoding(trimmed, QByteArray::AbortOnBase64DecodingErrors);
    // Qt accepts a missing padding; only the canonical form is taken, so a
    // key or signature has exactly one spelling.
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != trimmed)
        return std::nullopt;
    return decoded.decoded;
}

std::optional<QVector<QByteArray>> parsePublicKeys(const QString &text)
{
    QVector<QByteArray> keys;
    const QStringList words = text.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        const auto key = decodeBase64(word.toLatin1(), kPublicKeyBytes);
        if (!key)
            return std::nullopt;
        keys.append(*key);
    }
    return keys;
}

} // namespace Ed25519
