#pragma once

// The contract with the external download tool: its file name, option letters,
// the output lines the windows react to and the shape of its port listing.
// Both burning windows and the simulated tool under tools/ use these names, so
// the vocabulary lives in exactly one place. Plain char arrays keep it usable
// from code that does not link Qt.

namespace ToolContract {

inline constexpr char kExecutable[] = "usb_dl.exe";

// The tool and the settings file live in this folder under the working folder.
inline constexpr char kConfigFolder[] = "config";

// Options, each followed by its value (none for the listing).
inline constexpr char kOptList[] = "-r";
inline constexpr char kOptChip[] = "-c";
inline constexpr char kOptOs[] = "-s";
inline constexpr char kOptImages[] = "-i";
inline constexpr char kOptPort[] = "-p";

// Download output, tested as case-sensitive substrings.
inline constexpr char kNotFound[] = "usb device not found";
inline constexpr char kNotFoundAlt[] = "device not foundce";
inline constexpr char kWaiting[] = "Waiting for USB device connection";
inline constexpr char kWaitingSingle[] = "Waiting for USB device connection:";
inline constexpr char kCommFailed[] = "usb commuicate failed!!!";
inline constexpr char kTooLargeErr[] = "[ERR] updating file is too large";
inline constexpr char kTooLarge[] = "updating file is too large";
inline constexpr char kDownloadFailed[] = "USB download failed";
inline constexpr char kUpdatedSize[] = "updated size";
inline constexpr char kBreak[] = "break";
inline constexpr char kComplete[] = "download complete";
inline constexpr char kUsbComplete[] = "USB download complete";

// Port listing: CRLF lines, two header lines, then one line per board whose
// fields are separated by ", "; one field ends in the level character, one in
// the number character.
inline constexpr char kLineEnd[] = "\r\n";
inline constexpr int kListingHeaderLines = 2;
inline constexpr char kFieldSeparator[] = ", ";
inline constexpr char kPortLevelField[] = "portlevel";
inline constexpr char kPortNumField[] = "portnum";

// USB identity of the download device.
inline constexpr char kVendorId[] = "7352";
inline constexpr char kProductId[] = "1000";

} // namespace ToolContract
