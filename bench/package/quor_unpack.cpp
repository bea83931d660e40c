// Unpacks one package with the program's extractor and nothing else, so that
// the benchmark can measure its time and peak memory in a process of its own.
// Usage: quor_unpack <package.zip> <destination> [workers] [--no-hash]
// --no-hash leaves out the package's SHA-256 and the stamp, to measure their cost.
#include "multi/packageextractor.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    UnpackOptions options;
    options.hashPackage = args.removeAll(QStringLiteral("--no-hash")) == 0;
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: quor_unpack <package.zip> <destination> [workers] [--no-hash]\n");
        return 2;
    }
    qSetMessagePattern(QStringLiteral("%{if-debug}%{endif}")); // keep the per-entry diagnostics quiet
    if (args.size() > 3)
        options.workers = args.at(3).toInt();
    const UnpackResult result = unpackPackage(args.at(1), args.at(2), nullptr, options);
    QTextStream err(stderr);
    for (const QString &message : result.messages)
        err << message << '\n';
    err << (result.ok ? "ok" : "FAILED") << ' ' << result.entriesWritten << " entries " << result.bytesWritten
        << " bytes";
    if (!result.package.sha256Hex.isEmpty())
        err << " sha256 " << result.package.sha256Hex;
    err << '\n';
    return result.ok ? 0 : 1;
}
