// The shipped Windows folder, tested from inside it (tests/win/e2e_windows.sh copies this program
// there): qt.conf pins Qt's plugins to the folder, and the ico plugin is there so the windows get
// their icon. The programs' own resource is tst_resource_win's.

#include "app/quor_combine.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QLibraryInfo>
#include <QtTest>

namespace {

QString folder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath());
}

} // namespace

class tst_Delivery : public QObject
{
    Q_OBJECT

private slots:
    void pluginsComeFromTheFolder();
    void windowIcon();
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

QTEST_MAIN(tst_Delivery)
#include "tst_delivery_win.moc"
