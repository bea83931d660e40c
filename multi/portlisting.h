#pragma once

#include "multi/portrecord.h"

#include <QByteArray>
#include <QVector>

// Parses the output of the tool's port listing: UTF-8, CRLF lines, the text
// after the last CRLF dropped, lines taken from the end while at least three
// remain (so the two header lines are never read). Each line's ", " fields are
// searched for "portlevel" and "portnum", whose last characters give the level
// and the number (a later field wins). A record already listed is skipped with
// the diagnostic "usb port exist !"; a record lacking level or number is
// skipped. The result is in reverse order of the lines.
QVector<PortRecord> parsePortListing(const QByteArray &output);
