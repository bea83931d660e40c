#include "multi/boardslot.h"

#include "multi/boardoutput.h"

#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>

#include <utility>

namespace {
const char kBarStyle[] = "QProgressBar {color: black;}";
const char kRedBarStyle[] = "QProgressBar::chunk {background-color: red;}";
} // namespace

void BoardSlot::setUp(int index, const Widgets &widgets)
{
    m_index = index;
    m_widgets = widgets;
    QProgressBar *bar = m_widgets.bar;
    bar->reset();
    bar->setValue(0);
    bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    bar->setStyleSheet(QLatin1String(kBarStyle));
}

QProcess *BoardSlot::takeProcess()
{
    return std::exchange(m_process, nullptr);
}

void BoardSlot::prepareLaunch()
{
    m_pending.clear();
    m_killedAfterNotFound = false;
    m_silenced = false;
}

QStringList BoardSlot::takeLines(const QByteArray &bytes)
{
    QStringList lines = splitBoardOutput(decodeToolOutput(m_pending.feed(bytes)));
    lines.removeLast();
    return lines;
}

bool BoardSlot::takeTail(QString *tail)
{
    if (m_handling || !m_pending.hasPending())
        return false;
    *tail = decodeToolOutput(m_pending.finish());
    return true;
}

void BoardSlot::showPicture(const QImage &image) const
{
    m_widgets.status->setPixmap(QPixmap::fromImage(image));
}

void BoardSlot::markBarRed() const
{
    QProgressBar *bar = m_widgets.bar;
    bar->setStyleSheet(QLatin1String(kRedBarStyle));
    bar->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    bar->setTextVisible(true);
    bar->update();
}

void BoardSlot::restoreBarStyle() const
{
    // Restores the black text and removes a red chunk. Qt re-polishes the bar
    // on every setStyleSheet, even an unchanged one, so only set it on change.
    QProgressBar *bar = m_widgets.bar;
    if (bar->styleSheet() != QLatin1String(kBarStyle))
        bar->setStyleSheet(QLatin1String(kBarStyle));
}

void BoardSlot::showPort(const QString &portText) const
{
    m_widgets.group->setTitle(QStringLiteral("Board ") + QString::number(number()) +
                              QStringLiteral("->USB Port: ") + portText);
}
