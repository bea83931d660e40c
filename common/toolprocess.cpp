#include "common/toolprocess.h"

#include "platform/processtree.h"

ToolProcess::ToolProcess(QObject *parent) : QProcess(parent)
{
    connect(this, &QProcess::started, this, [this] {
        endTree(); // a tree left from an earlier start of this object
        m_tree = ProcessTree::adopt(processId());
        closeWriteChannel();
    });
    connect(this, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            endTree();
    });
}

ToolProcess::~ToolProcess()
{
    // QProcess's destructor may still report the state; this part is gone then.
    disconnect(this, nullptr, this, nullptr);
    endTree();
}

void ToolProcess::setupChildProcess()
{
    ProcessTree::prepareChild();
}

void ToolProcess::endTree()
{
    ProcessTree::end(m_tree);
    m_tree = 0;
}
