#include "common/boardconfig.h"
#include "tests/common/testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Board_config.ini is found under the current directory and only ever read.
class tst_BoardConfig : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void readsValues_data();
    void readsValues();
    void unreadableFileReadsEmpty();
    void specialFileReadsEmptyWithoutWaiting();
    void fileIsNeverTouched();
    void userSettingsLocation();

private:
    void writeIni(const QByteArray &content);
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldCwd;
};

void tst_BoardConfig::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldCwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void tst_BoardConfig::cleanup()
{
    QDir::setCurrent(m_oldCwd);
    m_dir.reset();
}

void tst_BoardConfig::writeIni(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QStringLiteral("config")));
    QFile f(QStringLiteral("config/Board_config.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
}

void tst_BoardConfig::readsValues_data()
{
    QTest::addColumn<QByteArray>("ini"); // null: no config folder at all
    QTest::addColumn<QString>("values"); // Burn_Type|Burn_Page_Feature|chip_type|OS_type
    QTest::newRow("no folder") << QByteArray() << "|||";
    QTest::newRow("verbatim") << QByteArray("[Burn_Type]\nBurn_Type=Single\nBurn_Page_Feature=Only_Burn_USB\n"
                                            "[chip]\nchip_type=QX 9000\n[OS]\nOS_type=linux\n")
                              << "Single|Only_Burn_USB|QX 9000|linux";
    // A key in the wrong section is not seen; the page feature without a burn type is.
    QTest::newRow("sections apart")
        << QByteArray("[Burn_Type]\nBurn_Page_Feature=Only_TFTP\n[OS]\nchip_type=wrong\n") << "|Only_TFTP||";
}

void tst_BoardConfig::readsValues()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, values);
    if (!ini.isNull())
        writeIni(ini);
    QCOMPARE(BoardConfig::path(), QDir::currentPath() + QStringLiteral("/config/Board_config.ini"));
    const auto v = BoardConfig::readChipAndOs();
    QCOMPARE(
        QStringList({BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type")),
                     BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Page_Feature")),
                     v.chipType, v.osType})
            .join(QLatin1Char('|')),
        values);
    QCOMPARE(QFileInfo::exists(QStringLiteral("config")), !ini.isNull()); // never created
}

void tst_BoardConfig::unreadableFileReadsEmpty()
{
    writeIni("[chip]\nchip_type=X\n");
    QFile::setPermissions(QStringLiteral("config/Board_config.ini"), QFileDevice::Permissions());
    QFile probe(QStringLiteral("config/Board_config.ini"));
    if (probe.open(QIODevice::ReadOnly))
        QSKIP("running with rights that ignore file permissions");
    QVERIFY(BoardConfig::readChipAndOs().chipType.isEmpty());
}

void tst_BoardConfig::specialFileReadsEmptyWithoutWaiting()
{
    // A FIFO in the file's place would block every start until something writes to it.
    QVERIFY(QDir().mkpath(QStringLiteral("config")));
    const QString fifo = QStringLiteral("config/Board_config.ini");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0644) == 0);
    BoardConfig::ChipAndOs values{QStringLiteral("x"), QStringLiteral("y")};
    QString burnType = QStringLiteral("x");
    QVERIFY(TestFiles::returnsWithoutFifoWriter(fifo, [&] {
        values = BoardConfig::readChipAndOs();
        burnType = BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type"));
    }));
    QVERIFY(values.chipType.isEmpty() && values.osType.isEmpty() && burnType.isEmpty());
}

void tst_BoardConfig::fileIsNeverTouched()
{
    const QByteArray content = "[chip]\nchip_type=A\n; a comment the operator wrote\n[OS]\nOS_type=B\n";
    writeIni(content);
    const QString file = QStringLiteral("config/Board_config.ini");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000), QFileDevice::FileModificationTime));
    }
    const QDateTime before = QFileInfo(file).lastModified();
    for (int i = 0; i < 3; ++i) {
        BoardConfig::readChipAndOs();
        BoardConfig::readValue(QStringLiteral("Burn_Type"), QStringLiteral("Burn_Type"));
    }
    QCOMPARE(QFileInfo(file).lastModified(), before);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), content);
    QCOMPARE(QDir(QStringLiteral("config")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{QStringLiteral("Board_config.ini")});
}

void tst_BoardConfig::userSettingsLocation()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir->path());
    {
        auto s = BoardConfig::userSettings();
        QCOMPARE(s->organizationName(), QStringLiteral("quor_combine"));
        QCOMPARE(s->applicationName(), QString());
        QCOMPARE(s->value(QLatin1String(BoardConfig::kLastPath2Key)).toString(), QString());
        s->setValue(QLatin1String(BoardConfig::kLastPath2Key), QStringLiteral("/pkg/a.zip"));
    }
    // A second object with the same parameters addresses the same store.
    QCOMPARE(BoardConfig::userSettings()->value(QLatin1String(BoardConfig::kLastPath2Key)).toString(),
             QStringLiteral("/pkg/a.zip"));
}

QTEST_APPLESS_MAIN(tst_BoardConfig)
#include "tst_boardconfig.moc"
