#include "metrics/listenaddress.h"

#include <QAbstractSocket>
#include <QHostAddress>

namespace Metrics {

QString ListenAddress::serverForm() const
{
    return (ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':') +
           QString::number(port);
}

std::optional<ListenAddress> parseListen(const QString &text)
{
    const QString value = text.trimmed();
    const int colon = value.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return std::nullopt;
    QString host = value.left(colon);
    const QString portText = value.mid(colon + 1);
    bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 0 || port > 65535 || portText.startsWith(QLatin1Char('+')) ||
        portText.startsWith(QLatin1Char('-')))
        return std::nullopt;
    QHostAddress address;
    if (!address.setAddress(host))
        return std::nullopt;
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    // An IPv6 address needs its brackets, and an IPv4 one must not have them.
    if (ipv6 != bracketed || host.contains(QLatin1Char('%')))
        return std::nullopt;
    return ListenAddress{host, port, ipv6};
}

} // namespace Metrics
