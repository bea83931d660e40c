#pragma once

#include <QString>

// Decides whether a device-interface name (as Windows reports it on arrival or
// removal, or as the Linux source shapes it) belongs to the download device:
// the name is not empty, does not contain "USBSTOR", and the second "#" part
// has a first "&" part ending in the vendor id and a second "&" part ending in
// the product id (case-sensitive). Names with fewer "#" or "&" parts than that
// are rejected, never read out of bounds.
bool isDownloadDeviceName(const QString &name);
