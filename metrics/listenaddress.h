#pragma once

#include <QString>

#include <optional>

// The [Metrics] Listen value: a literal IPv4 address or a bracketed IPv6
// address, a colon and a port ("127.0.0.1:9464", "[::1]:9464"). Host names are
// not taken (no resolver runs at start-up); port 0 asks for any free port.
namespace Metrics {

struct ListenAddress
{
    QString host; // as written, without brackets
    int port = 0;
    bool ipv6 = false;

    // The listening address in the HTTP server's own form ("127.0.0.1:9464", "[::1]:9464").
    QString serverForm() const;
};

std::optional<ListenAddress> parseListen(const QString &text);

} // namespace Metrics
