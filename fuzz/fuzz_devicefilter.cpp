// Device names of any shape through the download-device filter, read as UTF-8 and as raw UTF-16 (the
// form Windows hands over): a name taken is no storage device and has the board's vendor and product.
#include "fuzzcheck.h"
#include "multi/devicefilter.h"

#include <QStringList>

static void check(const QString &name)
{
    if (!isDownloadDeviceName(name))
        return;
    const QStringList ids = name.section(QLatin1Char('#'), 1, 1).split(QLatin1Char('&'));
    FUZZ_CHECK(!name.contains(QLatin1String("USBSTOR")) && ids.size() >= 2);
    FUZZ_CHECK(ids.at(0).endsWith(QLatin1String("7352")) && ids.at(1).endsWith(QLatin1String("1000")));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    check(QString::fromUtf8(bytes));
    check(QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2));
    return 0;
}
