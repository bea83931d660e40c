// Listing output of any shape through the port-listing parser.
#include "fuzzcheck.h"
#include "multi/portlisting.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    silenceQtMessages();
    const QByteArray output = fuzzBytes(data, size);
    const QVector<PortRecord> ports = parsePortListing(output);
    // At most one record per CRLF-terminated line after the two header lines, none twice.
    FUZZ_CHECK(ports.size() <= qMax(0, output.count("\r\n") - 2));
    for (int i = 0; i < ports.size(); ++i) {
        const PortRecord &port = ports.at(i);
        FUZZ_CHECK(!port.level.isEmpty() && port.level.size() <= 2 && !port.number.isEmpty() &&
                   port.number.size() <= 2);
        // A lone surrogate half would turn into garbage on the tool's command line.
        FUZZ_CHECK(!port.level.back().isHighSurrogate() && !port.number.back().isHighSurrogate());
        FUZZ_CHECK(!ports.mid(i + 1).contains(port));
    }
    return 0;
}
