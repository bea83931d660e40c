#include "package/sha256.h"

#include <QCryptographicHash>

#include <algorithm>

struct Sha256::State
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
    bool ok = true;
};

Sha256::Sha256() : m_state(new State) {}

Sha256::~Sha256() = default;

bool Sha256::update(const char *data, qint64 size)
{
    // addData takes an int length: large pieces go in parts.
    while (m_state->ok && size > 0) {
        const int piece = static_cast<int>(std::min<qint64>(size, 1 << 30));
        m_state->hash.addData(data, piece);
        data += piece;
        size -= piece;
    }
    return m_state->ok;
}

QByteArray Sha256::hexDigest()
{
    if (!m_state->ok)
        return QByteArray();
    m_state->ok = false; // finished
    return m_state->hash.result().toHex();
}
