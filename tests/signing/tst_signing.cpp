#include "common/boardconfig.h"
#include "common/signing.h"
#include "minisigner.h"
#include "package/packageextractor.h"
#include "package/signedstamp.h"
#include "testfiles.h"
#include "zipmaker.h"

#include <QtTest>

#include <map>

using Signing::Verdict;
using TestFiles::readFile;
using TestFiles::writeFile;
Q_DECLARE_METATYPE(Signing::Verdict)

class tst_Signing : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    std::map<QString, MiniSigner> signers; // A and B trusted, C not
    QByteArray content;                    // a package's bytes

    const MiniSigner &signer(const QString &name) const { return signers.at(name); }
    // The digest given in uneven pieces, as a reader hands them over.
    static QByteArray blake2b(const QByteArray &bytes)
    {
        Signing::Blake2b512 digest;
        for (int at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece * 3 + 7)
            digest.update(bytes.constData() + at, std::min(piece, bytes.size() - at));
        return digest.digest();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(Signing::available());
        for (const QString name : {"A", "B", "C"})
            QVERIFY(signers.emplace(name, MiniSigner(dir.path(), name.toLower())).first->second.isValid());
        content = ZipMaker::noise(300000, 1);
    }

    // Every way a signature can be right or wrong, decided from the .minisig,
    // the trusted keys and the file's digest.
    void decisions_data()
    {
        QTest::addColumn<QString>("signedBy"); // key A, B or C; empty: no signature file
        QTest::addColumn<QString>("damage");   // legacy: signed with -l; file, comment, truncate
        QTest::addColumn<QString>("trusted");
        QTest::addColumn<bool>("require");
        QTest::addColumn<Verdict>("verdict");
        QTest::addColumn<QString>("text"); // %A, %B, %C: the keys' ids

        const auto row = [](const char *name, const char *signedBy, const char *damage, const char *trusted,
                            bool require, Verdict verdict, const char *text) {
            QTest::newRow(name) << signedBy << damage << trusted << require << verdict << text;
        };
        const char *mismatch = "Package does not match its signature by %A: it was changed after signing.";
        const char *unchecked = "Package signature not checked.";
        row("good", "A", "", "A", true, Verdict::Signed, "Package signed by %A: release 1.2");
        row("second of two trusted keys", "B", "", "A,B", true, Verdict::Signed,
            "Package signed by %B: release 1.2");
        row("byte flipped in the file", "A", "file", "A", true, Verdict::Mismatch, mismatch);
        row("byte flipped in the trusted comment", "A", "comment", "A", true, Verdict::CommentBroken,
            "Package signature's trusted comment was changed after signing.");
        row("key not trusted", "C", "", "A,B", true, Verdict::Untrusted,
            "Package is signed by key %C, which is not trusted.");
        row("truncated", "A", "truncate", "A", true, Verdict::Damaged,
            "Package signature file is damaged: not a minisign signature.");
        row("legacy", "A", "legacy", "A", true, Verdict::Legacy,
            "Package has a legacy signature (minisign -l); sign it again without -l.");
        row("missing, required", "", "", "A", true, Verdict::Missing,
            "Package is not signed: no .minisig signature file beside it.");
        row("missing, not required", "", "", "A", false, Verdict::NotChecked, unchecked);
        row("bad signature, not required", "A", "file", "A", false, Verdict::Mismatch, mismatch);
        row("no [Signing]", "A", "file", "", false, Verdict::NotChecked, unchecked);
        row("required, no key", "A", "", "", true, Verdict::NoKeys,
            "Package cannot be checked: no trusted key in Board_config.ini ([Signing] Trusted_Keys).");
    }
    void decisions()
    {
        QFETCH(QString, signedBy);
        QFETCH(QString, damage);
        QFETCH(QString, trusted);
        QFETCH(bool, require);
        QFETCH(Verdict, verdict);
        QFETCH(QString, text);

        const QString file = dir.filePath(QString(QTest::currentDataTag()).replace(' ', '_') + ".zip");
        QVERIFY(writeFile(file, content));
        if (!signedBy.isEmpty())
            QVERIFY(signer(signedBy).sign(file, "release 1.2", damage == "legacy"));
        QByteArray bytes = content;
        const QString sig = file + ".minisig";
        if (damage == "file") {
            bytes[1234] = char(bytes[1234] ^ 0x01);
            QVERIFY(writeFile(file, bytes));
        } else if (damage == "comment") {
            QVERIFY(writeFile(sig, readFile(sig).replace("release 1.2", "release 1.3")));
        } else if (damage == "truncate") {
            const QByteArray whole = readFile(sig);
            QVERIFY(writeFile(sig, whole.left(whole.size() / 2)));
        }

        QStringList keys;
        for (const QString &name : trusted.split(','))
            if (!name.isEmpty())
                keys << QString::fromLatin1(signer(name).publicKey());
        const Signing::Policy policy = Signing::makePolicy(keys, require, dir.path());
        const Signing::Decision decision = Signing::finish(Signing::checkFile(policy, file), blake2b(bytes));
        QCOMPARE(decision.verdict, verdict);
        for (const auto &[name, key] : signers)
            text.replace('%' + name, key.keyId());
        QCOMPARE(decision.text("Package"), text);
    }

    // [Signing] in Board_config.ini, keys inline and as .pub files beside it, and what is taken:
    // active, required, trusted keys, unreadable entries.
    void settings()
    {
        QTemporaryDir cwd;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        QVERIFY(QDir().mkpath("config/keys"));
        QVERIFY(QFile::copy(signer("B").pubFile(), "config/keys/b.pub"));
        for (const auto &[ini, taken] : std::initializer_list<std::pair<QByteArray, QString>>{
                 {"[chip]\nchip_type=X\n", "0 0 0 0"},
                 {"[Signing]\nTrusted_Keys=%A, keys/b.pub\nRequire=true\n", "1 1 2 0"},
                 {"[Signing]\nTrusted_Keys=%A\nRequire=false\n", "1 0 1 0"},
                 {"[Signing]\nRequire=yes\n", "1 1 0 0"},
                 {"[Signing]\nTrusted_Keys=%A, RWQnope, keys/none.pub\n", "1 0 1 2"}}) {
            QVERIFY(
                writeFile("config/Board_config.ini", QByteArray(ini).replace("%A", signer("A").publicKey())));
            const Signing::Policy policy = BoardConfig::signingPolicy();
            QCOMPARE(ini + QString::asprintf(" %d %d %d %d", policy.active, policy.require,
                                             int(policy.trusted.size()), int(policy.keyProblems.size())),
                     ini + ' ' + taken);
        }
        QDir::setCurrent(previous);
    }

    // The unpack reads the package once for both digests and moves nothing into place when the
    // signature does not match. The stamped folder then serves a Start only while the same trusted key
    // verified it and today's signature file matches the digest the stamp recorded.
    void unpackChecksInTheSameRead_data()
    {
        QTest::addColumn<bool>("changed");
        QTest::addColumn<int>("noiseBytes"); // incompressible bytes added to the image
        QTest::newRow("signed") << false << 0;
        // Many more read blocks than the hasher queues for BLAKE2b at once.
        QTest::newRow("signed, 9 MiB") << false << 9 * 1024 * 1024 + 4099;
        QTest::newRow("changed after signing") << true << 0;
    }
    void unpackChecksInTheSameRead()
    {
        QFETCH(bool, changed);
        QFETCH(int, noiseBytes);
        const QString zip = dir.filePath(QStringLiteral("%1-%2.zip").arg(changed).arg(noiseBytes));
        QVERIFY(ZipMaker::writeZip(
            zip, {ZipMaker::zipFile("boot.img", content + ZipMaker::noise(noiseBytes, 2))}));
        QVERIFY(signer("A").sign(zip, "release 7"));
        if (changed)
            QVERIFY(ZipMaker::writeZip(zip, {ZipMaker::zipFile("boot.img", content.left(1000))}));
        UnpackOptions options;
        options.signature =
            Signing::checkFile(Signing::makePolicy({signer("A").publicKey()}, true, dir.path()), zip);
        QCOMPARE(options.signature.verdict, Verdict::Pending);

        const QString dest = zip + ".images";
        const UnpackResult result = unpackPackage(zip, dest, nullptr, options);
        QCOMPARE(result.ok, !changed);
        QCOMPARE(result.signature.verdict, changed ? Verdict::Mismatch : Verdict::Signed);
        QCOMPARE(QFileInfo::exists(dest + "/boot.img"), !changed);
        PackageIdentity stamped;
        QCOMPARE(checkStamp(zip, dest, &stamped), changed ? StampCheck::Missing : StampCheck::Matches);
        QCOMPARE(stamped.signedBy, changed ? QString() : signer("A").keyId());
        QCOMPARE(QByteArray::fromHex(stamped.blake2bHex), changed ? QByteArray() : blake2b(readFile(zip)));

        Signing::Decision shown;
        const auto serves = [&](const QString &trusted) {
            const QStringList keys =
                trusted.isEmpty() ? QStringList() : QStringList{signer(trusted).publicKey()};
            const Signing::Policy policy = Signing::makePolicy(keys, !keys.isEmpty(), dir.path());
            return ::stampServes(Signing::checkFile(policy, zip), stamped, &shown);
        };
        QCOMPARE(serves("A"), !changed); // changed: nothing stamped, no key verified a folder
        QVERIFY(changed || shown.verdict == Verdict::Signed);
        QVERIFY(!serves("B")); // verified by a key no longer trusted
        QVERIFY(serves("") && shown.verdict == Verdict::NotChecked);
        // Today's signature file is another package's.
        QVERIFY(writeFile(zip + ".other", content.left(10)));
        QVERIFY(signer("A").sign(zip + ".other", "other", false, zip + ".minisig"));
        QVERIFY(!serves("A"));
    }
};

QTEST_GUILESS_MAIN(tst_Signing)
#include "tst_signing.moc"
