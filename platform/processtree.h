#pragma once

#include <QtGlobal>

// A started tool together with the processes it starts in turn: a vendor tool
// may leave a helper running, which must end with the tool. On Linux the tool
// leads a process group of its own; on Windows it is put into a job object
// that ends every process in it when it is closed.
namespace ProcessTree {

// Runs in the child between fork and exec (Linux): makes it lead a process
// group of its own. Nothing on Windows.
void prepareChild();

// Takes the started process pid into a tree of its own; 0 when that failed
// (the tool then runs as before, its helpers are not ended with it).
qintptr adopt(qint64 pid);

// Ends every process of the tree that is still running and frees the tree.
void end(qintptr tree);

} // namespace ProcessTree
