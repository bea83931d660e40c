#pragma once

#include "app/startup.h"

#include <QWidget>

#include <functional>
#include <memory>

class QButtonGroup;
namespace Ui {
class quor_combine;
}

// The mode selection window, shown at start when Board_config.ini does not fix
// the burn mode. OK closes it and opens the chosen burning window, which this
// window keeps alive (it is hidden, never deleted, until the program ends).
class quor_combine final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(quor_combine)
public:
    // Builds the burning window chosen by OK; createFirstWindow unless a test
    // substitutes its own.
    using WindowMaker = std::function<std::unique_ptr<QWidget>(Startup::FirstWindow)>;

    explicit quor_combine(QWidget *parent = nullptr);
    explicit quor_combine(WindowMaker makeWindow, QWidget *parent = nullptr);
    ~quor_combine() override;

    // The burning window opened by OK; null before.
    QWidget *burningWindow() const { return m_burningWindow.get(); }

private slots:
    void on_Ok_Button_clicked();
    void on_Cancel_Button_clicked();

private:
    std::unique_ptr<Ui::quor_combine> ui;
    QButtonGroup *modeGroup = nullptr; // child of the window; Single id 0, Multiple id 1
    WindowMaker m_makeWindow;
    std::unique_ptr<QWidget> m_burningWindow;
};
