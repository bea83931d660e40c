// Unpacks one package with the program's extractor and nothing else, so that
// the benchmark can measure its time and peak memory in a process of its own.
// Usage: quor_unpack <package.zip> <destination> [workers] [--no-hash] [--verify <public key>]
// --no-hash leaves out the package's SHA-256 and the stamp, to measure their cost;
// --verify checks <package.zip>.minisig against the key (base64) as Start does.
#include "common/signing.h"
#include "package/packageextractor.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    UnpackOptions options;
    options.hashPackage = args.removeAll(QStringLiteral("--no-hash")) == 0;
    const int verify = args.indexOf(QStringLiteral("--verify"));
    QString key;
    if (verify > 0 && verify + 1 < args.size()) {
        key = args.takeAt(verify + 1);
        args.removeAt(verify);
    }
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: quor_unpack <package.zip> <destination> [workers] [--no-hash]\n");
        return 2;
    }
    qSetMessagePattern(QStringLiteral("%{if-debug}%{endif}")); // keep the per-entry diagnostics quiet
    if (args.size() > 3)
        options.workers = args.at(3).toInt();
    QTextStream err(stderr);
    if (!key.isEmpty()) {
        options.signature = Signing::checkFile(Signing::makePolicy({key}, true, QString()), args.at(1));
        if (options.signature.verdict != Signing::Verdict::Pending) {
            err << options.signature.text(QStringLiteral("Package")) << '\n';
            return 1;
        }
    }
    const UnpackResult result = unpackPackage(args.at(1), args.at(2), nullptr, options);
    if (!key.isEmpty())
        err << result.signature.text(QStringLiteral("Package")) << '\n';
    for (const QString &message : result.messages)
        err << message << '\n';
    err << (result.ok ? "ok" : "FAILED") << ' ' << result.entriesWritten << " entries " << result.bytesWritten
        << " bytes";
    if (!result.package.sha256Hex.isEmpty())
        err << " sha256 " << result.package.sha256Hex;
    err << '\n';
    return result.ok ? 0 : 1;
}
