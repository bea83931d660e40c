// The shipped Windows folder, tested from inside it (tests/win/e2e_windows.sh copies this program
// there): qt.conf pins Qt's plugins to the folder, and the ico plugin is there so the windows get
// their icon. The programs' own resource is tst_resource_win's. The windows at the display's DPI as
// the registry sets it (LogPixels; the script runs this at 144 and 192 too): Qt scales them to it,
// and no button, field or label with text is lower than its size hint or its font, nor a button
// narrower than its hint.

#include "app/quor_combine.h"
#include "app/windowfactory.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
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
    void windowsFitTheirText_data();
    void windowsFitTheirText();
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
    // The icon decodes its images when asked: the shipped plugin must read them.
    for (const int side : {16, 32})
        QVERIFY(!window.windowIcon().pixmap(QSize(side, side)).isNull());
}

void tst_Delivery::windowsFitTheirText_data()
{
    QTest::addColumn<int>("which");
    QTest::newRow("mode selection") << int(Startup::FirstWindow::Selection);
    QTest::newRow("single-board") << int(Startup::FirstWindow::Single);
    QTest::newRow("multi-board") << int(Startup::FirstWindow::Multiple);
}

void tst_Delivery::windowsFitTheirText()
{
    QFETCH(int, which);
    const int logPixels =
        QSettings(QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop"), QSettings::NativeFormat)
            .value(QStringLiteral("LogPixels"), 96)
            .toInt();
    std::unique_ptr<QWidget> window = createFirstWindow(static_cast<Startup::FirstWindow>(which));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::qWait(300);
    qInfo("LogPixels %d: device pixel ratio %.2f, window %dx%d, font %d px high", logPixels,
          window->devicePixelRatioF(), window->width(), window->height(), window->fontMetrics().height());
    QCOMPARE(window->devicePixelRatioF(), logPixels / 96.0);
    QStringList clipped;
    int checked = 0;
    for (const QWidget *w : window->findChildren<QWidget *>()) {
        const auto *button = qobject_cast<const QPushButton *>(w);
        const auto *label = qobject_cast<const QLabel *>(w);
        const auto *edit = qobject_cast<const QLineEdit *>(w);
        const auto *box = qobject_cast<const QComboBox *>(w);
        const QString text = button  ? button->text()
                             : label ? label->text()
                             : edit  ? edit->text() + edit->placeholderText()
                             : box   ? box->currentText()
                                     : QString();
        if (!w->isVisibleTo(window.get()) || text.trimmed().isEmpty())
            continue;
        ++checked;
        const int height =
            qMax(w->hasHeightForWidth() ? w->heightForWidth(w->width()) : w->sizeHint().height(),
                 w->fontMetrics().height());
        if (w->height() < height || (button && w->width() < w->sizeHint().width()))
            clipped << QStringLiteral("%1 \"%2\": %3x%4, hint %5x%6")
                           .arg(w->objectName(), text.left(30))
                           .arg(w->width())
                           .arg(w->height())
                           .arg(w->sizeHint().width())
                           .arg(height);
    }
    QVERIFY(checked > 0);
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));
}

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    tst_Delivery test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_delivery_win.moc"
