// Tool output of any shape through the per-board line decisions. The first byte picks the slot and the
// starting progress; the rest is one chunk, fed line by line as the output handler does.
#include "fuzzcheck.h"
#include "multi/boardoutput.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    using Kind = BoardLineResult::Kind;
    const int slot = data[0] % 8 + 1;
    float progress = static_cast<float>(data[0] >> 3) * 4.0f;
    const QString board = QStringLiteral("Board ") + QString::number(slot) + QLatin1Char(' ');
    const QStringList lines = splitBoardOutput(QString::fromUtf8(fuzzBytes(data + 1, size - 1)));
    FUZZ_CHECK(!lines.isEmpty());
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1String("\r\n")));
        const BoardLineResult r = interpretBoardLine(line, slot, progress);
        FUZZ_CHECK(std::isfinite(r.progress) && (r.complete || r.progress >= progress));
        if (r.kind == Kind::NotFound) { // the handler ends here
            FUZZ_CHECK(!r.complete && r.progress == progress && r.statusMessage.startsWith(board));
            return 0;
        }
        FUZZ_CHECK(r.kind != Kind::Break || r.complete || r.progress == progress + 1.0f);
        FUZZ_CHECK(r.kind == Kind::Waiting ? r.statusMessage.isEmpty()
                                           : r.kind == Kind::Progress || r.kind == Kind::Break ||
                                                 r.kind == Kind::Plain || r.statusMessage.startsWith(board));
        FUZZ_CHECK(r.complete ? r.progress == 100.0f &&
                                    r.completeMessage == board + QStringLiteral("download complete!\n")
                              : r.completeMessage.isEmpty());
        if (r.complete)
            return 0; // the handler ends here
        progress = r.progress;
    }
    return 0;
}
