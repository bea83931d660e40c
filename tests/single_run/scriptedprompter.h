#pragma once

// Answers the single-board page's questions in place of message boxes and
// records what was asked, in order.

#include "quorDownload/prompter.h"

#include <QStringList>
#include <QTest>

#include <functional>

class ScriptedPrompter final : public Prompter
{
public:
    QStringList asked; // notice texts, and "Download Failed!" for the question (answered Ignore)
    QList<Look> looks; // one per notice
    QList<int> probed; // what probe returned at each notice
    std::function<int()> probe;
    std::function<void()> whileOpen; // runs while a notice is open
    int openMs = 0;                  // a notice stays open this long, turning the event loop as a box does

    void notice(const QString &text, Look look) override
    {
        asked << text;
        looks << look;
        probed << (probe ? probe() : 0);
        if (whileOpen)
            whileOpen();
        if (openMs > 0)
            QTest::qWait(openMs);
    }
    Choice askAfterFailedStart() override
    {
        asked << QStringLiteral("Download Failed!");
        return Choice::Ignore;
    }
};
