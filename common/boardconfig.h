#pragma once

#include "common/signing.h"

#include <QString>

#include <memory>

class QSettings;

// Access to the two settings stores: the hand-edited Board_config.ini (read
// only, never written) and the per-user store that remembers file choices.
namespace BoardConfig {

// current directory + "/config/Board_config.ini"
QString path();

// Reads one key of Board_config.ini as a string; a missing file, section or
// key reads as the empty string. Opens and drops its own QSettings object.
QString readValue(const QString &section, const QString &key);

struct ChipAndOs
{
    QString chipType;
    QString osType;
};

// [chip] chip_type and [OS] OS_type, with the debug lines both windows write.
ChipAndOs readChipAndOs();

// [Records] Database: the fleet database's PostgreSQL connection string;
// empty when records stay in the local SQLite file.
QString recordsDatabase();

// [Watchdog] Silent_Seconds: how long a board's tool may print nothing before
// its run is stopped; 0 (also when absent or not a number) turns it off.
int watchdogSilentSeconds();

// [Metrics] Listen: where the multi-board window serves its live metrics
// ("127.0.0.1:9464"); empty (the default) serves none.
QString metricsListen();
// [Signing] Trusted_Keys (comma-separated base64 public keys or .pub files,
// relative to the config folder) and Require (true, yes or 1), keys read.
// Without the group signatures are not checked.
Signing::Policy signingPolicy();

// The per-user store: native format, user scope, organization "quor_combine",
// empty application name. Keys "lastPath" and "lastPath2".
std::unique_ptr<QSettings> userSettings();

inline constexpr char kLastPathKey[] = "lastPath";
inline constexpr char kLastPath2Key[] = "lastPath2";

} // namespace BoardConfig
