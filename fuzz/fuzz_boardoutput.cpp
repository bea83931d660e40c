// Tool output of any shape through the per-board line decisions. The first
// byte picks the slot and the starting progress; the rest is one chunk, fed
// line by line as the output handler does, carrying the progress along.
#include "fuzzcheck.h"
#include "multi/boardoutput.h"

#include <QString>

#include <cmath>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int slot = data[0] % 8 + 1;
    float progress = static_cast<float>(data[0] >> 3) * 4.0f;
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));
    const QString board = QStringLiteral("Board ") + QString::number(slot) + QLatin1Char(' ');
    using Kind = BoardLineResult::Kind;

    const QStringList lines = splitBoardOutput(text);
    FUZZ_CHECK(!lines.isEmpty());
    for (const QString &line : lines) {
        FUZZ_CHECK(!line.contains(QLatin1String("\r\n")));
        const BoardLineResult r = interpretBoardLine(line, slot, progress);
        FUZZ_CHECK(std::isfinite(r.progress));
        switch (r.kind) {
        case Kind::NotFound:
            FUZZ_CHECK(!r.complete && r.progress == progress && r.statusMessage.startsWith(board));
            return 0; // the handler ends here
        case Kind::Waiting:
            FUZZ_CHECK(!r.complete && r.statusMessage.isEmpty());
            FUZZ_CHECK(progress >= 10.0f ? r.progress == progress : r.progress > progress);
            break;
        case Kind::CommFailed:
        case Kind::TooLarge:
        case Kind::DownloadFailed:
            FUZZ_CHECK(r.statusMessage.startsWith(board));
            FUZZ_CHECK(r.complete || r.progress == progress);
            break;
        case Kind::Progress:
            FUZZ_CHECK(r.complete || r.progress >= progress);
            break;
        case Kind::Break:
            FUZZ_CHECK(r.complete || r.progress == progress + 1.0f);
            break;
        case Kind::Plain:
            FUZZ_CHECK(r.complete || r.progress == progress);
            break;
        }
        // Waiting lines never complete, even with the completion text in them.
        FUZZ_CHECK(r.complete ==
                   (r.kind != Kind::Waiting && line.contains(QLatin1String("download complete"))));
        if (r.complete) {
            FUZZ_CHECK(r.progress == 100.0f &&
                       r.completeMessage == board + QStringLiteral("download complete!\n"));
            return 0; // the handler ends here
        }
        FUZZ_CHECK(r.completeMessage.isEmpty());
        progress = r.progress;
    }
    return 0;
}
