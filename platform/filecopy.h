#pragma once

#include <QFileDevice>
#include <QString>

// Fast whole-file copy for multi-gigabyte images: the kernel copies with
// copy_file_range where the file systems allow it, else with sendfile, else a
// large-buffer read/write loop does. An existing destination is never overwritten, and a
// failed copy leaves no partial destination behind.
namespace FileCopy {

// Copies source to destination, creating the destination with exactly the
// given permissions (umask does not narrow them). On failure returns false
// and, when errorText is set, stores a short reason.
bool copyFile(const QString &source, const QString &destination, QString *errorText,
              QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ReadGroup | QFileDevice::ReadOther);

// The ways a copy can go, fastest first; Best tries them in this order and
// moves on when the file systems refuse one before anything was copied.
enum class Method { Best, SendFile, Buffer };

// Same as copyFile, with the way chosen (the benchmark and the tests use the
// slower ways directly).
bool copyFileUsing(Method method, const QString &source, const QString &destination, QString *errorText,
                   QFileDevice::Permissions permissions);

// Copies source into folder under name. The folder must be a real folder (a
// link in its place fails the copy) and the file is created relative to it.
// A source that is not a regular file (a FIFO, a device) fails at once.
bool copyFileInto(const QString &source, const QString &folder, const QString &name, QString *errorText,
                  QFileDevice::Permissions permissions);

} // namespace FileCopy
