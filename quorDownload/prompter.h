#pragma once

#include <QString>

class QMessageBox;

// The questions and notices of the single-board page. The run asks through
// this interface, so the window shows message boxes and tests answer instead.
class Prompter
{
public:
    // Each look is a style sheet on the notice's label: size and colour.
    enum class Look { Plain, Wide, Good };
    enum class Choice { Retry, Ignore, Abort };

    virtual ~Prompter() = default;
    // A notice the operator acknowledges.
    virtual void notice(const QString &text, Look look) = 0;
    // "Download Failed!" after the tool could not be started.
    virtual Choice askAfterFailedStart() = 0;
};

// Modal message boxes without parent, title or icon.
class BoxPrompter final : public Prompter
{
public:
    void notice(const QString &text, Look look) override;
    Choice askAfterFailedStart() override;

    // The boxes as shown, for a look at them without showing them.
    static void setUpNotice(QMessageBox &box, const QString &text, Look look);
    static void setUpFailedStart(QMessageBox &box);
};
