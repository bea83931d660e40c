#pragma once

#include <QIcon>
#include <QSize>
#include <QVector>

// The window icon of every window, ":/img/logo.ico".
//
// QIcon(path) decodes every image of an .ico file when it is made (ours holds
// 16, 32, 48 and 256 pixels, the last a PNG), and loads the image plugin for
// it, before the window is even shown. This icon reads the file's directory
// only and decodes an image when a size of it is first asked for (the system
// asks for one or two small ones), keeping it for later requests.
namespace WindowIcon {

QIcon logo();

// The sizes listed in an .ico file's directory, in file order (a width or
// height byte of 0 means 256). Empty when the data is not an icon directory.
QVector<QSize> icoSizes(const QByteArray &data);

// The index of the entry QIcon would pick for `wanted`: an exact size, else
// the smallest larger one, else the largest. -1 for no sizes.
int bestEntry(const QVector<QSize> &sizes, const QSize &wanted);

} // namespace WindowIcon
