// The shipped Windows folder, tested from inside it (tests/win/e2e_windows.sh copies this program
// there): qt.conf pins Qt's plugins to the folder, the ico plugin is there so the windows get their
// icon, and both programs carry their icon, manifest and version information.

#include "app/quor_combine.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QLibraryInfo>
#include <QtTest>

#include <windows.h>

#include <vector>

namespace {

QString folder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

// A string of the file's version information (US English, Unicode block), empty when absent.
QString versionString(const QString &file, const QString &name)
{
    const std::wstring path = QDir::toNativeSeparators(file).toStdWString();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return {};
    std::vector<char> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
        return {};
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name.toStdWString();
    void *value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(data.data(), key.c_str(), &value, &length) || length == 0)
        return {};
    return QString::fromWCharArray(static_cast<const wchar_t *>(value))
        .left(int(length))
        .section(QChar(0), 0, 0);
}

// The fixed file version (major << 16 | minor), 0 when absent.
DWORD fixedVersionMs(const QString &file)
{
    const std::wstring path = QDir::toNativeSeparators(file).toStdWString();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<char> data(size ? size : 1);
    void *value = nullptr;
    UINT length = 0;
    if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !::VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return 0;
    return static_cast<const VS_FIXEDFILEINFO *>(value)->dwFileVersionMS;
}

// The executable's resources, loaded as data: whether it has the icon Qt uses for its window class,
// and its manifest's text.
struct Resources
{
    bool icon = false;
    QByteArray manifest;
};

Resources resourcesOf(const QString &file)
{
    Resources r;
    const std::wstring path = QDir::toNativeSeparators(file).toStdWString();
    HMODULE module =
        ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module)
        return r;
    r.icon = ::FindResourceW(module, L"IDI_ICON1", MAKEINTRESOURCEW(14)) != nullptr;        // RT_GROUP_ICON
    if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) { // RT_MANIFEST
        if (HGLOBAL loaded = ::LoadResource(module, found))
            r.manifest = QByteArray(static_cast<const char *>(::LockResource(loaded)),
                                    int(::SizeofResource(module, found)));
    }
    ::FreeLibrary(module);
    return r;
}

} // namespace

class tst_Delivery : public QObject
{
    Q_OBJECT

private slots:
    void pluginsComeFromTheFolder();
    void windowIcon();
    void programResources_data();
    void programResources();
};

void tst_Delivery::pluginsComeFromTheFolder()
{
    QVERIFY2(QFile::exists(folder() + QStringLiteral("/qt.conf")), qPrintable(folder()));
    // Without qt.conf the plugin folder is the one Qt was built for, searched before the program's.
    QCOMPARE(QDir::cleanPath(QLibraryInfo::location(QLibraryInfo::PluginsPath)), folder());
    for (const QString &path : QCoreApplication::libraryPaths())
        QCOMPARE(QDir::cleanPath(path), folder());
}

void tst_Delivery::windowIcon()
{
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    QVERIFY2(formats.contains("ico"), formats.join(' ').constData());
    quor_combine window;
    QVERIFY(!window.windowIcon().isNull());
    // Every size in the icon file, the taskbar's 32 and the title bar's 16 among them.
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    QVERIFY2(sizes.contains(QSize(16, 16)) && sizes.contains(QSize(32, 32)) &&
                 sizes.contains(QSize(256, 256)),
             qPrintable(QString::number(sizes.size())));
}

void tst_Delivery::programResources_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("description");
    QTest::newRow("quor_download") << QStringLiteral("quor_download.exe")
                                   << QStringLiteral(QUOR_DOWNLOAD_DESCRIPTION);
    QTest::newRow("quor_records") << QStringLiteral("quor_records.exe")
                                  << QStringLiteral(QUOR_RECORDS_DESCRIPTION);
}

void tst_Delivery::programResources()
{
    QFETCH(QString, file);
    QFETCH(QString, description);
    const QString path = folder() + QLatin1Char('/') + file;
    QVERIFY2(QFile::exists(path), qPrintable(path));

    QCOMPARE(versionString(path, QStringLiteral("FileVersion")), QStringLiteral(QUOR_VERSION));
    QCOMPARE(versionString(path, QStringLiteral("ProductVersion")), QStringLiteral(QUOR_VERSION));
    QCOMPARE(versionString(path, QStringLiteral("ProductName")), QStringLiteral(QUOR_PRODUCT));
    QCOMPARE(versionString(path, QStringLiteral("CompanyName")), QStringLiteral(QUOR_PUBLISHER));
    QCOMPARE(versionString(path, QStringLiteral("FileDescription")), description);
    QCOMPARE(versionString(path, QStringLiteral("OriginalFilename")), file);
    const QStringList parts = QStringLiteral(QUOR_VERSION).split(QLatin1Char('.'));
    QCOMPARE(fixedVersionMs(path), DWORD(parts.value(0).toUInt() << 16 | parts.value(1).toUInt()));

    const Resources r = resourcesOf(path);
    QVERIFY(r.icon);
    // Windows 7 and Windows 10/11 among the supported systems, common controls 6, Qt's DPI mode.
    QVERIFY2(r.manifest.contains("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), r.manifest.constData());
    QVERIFY(r.manifest.contains("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"));
    QVERIFY(r.manifest.contains("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    QVERIFY(r.manifest.contains(">PerMonitor</dpiAwareness>"));
}

QTEST_MAIN(tst_Delivery)
#include "tst_delivery_win.moc"
