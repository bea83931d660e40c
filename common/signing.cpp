#include "common/signing.h"

#include "platform/fileops.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef QUOR_HAVE_SODIUM
#include <sodium.h>
#endif

namespace Signing {

namespace {

constexpr int kKeyIdBytes = 8;
constexpr int kKeyBytes = 32;
constexpr int kSignatureBytes = 64;
constexpr int kDigestBytes = 64;
constexpr qint64 kMaxSignatureFileBytes = 16 * 1024; // minisign's comments are far below this
constexpr qint64 kMaxKeyFileBytes = 4096;

const QByteArray kUntrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray kTrustedPrefix = QByteArrayLiteral("trusted comment: ");
const QByteArray kAlgorithm = QByteArrayLiteral("Ed");       // public keys and legacy signatures
const QByteArray kAlgorithmHashed = QByteArrayLiteral("ED"); // prehashed signatures

// Strict base64: only the canonical encoding of `size` bytes is accepted.
bool decodeBase64(const QByteArray &text, int size, QByteArray *out)
{
    const QByteArray bytes = QByteArray::fromBase64(text);
    if (bytes.size() != size || bytes.toBase64() != text)
        return false;
    *out = bytes;
    return true;
}

QList<QByteArray> textLines(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    return lines;
}

bool readSmallFile(const QString &path, qint64 maxBytes, QByteArray *text, QString *error)
{
    QFile file;
    if (!FileOps::openRegularFile(file, path, QIODevice::ReadOnly, error))
        return false;
    *text = file.read(maxBytes + 1);
    if (text->size() > maxBytes) {
        *error = QStringLiteral("larger than %1 bytes").arg(maxBytes);
        return false;
    }
    return true;
}

bool verify(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
#ifdef QUOR_HAVE_SODIUM
    return available() &&
           crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                       reinterpret_cast<const unsigned char *>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.constData())) == 0;
#else
    Q_UNUSED(signature)
    Q_UNUSED(message)
    Q_UNUSED(key)
    return false;
#endif
}

} // namespace

bool available()
{
#ifdef QUOR_HAVE_SODIUM
    static const bool ready = sodium_init() >= 0;
    return ready;
#else
    return false;
#endif
}

QString keyIdText(const QByteArray &keyId)
{
    QByteArray reversed; // minisign shows the id as a little-endian number
    for (int i = keyId.size() - 1; i >= 0; --i)
        reversed += keyId.at(i);
    return QString::fromLatin1(reversed.toHex().toUpper());
}

bool parsePublicKey(const QByteArray &text, PublicKey *key, QString *error)
{
    QList<QByteArray> lines = textLines(text.trimmed());
    if (lines.size() == 2 && lines.first().startsWith(kUntrustedPrefix))
        lines.removeFirst();
    QByteArray raw;
    if (lines.size() != 1 || !decodeBase64(lines.first().trimmed(), 2 + kKeyIdBytes + kKeyBytes, &raw)) {
        *error = QStringLiteral("not a minisign public key");
        return false;
    }
    if (!raw.startsWith(kAlgorithm)) {
        *error = QStringLiteral("not an Ed25519 key");
        return false;
    }
    key->keyId = raw.mid(2, kKeyIdBytes);
    key->key = raw.mid(2 + kKeyIdBytes);
    return true;
}

bool parseSignature(const QByteArray &text, Signature *signature, QString *error)
{
    const QList<QByteArray> lines = textLines(text);
    QByteArray raw;
    QByteArray global;
    if (lines.size() != 4 || !lines.at(0).startsWith(kUntrustedPrefix) ||
        !lines.at(2).startsWith(kTrustedPrefix)) {
        *error = QStringLiteral("not a minisign signature");
        return false;
    }
    if (!decodeBase64(lines.at(1).trimmed(), 2 + kKeyIdBytes + kSignatureBytes, &raw) ||
        !decodeBase64(lines.at(3).trimmed(), kSignatureBytes, &global)) {
        *error = QStringLiteral("the signature is cut short or garbled");
        return false;
    }
    const QByteArray algorithm = raw.left(2);
    if (algorithm != kAlgorithm && algorithm != kAlgorithmHashed) {
        *error = QStringLiteral("unknown signature algorithm");
        return false;
    }
    signature->prehashed = algorithm == kAlgorithmHashed;
    signature->keyId = raw.mid(2, kKeyIdBytes);
    signature->signature = raw.mid(2 + kKeyIdBytes);
    signature->trustedComment = lines.at(2).mid(kTrustedPrefix.size());
    signature->globalSignature = global;
    return true;
}

Policy makePolicy(const QStringList &trustedKeys, bool require, const QString &baseDir)
{
    Policy policy;
    policy.require = require;
    for (const QString &entry : trustedKeys) {
        const QString item = entry.trimmed();
        if (item.isEmpty())
            continue;
        policy.active = true;
        QByteArray text = item.toUtf8();
        QString error;
        bool ok = true;
        if (item.endsWith(QLatin1String(".pub"))) {
            const QString path = QFileInfo(item).isAbsolute() ? item : QDir(baseDir).filePath(item);
            ok = readSmallFile(path, kMaxKeyFileBytes, &text, &error);
        }
        PublicKey key;
        if (ok)
            ok = parsePublicKey(text, &key, &error);
        if (ok)
            policy.trusted.append(key);
        else
            policy.keyProblems.append(QStringLiteral("trusted key %1 cannot be read: %2").arg(item, error));
    }
    policy.active = policy.active || require;
    return policy;
}

bool Decision::refused() const
{
    return verdict != Verdict::NotChecked && verdict != Verdict::Signed && verdict != Verdict::Pending;
}

QString Decision::text(const QString &subject) const
{
    switch (verdict) {
    case Verdict::NotChecked:
        return QStringLiteral("%1 signature not checked.").arg(subject);
    case Verdict::Pending:
        return QStringLiteral("%1 signature by %2 not checked yet.").arg(subject, keyId);
    case Verdict::Signed:
        return QStringLiteral("%1 signed by %2: %3").arg(subject, keyId, trustedComment);
    case Verdict::NoKeys:
        return QStringLiteral("%1 cannot be checked: %2.").arg(subject, detail);
    case Verdict::Unavailable:
        return QStringLiteral("%1 cannot be checked: this build has no signature support.").arg(subject);
    case Verdict::Missing:
        return QStringLiteral("%1 is not signed: no .minisig signature file beside it.").arg(subject);
    case Verdict::Damaged:
        return QStringLiteral("%1 signature file is damaged: %2.").arg(subject, detail);
    case Verdict::Legacy:
        return QStringLiteral("%1 has a legacy signature (minisign -l); sign it again without -l.")
            .arg(subject);
    case Verdict::Untrusted:
        return QStringLiteral("%1 is signed by key %2, which is not trusted.").arg(subject, keyId);
    case Verdict::CommentBroken:
        return QStringLiteral("%1 signature's trusted comment was changed after signing.").arg(subject);
    case Verdict::Mismatch:
        return QStringLiteral("%1 does not match its signature by %2: it was changed after signing.")
            .arg(subject, keyId);
    }
    return QString();
}

Decision check(const Policy &policy, const QByteArray *signatureText, const QString &signatureError)
{
    Decision decision;
    if (!policy.active)
        return decision;
    if (!available()) {
        decision.verdict = Verdict::Unavailable;
        return decision;
    }
    if (!policy.keyProblems.isEmpty() || policy.trusted.isEmpty()) {
        decision.verdict = Verdict::NoKeys;
        decision.detail = policy.keyProblems.isEmpty()
                              ? QStringLiteral("no trusted key in Board_config.ini ([Signing] Trusted_Keys)")
                              : policy.keyProblems.join(QStringLiteral("; "));
        return decision;
    }
    if (!signatureText && signatureError.isEmpty()) {
        decision.verdict = policy.require ? Verdict::Missing : Verdict::NotChecked;
        return decision;
    }
    Signature signature;
    QString error = signatureError;
    if (!signatureText || !parseSignature(*signatureText, &signature, &error)) {
        decision.verdict = Verdict::Damaged;
        decision.detail = error;
        return decision;
    }
    decision.keyId = keyIdText(signature.keyId);
    if (!signature.prehashed) {
        decision.verdict = Verdict::Legacy;
        return decision;
    }
    const PublicKey *key = nullptr;
    for (const PublicKey &candidate : policy.trusted)
        if (candidate.keyId == signature.keyId)
            key = &candidate;
    if (!key) {
        decision.verdict = Verdict::Untrusted;
        return decision;
    }
    if (!verify(signature.globalSignature, signature.signature + signature.trustedComment, key->key)) {
        decision.verdict = Verdict::CommentBroken;
        return decision;
    }
    decision.verdict = Verdict::Pending;
    decision.trustedComment = QString::fromUtf8(signature.trustedComment);
    decision.key = *key;
    decision.signature = signature;
    return decision;
}

Decision finish(const Decision &pending, const QByteArray &blake2b512)
{
    if (pending.verdict != Verdict::Pending)
        return pending;
    Decision decision = pending;
    const bool ok =
        blake2b512.size() == kDigestBytes && verify(pending.signature.signature, blake2b512, pending.key.key);
    decision.verdict = ok ? Verdict::Signed : Verdict::Mismatch;
    return decision;
}

Decision checkFile(const Policy &policy, const QString &file)
{
    if (!policy.active)
        return Decision();
    const QString path = file + QStringLiteral(".minisig");
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return check(policy, nullptr);
    QByteArray text;
    QString error;
    if (!readSmallFile(path, kMaxSignatureFileBytes, &text, &error))
        return check(policy, nullptr, error.isEmpty() ? QStringLiteral("cannot be read") : error);
    return check(policy, &text);
}

#ifdef QUOR_HAVE_SODIUM
struct Blake2b512::State
{
    crypto_generichash_blake2b_state hash;
    bool ok = false;
};

Blake2b512::Blake2b512() : m_state(new State)
{
    m_state->ok =
        available() && crypto_generichash_blake2b_init(&m_state->hash, nullptr, 0, kDigestBytes) == 0;
}

bool Blake2b512::update(const char *data, qint64 size)
{
    m_state->ok = m_state->ok && crypto_generichash_blake2b_update(
                                     &m_state->hash, reinterpret_cast<const unsigned char *>(data),
                                     static_cast<unsigned long long>(size)) == 0;
    return m_state->ok;
}

QByteArray Blake2b512::digest()
{
    QByteArray out(kDigestBytes, '\0');
    const bool ok =
        m_state->ok && crypto_generichash_blake2b_final(
                           &m_state->hash, reinterpret_cast<unsigned char *>(out.data()), kDigestBytes) == 0;
    m_state->ok = false; // finished
    return ok ? out : QByteArray();
}
#else
struct Blake2b512::State
{
};

Blake2b512::Blake2b512() : m_state(new State) {}

bool Blake2b512::update(const char *, qint64)
{
    return false;
}

QByteArray Blake2b512::digest()
{
    return QByteArray();
}
#endif

Blake2b512::~Blake2b512() = default;

} // namespace Signing
