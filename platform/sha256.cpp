#include "platform/sha256.h"

#ifdef Q_OS_WIN
#include <windows.h>

#include <bcrypt.h>

struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

Sha256::Sha256()
    : d(new State)
{
    d->ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&d->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
        && BCRYPT_SUCCESS(BCryptCreateHash(d->algorithm, &d->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256()
{
    if (d->hash)
        BCryptDestroyHash(d->hash);
    if (d->algorithm)
        BCryptCloseAlgorithmProvider(d->algorithm, 0);
}

void Sha256::addData(const char *data, int length)
{
    d->ok = d->ok
        && BCRYPT_SUCCESS(BCryptHashData(d->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)),
                                         static_cast<ULONG>(length), 0));
}

QByteArray Sha256::result()
{
    QByteArray digest(32, '\0');
    d->ok = d->ok && BCRYPT_SUCCESS(BCryptFinishHash(d->hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0));
    return d->ok ? digest : QByteArray();
}

#else
#include <openssl/evp.h>

struct Sha256::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = false;
};

Sha256::Sha256()
    : d(new State)
{
    d->ok = d->context && EVP_DigestInit_ex(d->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(d->context);
}

void Sha256::addData(const char *data, int length)
{
    d->ok = d->ok && EVP_DigestUpdate(d->context, data, static_cast<size_t>(length)) == 1;
}

QByteArray Sha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int size = 0;
    d->ok = d->ok && EVP_DigestFinal_ex(d->context, reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    digest.resize(static_cast<int>(size));
    return d->ok && size == 32 ? digest : QByteArray();
}
#endif
