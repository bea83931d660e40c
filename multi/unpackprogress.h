#pragma once

#include "package/packageextractor.h"

#include <QString>

class QWidget;

// Unpacks an image package off the GUI thread while a modal progress dialog
// shows the MiB written of the MiB to write. The window keeps repainting; the
// call returns when the unpack has ended. The dialog's Cancel stops the unpack
// (the result then fails and the destination is left as it was: none, or the
// folder of the previous package).
UnpackResult unpackWithProgress(QWidget *parent, const QString &zip, const QString &dest,
                                const UnpackOptions &options = UnpackOptions());

// The MiB the dialog shows for a byte count: rounded up, so a started MiB counts.
int unpackMiB(qint64 bytes);
