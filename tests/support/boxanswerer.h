#pragma once

// Answers the modal message boxes a test provokes: every few milliseconds it
// looks for the active modal box, records what it showed and presses the
// button the test chose (the default button unless told otherwise).

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>

class BoxAnswerer final : public QObject
{
public:
    explicit BoxAnswerer(QObject *parent = nullptr) : QObject(parent)
    {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start(15);
    }
    std::function<QMessageBox::StandardButton()> choose; // NoButton: the default button
    std::function<int()> probe;                          // its value when a box is seen goes to probed
    QStringList texts, styleSheets;
    QList<int> probed;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_last)
            return;
        m_last = box;
        texts << box->text();
        styleSheets << box->styleSheet();
        probed << (probe ? probe() : 0);
        QAbstractButton *button = choose ? box->button(choose()) : nullptr;
        if (!button)
            button = box->defaultButton() ? static_cast<QAbstractButton *>(box->defaultButton())
                                          : box->buttons().value(0);
        if (button)
            button->click();
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_last;
};
