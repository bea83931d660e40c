// The windows at the display's DPI as the registry sets it (LogPixels; tests/win/e2e_windows.sh
// runs this from the program folder at 144 and 192): Qt scales them to it, and no button, field
// or label with text is lower than its size hint or its font, nor a button narrower than its hint.

#include "app/windowfactory.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

namespace {

// What a widget needs to show its text whole, where the check applies.
QString clipping(const QWidget *w)
{
    QString text;
    bool checkWidth = false;
    if (const auto *button = qobject_cast<const QPushButton *>(w)) {
        text = button->text();
        checkWidth = true;
    } else if (const auto *label = qobject_cast<const QLabel *>(w)) {
        text = label->text();
    } else if (const auto *edit = qobject_cast<const QLineEdit *>(w)) {
        text = edit->text().isEmpty() ? edit->placeholderText() : edit->text();
    } else if (const auto *box = qobject_cast<const QComboBox *>(w)) {
        text = box->currentText();
    }
    if (text.trimmed().isEmpty())
        return QString();
    const QSize hint = w->sizeHint();
    const int needed = qMax(w->hasHeightForWidth() ? w->heightForWidth(w->width()) : hint.height(),
                            w->fontMetrics().height());
    if (w->height() >= needed && (!checkWidth || w->width() >= hint.width()))
        return QString();
    return QStringLiteral("%1 %2 \"%3\": %4x%5, needs %6x%7")
        .arg(QString::fromLatin1(w->metaObject()->className()), w->objectName(), text.left(30))
        .arg(w->width())
        .arg(w->height())
        .arg(checkWidth ? hint.width() : 0)
        .arg(needed);
}

} // namespace

class tst_DpiWin : public QObject
{
    Q_OBJECT

private slots:
    void windowsFitTheirText_data()
    {
        QTest::addColumn<int>("which");
        QTest::newRow("mode selection") << int(Startup::FirstWindow::Selection);
        QTest::newRow("single-board") << int(Startup::FirstWindow::Single);
        QTest::newRow("multi-board") << int(Startup::FirstWindow::Multiple);
    }
    void windowsFitTheirText()
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
            if (!w->isVisibleTo(window.get()))
                continue;
            ++checked;
            const QString why = clipping(w);
            if (!why.isEmpty())
                clipped << why;
        }
        QVERIFY(checked > 0);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));
    }
};

int main(int argc, char *argv[])
{
    enableHighDpiScaling();
    QApplication app(argc, argv);
    tst_DpiWin test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dpi_win.moc"
