#pragma once
// Streaming SHA-256 through the system's implementation: OpenSSL's libcrypto
// elsewhere, CNG (bcrypt) on Windows. Both use the processor's SHA
// instructions where it has them, which makes checking a release's files
// several times faster than a portable implementation.

#include <QByteArray>

#include <memory>

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, int length);
    // The 32-byte digest of everything added; empty when the system could
    // not compute it. Call once.
    QByteArray result();

private:
    struct State;
    std::unique_ptr<State> d;
};
