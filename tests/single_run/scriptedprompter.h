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
    static constexpr char kFailedStart[] = "Download Failed!";

    QStringList asked; // notice texts, and kFailedStart for the question
    QList<Look> looks; // one per notice
    QList<int> probed; // what probe returned at each question, in order
    std::function<int()> probe;
    std::function<void(const QString &text)> whileOpen; // runs while a notice is open
    std::function<Choice()> failedStart = [] { return Choice::Ignore; };
    int openMs = 0; // a notice stays open this long, turning the event loop as a box does

    void notice(const QString &text, Look look) override
    {
        record(text);
        looks << look;
        if (whileOpen)
            whileOpen(text);
        if (openMs > 0)
            QTest::qWait(openMs);
    }
    Choice askAfterFailedStart() override
    {
        record(QLatin1String(kFailedStart));
        return failedStart();
    }

private:
    void record(const QString &text)
    {
        asked << text;
        probed << (probe ? probe() : 0);
    }
};
