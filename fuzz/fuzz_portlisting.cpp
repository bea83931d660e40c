// Listing output of any shape through the port-listing parser.
#include "fuzzcheck.h"
#include "multi/portlisting.h"

#include <QByteArray>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();
    const QByteArray output(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QVector<PortRecord> ports = parsePortListing(output);

    // At most one record per CRLF-terminated line after the two header lines.
    FUZZ_CHECK(ports.size() <= qMax(0, output.count("\r\n") - 2));
    for (int i = 0; i < ports.size(); ++i) {
        const PortRecord &port = ports.at(i);
        FUZZ_CHECK(!port.level.isEmpty() && port.level.size() <= 2);
        FUZZ_CHECK(!port.number.isEmpty() && port.number.size() <= 2);
        // A lone surrogate half would turn into garbage on the tool's command line.
        FUZZ_CHECK(!port.level.at(port.level.size() - 1).isHighSurrogate());
        FUZZ_CHECK(!port.number.at(port.number.size() - 1).isHighSurrogate());
        for (int j = i + 1; j < ports.size(); ++j)
            FUZZ_CHECK(ports.at(j) != port);
    }
    return 0;
}
