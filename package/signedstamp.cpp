#include "package/signedstamp.h"

bool stampServes(const Signing::Decision &current, const PackageIdentity &stamped, Signing::Decision *shown)
{
    *shown = current;
    if (current.verdict == Signing::Verdict::NotChecked)
        return true;
    if (current.verdict != Signing::Verdict::Pending || stamped.signedBy != current.keyId)
        return false;
    *shown = Signing::finish(current, QByteArray::fromHex(stamped.blake2bHex));
    return shown->verdict == Signing::Verdict::Signed;
}
