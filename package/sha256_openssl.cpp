#include "package/sha256.h"

#include <openssl/evp.h>

struct Sha256::State
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    bool ok = false;
};

Sha256::Sha256() : m_state(new State)
{
    m_state->ok = m_state->context && EVP_DigestInit_ex(m_state->context.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

bool Sha256::update(const char *data, qint64 size)
{
    m_state->ok =
        m_state->ok && EVP_DigestUpdate(m_state->context.get(), data, static_cast<size_t>(size)) == 1;
    return m_state->ok;
}

QByteArray Sha256::hexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!m_state->ok || EVP_DigestFinal_ex(m_state->context.get(), digest, &length) != 1) {
        m_state->ok = false;
        return QByteArray();
    }
    m_state->ok = false; // finished
    return QByteArray(reinterpret_cast<const char *>(digest), static_cast<int>(length)).toHex();
}
