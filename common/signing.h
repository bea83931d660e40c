#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

// Release signatures: a package or image is burned only when the release team
// signed it with minisign and the bench trusts the key.
//
// A signature file (<file>.minisig) holds a signature of the file's
// BLAKE2b-512 digest ("prehashed", minisign's default) and a second signature
// over the first one and its trusted comment. Checking happens in two steps
// so that the file itself is read only once, alongside the other work that
// reads it: check() decides everything that needs no digest (the signature
// file, the key, the trusted comment); finish() decides with the digest.
// Legacy signatures (minisign -l, a signature of the whole file) are refused:
// checking them needs the whole file at once.
namespace Signing {

// Whether this build can check signatures (false in a build without libsodium).
bool available();

struct PublicKey
{
    QByteArray keyId; // 8 bytes as minisign stores them
    QByteArray key;   // 32-byte Ed25519 public key
};

// A key id as minisign shows it: 16 uppercase hex digits.
QString keyIdText(const QByteArray &keyId);

// A public key from its base64 line ("RWQ...") or the whole text of a .pub file.
bool parsePublicKey(const QByteArray &text, PublicKey *key, QString *error);

struct Signature
{
    bool prehashed = false;
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes
    QByteArray trustedComment;  // UTF-8, without "trusted comment: "
    QByteArray globalSignature; // 64 bytes, over signature + trustedComment
};

// The text of a .minisig file. False with *error set when it is not one.
bool parseSignature(const QByteArray &text, Signature *signature, QString *error);

// The [Signing] settings with the trusted keys read.
struct Policy
{
    bool active = false;  // the group has a key or Require: signatures are checked
    bool require = false; // a file without a signature is refused
    QList<PublicKey> trusted;
    QStringList keyProblems; // one line per Trusted_Keys entry that cannot be read
};

// Builds the policy from the raw settings. An entry ending in ".pub" is a
// public key file (relative to baseDir), anything else a base64 public key.
Policy makePolicy(const QStringList &trustedKeys, bool require, const QString &baseDir);

enum class Verdict {
    NotChecked,    // nothing to check: no [Signing], or no signature and none required
    Pending,       // well-formed, trusted key, comment intact: the digest decides
    Signed,        // verified
    NoKeys,        // signing asked for, but no trusted key can be used
    Unavailable,   // signing asked for, but this build cannot check
    Missing,       // no signature file, and Require
    Damaged,       // the signature file cannot be read or parsed
    Legacy,        // a signature of the whole file (minisign -l)
    Untrusted,     // signed by a key the bench does not trust
    CommentBroken, // the trusted comment does not match its signature
    Mismatch       // the file is not the one that was signed
};

struct Decision
{
    Verdict verdict = Verdict::NotChecked;
    QString keyId;          // the signing key, when known
    QString trustedComment; // when Signed or Pending
    QString detail;         // why, for Damaged and NoKeys
    PublicKey key;          // the trusted key, when Pending or Signed
    Signature signature;    // when Pending or Signed

    bool refused() const;
    // One line for the operator about `subject` ("Package" or an image's name).
    QString text(const QString &subject) const;
};

// What can be decided before the file is read. signatureText is null when
// there is no signature file; signatureError says why an existing one could
// not be read (then it is damaged).
Decision check(const Policy &policy, const QByteArray *signatureText, const QString &signatureError = {});

// The decision for a Pending one, given the file's BLAKE2b-512 digest (64
// bytes). Any other decision is returned unchanged.
Decision finish(const Decision &pending, const QByteArray &blake2b512);

// Reads <file>.minisig beside `file` (a small regular file only) and checks it.
Decision checkFile(const Policy &policy, const QString &file);

// The BLAKE2b-512 digest of data given in pieces (libsodium).
class Blake2b512 final
{
public:
    Blake2b512();
    ~Blake2b512();
    Blake2b512(const Blake2b512 &) = delete;
    Blake2b512 &operator=(const Blake2b512 &) = delete;

    bool update(const char *data, qint64 size);
    // 64 bytes; empty when unavailable or after a failure. Ends the digest.
    QByteArray digest();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace Signing
