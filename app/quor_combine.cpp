#include "app/quor_combine.h"

#include "app/windowfactory.h"
#include "resources/windowicon.h"
#include "ui_quor_combine.h"

#include <QApplication>
#include <QButtonGroup>

namespace {
constexpr int kSingleId = 0;
constexpr int kMultipleId = 1;
} // namespace

quor_combine::quor_combine(QWidget *parent) : quor_combine(&createFirstWindow, parent) {}

quor_combine::quor_combine(WindowMaker makeWindow, QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::quor_combine>()), m_makeWindow(std::move(makeWindow))
{
    // The window's style sheet before its widgets: set afterwards, it would
    // restyle and polish every widget made so far a second time.
    setStyleSheet(QStringLiteral("QMainWindow::titleBar { height: 30px; }"));
    ui->setupUi(this);
    setWindowIcon(WindowIcon::logo());
    setWindowTitle(tr("Quor Download tool Selection"));
    modeGroup = new QButtonGroup(this);
    modeGroup->addButton(ui->Single_radio, kSingleId);
    modeGroup->addButton(ui->Multiple_radio, kMultipleId);
    ui->Single_radio->setChecked(true);
}

quor_combine::~quor_combine() = default;

void quor_combine::on_Ok_Button_clicked()
{
    Startup::FirstWindow which;
    switch (modeGroup->checkedId()) {
    case kSingleId:
        which = Startup::FirstWindow::Single;
        break;
    case kMultipleId:
        which = Startup::FirstWindow::Multiple;
        break;
    default:
        return;
    }
    // This window closes before the burning window is built, so for a moment
    // no window is visible; events processed meanwhile (a constructor may do
    // so) must not end the application.
    const bool quitOnLastWindowClosed = QGuiApplication::quitOnLastWindowClosed();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    close();
    m_burningWindow = m_makeWindow(which);
    m_burningWindow->show();
    QGuiApplication::setQuitOnLastWindowClosed(quitOnLastWindowClosed);
}

void quor_combine::on_Cancel_Button_clicked()
{
    close();
}
