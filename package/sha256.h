#pragma once

#include <QByteArray>

#include <memory>

// SHA-256 of data given in pieces. Linux uses libcrypto (several times the
// speed of QCryptographicHash, with the CPU's SHA instructions); Windows,
// which has no libcrypto here, uses QCryptographicHash.
class Sha256 final
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // False when the digest cannot be computed; it then stays failed.
    bool update(const char *data, qint64 size);
    // 64 lowercase hex digits; empty after a failure. Ends the digest.
    QByteArray hexDigest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};
