#pragma once
// Ed25519 keys and detached signatures (libsodium), and the base64 text
// form in which keys and signatures travel in files and settings.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

namespace Ed25519 {

constexpr int kPublicKeyBytes = 32;
constexpr int kSecretKeyBytes = 64;
constexpr int kSignatureBytes = 64;

struct KeyPair
{
    QByteArray publicKey;
    QByteArray secretKey;
};

// A fresh key pair from the system's random source.
KeyPair generate();

// The detached signature of message; empty when secretKey has the wrong size.
QByteArray sign(const QByteArray &message, const QByteArray &secretKey);

// True when signature is a valid signature of message by publicKey.
bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

// Strict base64 (blanks and one line end around it allowed) of exactly
// size bytes; nothing for anything else.
std::optional<QByteArray> decodeBase64(const QByteArray &text, int size);

// One or more base64 public keys separated by blanks or commas; nothing
// when any of them is not a key, an empty list for an empty text.
std::optional<QVector<QByteArray>> parsePublicKeys(const QString &text);

} // namespace Ed25519
