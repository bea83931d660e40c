#include "../multi/windowtestenv.h"
#include "../package/zipmaker.h"
#include "faultbench.h"
#include "multi/mainwindow.h"
#include "tests/single_run/boxanswerer.h"

#include <QDirIterator>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/resource.h>

// Hostile and damaged image packages met by the multi-board window's Start:
// what the operator reads, what is left on disk (never a half folder to burn,
// never a file outside the unpack folder), and that the window stays usable.
namespace {

using namespace ZipMaker;
using Faults::FileSizeLimit;

} // namespace

class tst_FaultsPackage : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void hostilePackages_data();
    void hostilePackages();
    void plantedLinkInPlaceOfUnpackFolder();
    void spaceRunsOut_data();
    void spaceRunsOut();

private:
    std::unique_ptr<WindowTestFolder> folder;
    std::unique_ptr<ScriptedDeviceSource> devices;
    std::unique_ptr<BoxAnswerer> boxes; // a refused Start shows a box
    std::unique_ptr<MainWindow> window;
    QString zip;
    QString unpacked;
    QString outside;

    void openWindow()
    {
        window = std::make_unique<MainWindow>(nullptr, devices.get());
        window->show();
    }
    QPushButton *button(const char *name) const
    {
        return window->findChild<QPushButton *>(QLatin1String(name));
    }
    QString statusText() const
    {
        return window->findChild<QPlainTextEdit *>(QStringLiteral("statusText"))->toPlainText();
    }
    // Every path under the working folder, except the test's own settings.
    QStringList tree() const
    {
        QStringList all;
        QDirIterator it(folder->path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next().mid(folder->path().size());
            if (!path.startsWith(QLatin1String("/settings")) && !path.startsWith(QLatin1String("/config")))
                all << path;
        }
        all.sort();
        return all;
    }
};

void tst_FaultsPackage::init()
{
    folder = std::make_unique<WindowTestFolder>();
    QVERIFY(folder->isValid());
    QVERIFY(folder->writeBoardConfig(QStringLiteral("C"), QStringLiteral("O")));
    devices = std::make_unique<ScriptedDeviceSource>();
    boxes = std::make_unique<BoxAnswerer>();
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("pkg"))));
    QVERIFY(QDir().mkpath(folder->file(QStringLiteral("outside"))));
    zip = folder->file(QStringLiteral("pkg/images.zip"));
    unpacked = folder->file(QStringLiteral("pkg/QuorBurnImage"));
    outside = folder->file(QStringLiteral("outside"));
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quor_combine"), QString())
        .setValue(QStringLiteral("lastPath2"), zip);
}

void tst_FaultsPackage::cleanup()
{
    boxes.reset();
    window.reset();
    devices.reset();
    folder.reset();
}

void tst_FaultsPackage::hostilePackages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("left"); // the whole tree afterwards; empty list: no unpack folder

    const QStringList goodOnly = {QStringLiteral("/outside"),
                                  QStringLiteral("/pkg"),
                                  QStringLiteral("/pkg/QuorBurnImage"),
                                  QStringLiteral("/pkg/QuorBurnImage/.quor-package-stamp"),
                                  QStringLiteral("/pkg/QuorBurnImage/good.img"),
                                  QStringLiteral("/pkg/images.zip")};
    const auto withGood = [](const QByteArray &evil) {
        return raw({rawFile(evil, "evil"), rawFile("good.img", "good")});
    };
    QTest::newRow("zip-slip") << withGood("../outside/evil.img")
                              << QStringLiteral(
                                     "Skipped unsafe path in package (\"..\" in path): ../outside/evil.img")
                              << goodOnly;
    QTest::newRow("absolute")
        << withGood("/tmp/quor-faults-evil.img")
        << QStringLiteral("Skipped unsafe path in package (absolute path): /tmp/quor-faults-evil.img")
        << goodOnly;

    QTest::newRow("crc") << raw({rawFile("a/ok.img", "fine"),
                                 rawFile("good.img", QByteArray(5000, 'g'), true)})
                         << QStringLiteral("CRC") << QStringList();
    QTest::newRow("not a zip") << QByteArray("PK but only text\n") << QStringLiteral("not a readable zip")
                               << QStringList();
}

void tst_FaultsPackage::hostilePackages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, message);
    QFETCH(QStringList, left);
    QVERIFY(folder->writeFile(QStringLiteral("pkg/images.zip"), bytes));
    QFile::remove(QStringLiteral("/tmp/quor-faults-evil.img"));

    openWindow();
    button("startButton")->click();
    QVERIFY2(statusText().contains(message, Qt::CaseInsensitive), qPrintable(statusText()));
    if (left.isEmpty())
        left = QStringList{QStringLiteral("/outside"), QStringLiteral("/pkg"),
                           QStringLiteral("/pkg/images.zip")};
    QCOMPARE(tree(), left);
    QVERIFY(!QFileInfo::exists(QStringLiteral("/tmp/quor-faults-evil.img")));
    if (left.contains(QStringLiteral("/pkg/QuorBurnImage/good.img")))
        QCOMPARE(fileContent(unpacked + QStringLiteral("/good.img")), QByteArray("good"));

    // Still usable: Stop, a sound package, Start again unpacks it.
    button("stopButton")->click();
    QVERIFY(button("startButton")->isEnabled());
    QDir(unpacked).removeRecursively();
    QVERIFY(writeZip(zip, {zipFile("boot.img", "boot")}));
    button("startButton")->click();
    QCOMPARE(fileContent(unpacked + QStringLiteral("/boot.img")), QByteArray("boot"));
    QCOMPARE(window->findChildren<QProcess *>().size(), 8);
}

void tst_FaultsPackage::plantedLinkInPlaceOfUnpackFolder()
{
    // A link named like the unpack folder, pointing at someone's files.
    QVERIFY(folder->writeFile(QStringLiteral("outside/precious.img"), "precious"));
    QVERIFY(QDir().mkpath(outside + QStringLiteral("/keep")));
    QVERIFY(folder->writeFile(QStringLiteral("outside/keep/nested.img"), "nested"));
    QVERIFY(QFile::link(outside, unpacked));
    QVERIFY(writeZip(zip, {zipFile("boot.img", "boot"), zipLink("escape", outside.toUtf8()),
                           zipFile("escape/payload.img", "payload")}));

    // Construction removes a stale unpack folder: only the link may go.
    openWindow();
    QCOMPARE(fileContent(outside + QStringLiteral("/precious.img")), QByteArray("precious"));
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep/nested.img")));
    QVERIFY(!QFileInfo(unpacked).isSymLink());

    button("startButton")->click();
    QVERIFY(!QFileInfo(unpacked).isSymLink());
    QCOMPARE(fileContent(unpacked + QStringLiteral("/boot.img")), QByteArray("boot"));
    QCOMPARE(fileContent(unpacked + QStringLiteral("/escape/payload.img")), QByteArray("payload"));
    QVERIFY(statusText().contains(QStringLiteral("Skipped link in package: escape")));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{QStringLiteral("keep"), QStringLiteral("precious.img")}));
}

void tst_FaultsPackage::spaceRunsOut_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("reported");
    QTest::newRow("disk full") << (1 << 20) << QStringLiteral("large.img");
    QTest::newRow("zip bomb") << (8 << 20) << QStringLiteral("bomb.img"); // 128 MiB of zeros
}

void tst_FaultsPackage::spaceRunsOut()
{
    QFETCH(int, limit);
    QFETCH(QString, reported);
    QVERIFY(writeZip(zip, {zipFile("a/small.img", "fits"), zipFile("a/large.img", noise(4 << 20, 4)),
                           zipFile("b/other.img", text(3 << 20, 5))}));
    if (reported == QLatin1String("bomb.img")) {
        QVERIFY(
            writeZip(zip, {zipFile("bomb.img", QByteArray(128 << 20, '\0')), zipFile("boot.img", "boot")}));
        QVERIFY(QFileInfo(zip).size() < (1 << 20));
    }
    openWindow();
    {
        FileSizeLimit fileSizeLimit(limit);
        QVERIFY(fileSizeLimit.isActive());
        button("startButton")->click();
    }
    // Reported, and no half folder left for the boards to burn.
    QVERIFY2(statusText().contains(reported), qPrintable(statusText()));
    QCOMPARE(tree(), (QStringList{QStringLiteral("/outside"), QStringLiteral("/pkg"),
                                  QStringLiteral("/pkg/images.zip")}));
    button("stopButton")->click();
    QVERIFY(button("startButton")->isEnabled());
    if (limit > (1 << 20))
        return;
    // Space again: the next batch unpacks the package whole.
    button("startButton")->click();
    QCOMPARE(fileContent(unpacked + QStringLiteral("/a/large.img")), noise(4 << 20, 4));
    QCOMPARE(fileContent(unpacked + QStringLiteral("/b/other.img")), text(3 << 20, 5));
}

QTEST_MAIN(tst_FaultsPackage)
#include "tst_faults_package.moc"
