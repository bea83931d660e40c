#pragma once

// Answers the modal message boxes a test provokes: every few milliseconds it
// looks for the active modal box, records what it showed and presses the
// button the test chose (the default button unless told otherwise).

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <functional>

struct SeenBox
{
    QString text, informativeText, styleSheet;
    bool hasIcon = false;
    bool hasParent = false;
    int extra = 0; // whatever the test's probe returned when the box was seen
};

class BoxAnswerer final : public QObject
{
    Q_OBJECT
public:
    using Chooser = std::function<QMessageBox::StandardButton(const SeenBox &)>;

    explicit BoxAnswerer(QObject *parent = nullptr) : QObject(parent)
    {
        m_timer.setInterval(15);
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start();
    }
    void setChooser(Chooser c) { m_chooser = std::move(c); }
    void setProbe(std::function<int()> p) { m_probe = std::move(p); }
    // Keeps each box open this long before answering it.
    void setDelayMs(int ms) { m_delayMs = ms; }
    QList<SeenBox> boxes;
    QStringList texts() const
    {
        QStringList t;
        for (const SeenBox &b : boxes)
            t << b.text;
        return t;
    }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == m_last)
            return;
        if (box != m_pending) {
            m_pending = box;
            m_open.start();
        }
        if (m_open.elapsed() < m_delayMs)
            return;
        m_last = box;
        SeenBox seen;
        seen.text = box->text();
        seen.informativeText = box->informativeText();
        seen.styleSheet = box->styleSheet();
        seen.hasIcon = box->icon() != QMessageBox::NoIcon;
        seen.hasParent = box->parent() != nullptr;
        if (m_probe)
            seen.extra = m_probe();
        boxes << seen;
        QAbstractButton *button = nullptr;
        if (m_chooser) {
            const QMessageBox::StandardButton which = m_chooser(seen);
            if (which != QMessageBox::NoButton)
                button = box->button(which);
        }
        if (!button)
            button = box->defaultButton() ? box->defaultButton() : box->buttons().value(0);
        if (button)
            button->click();
    }

    QTimer m_timer;
    QPointer<QMessageBox> m_last;
    QPointer<QMessageBox> m_pending;
    QElapsedTimer m_open;
    int m_delayMs = 0;
    Chooser m_chooser;
    std::function<int()> m_probe;
};
