#pragma once

#include <QProcess>

// The process a download tool runs in. Its standard input is closed once it
// has started (a tool that ends with "press any key" ends instead of waiting
// for a key nobody presses), and whenever the tool ends (killed, crashed or
// done) or this object goes, the processes the tool started go with it.
class ToolProcess final : public QProcess
{
    Q_OBJECT

public:
    explicit ToolProcess(QObject *parent = nullptr);
    ~ToolProcess() override;

protected:
    void setupChildProcess() override;

private:
    void endTree();

    qintptr m_tree = 0;
};
