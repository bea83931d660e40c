// Device names of any shape through the download-device filter, read both as
// UTF-8 and as raw UTF-16 (the form Windows hands over).
#include "fuzzcheck.h"
#include "multi/devicefilter.h"

#include <QLatin1String>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void check(const QString &name)
{
    if (!isDownloadDeviceName(name))
        return;
    FUZZ_CHECK(!name.isEmpty());
    FUZZ_CHECK(!name.contains(QLatin1String("USBSTOR")));
    const QStringList parts = name.split(QLatin1Char('#'));
    FUZZ_CHECK(parts.size() >= 2);
    const QStringList ids = parts.at(1).split(QLatin1Char('&'));
    FUZZ_CHECK(ids.size() >= 2);
    FUZZ_CHECK(ids.at(0).endsWith(QLatin1String("7352")));
    FUZZ_CHECK(ids.at(1).endsWith(QLatin1String("1000")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int length = static_cast<int>(size);
    check(QString::fromUtf8(reinterpret_cast<const char *>(data), length));

    std::vector<ushort> units(size / 2);
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * sizeof(ushort));
    check(QString::fromUtf16(units.data(), static_cast<int>(units.size())));
    return 0;
}
