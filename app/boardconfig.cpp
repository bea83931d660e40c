#include "app/boardconfig.h"

#include <QDebug>
#include <QDir>
#include <QSettings>

namespace BoardConfig {

QString path()
{
    return QDir::currentPath() + QStringLiteral("/config/") + QStringLiteral("Board_config.ini");
}

static QString readFrom(QSettings &ini, const QString &section, const QString &key)
{
    ini.beginGroup(section);
    const QString value = ini.value(key).toString();
    ini.endGroup();
    return value;
}

QString readValue(const QString &section, const QString &key)
{
    QSettings ini(path(), QSettings::IniFormat);
    return readFrom(ini, section, key);
}

ChipAndOs readChipAndOs()
{
    const QString file = path();
    qDebug() << file;
    QSettings ini(file, QSettings::IniFormat);
    ChipAndOs values;
    values.chipType = readFrom(ini, QStringLiteral("chip"), QStringLiteral("chip_type"));
    values.osType = readFrom(ini, QStringLiteral("OS"), QStringLiteral("OS_type"));
    qDebug() << "chip: " << values.chipType;
    qDebug() << "OS_type: " << values.osType;
    return values;
}

std::unique_ptr<QSettings> userSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("quor_combine"), QString());
}

} // namespace BoardConfig
