#pragma once

#include "common/signing.h"
#include "quorDownload/staging.h"

namespace Staging {

// With [Signing] Require=true every chosen image must be signed by a trusted
// key: each checked row's staged copy, the very bytes the tool will read, is
// hashed and checked against <image>.minisig beside its source, with one
// status line per image. A refused image's staged copy is removed. False when
// an image was refused; true without a line when signatures are not required.
// *keyIds (when given) receives the verifying keys, each once.
bool verifyChosenImages(const Signing::Policy &policy, const QString &configDir, const QString &stagingDir,
                        const QVector<PartitionRowChoice> &rows, StagingSink &sink,
                        QStringList *keyIds = nullptr);

// The BLAKE2b-512 digest of a regular file; empty when it cannot be read.
QByteArray fileBlake2b(const QString &path);

} // namespace Staging
