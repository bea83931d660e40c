#include "common/boardconfig.h"

#include "common/toollaunch.h"
#include "platform/fileops.h"
#include "platform/logging.h"
#include "records/databasesetting.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>

namespace BoardConfig {

QString path()
{
    return ToolLaunch::toolDir() + QStringLiteral("Board_config.ini");
}

// Only a regular file is handed to QSettings: it would open a FIFO put in the
// file's place and wait for a writer for ever, at every start. Anything else
// reads like a missing file.
static std::unique_ptr<QSettings> openIni(const QString &file)
{
    if (!FileOps::isRegularFile(file))
        return nullptr;
    return std::make_unique<QSettings>(file, QSettings::IniFormat);
}

static QString readFrom(QSettings *ini, const QString &section, const QString &key)
{
    if (!ini)
        return QString();
    ini->beginGroup(section);
    const QString value = ini->value(key).toString();
    ini->endGroup();
    return value;
}

QString readValue(const QString &section, const QString &key)
{
    const std::unique_ptr<QSettings> ini = openIni(path());
    return readFrom(ini.get(), section, key);
}

ChipAndOs readChipAndOs()
{
    const QString file = path();
    qCDebug(lcStartup) << file;
    const std::unique_ptr<QSettings> ini = openIni(file);
    ChipAndOs values;
    values.chipType = readFrom(ini.get(), QStringLiteral("chip"), QStringLiteral("chip_type"));
    values.osType = readFrom(ini.get(), QStringLiteral("OS"), QStringLiteral("OS_type"));
    qCDebug(lcStartup) << "chip: " << values.chipType;
    qCDebug(lcStartup) << "OS_type: " << values.osType;
    return values;
}

QString recordsDatabase()
{
    // Read as written: QSettings would split the value at commas and drop the
    // blanks around them, changing a quoted password.
    QFile file;
    if (!FileOps::openRegularFile(file, path(), QIODevice::ReadOnly))
        return QString();
    return Records::rawIniValue(QString::fromUtf8(file.readAll()), QStringLiteral("Records"),
                                QStringLiteral("Database"));
}

int watchdogSilentSeconds()
{
    bool ok = false;
    const int seconds =
        readValue(QStringLiteral("Watchdog"), QStringLiteral("Silent_Seconds")).trimmed().toInt(&ok);
    return ok && seconds > 0 ? seconds : 0;
}

QString metricsListen()
{
    return readValue(QStringLiteral("Metrics"), QStringLiteral("Listen")).trimmed();
}

Signing::Policy signingPolicy()
{
    const std::unique_ptr<QSettings> ini = openIni(path());
    if (!ini)
        return Signing::Policy();
    // QSettings splits an unquoted value at commas into a list.
    const QVariant keys = ini->value(QStringLiteral("Signing/Trusted_Keys"));
    const QStringList keyList =
        keys.type() == QVariant::StringList ? keys.toStringList() : keys.toString().split(QLatin1Char(','));
    const QString require = ini->value(QStringLiteral("Signing/Require")).toString().trimmed().toLower();
    const bool required =
        require == QLatin1String("true") || require == QLatin1String("yes") || require == QLatin1String("1");
    return Signing::makePolicy(keyList, required, ToolLaunch::toolDir());
}

std::unique_ptr<QSettings> userSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("quor_combine"), QString());
}

} // namespace BoardConfig
