#pragma once

// A throw-away PostgreSQL server: its own cluster in a temporary folder,
// reached only through a Unix socket there. Run as the current user, or as
// "nobody" when that is root (the server refuses root).

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

class PgCluster
{
public:
    // Empty when the server runs; otherwise why it could not be made.
    QString start()
    {
        if (!QFile::exists(kBin + QStringLiteral("initdb")))
            return QStringLiteral("PostgreSQL 15 server programs not installed (Debian package postgresql)");
        m_user = ::geteuid() == 0 ? QStringLiteral("nobody") : qEnvironmentVariable("USER");
        if (::geteuid() == 0 &&
            QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody:"), m_dir.path()}))
            return QStringLiteral("cannot hand the temporary folder to nobody");
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), data(), QStringLiteral("-A"), QStringLiteral("trust"),
                  QStringLiteral("-U"), m_user, QStringLiteral("--no-sync"), QStringLiteral("-EUTF8")}))
            return QStringLiteral("initdb failed: ") + m_output;
        m_running = serverUp();
        return m_running ? QString() : QStringLiteral("the server did not start: ") + m_output;
    }
    ~PgCluster()
    {
        if (m_running)
            serverDown();
    }
    bool serverUp()
    {
        return run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), data(), QStringLiteral("-l"), m_dir.filePath(QStringLiteral("log")),
                    QStringLiteral("-w"), QStringLiteral("-o"),
                    QStringLiteral("-k %1 -c listen_addresses= -p 5432 -c fsync=off").arg(m_dir.path()),
                    QStringLiteral("start")});
    }
    bool serverDown()
    {
        return run(QStringLiteral("pg_ctl"), {QStringLiteral("-D"), data(), QStringLiteral("-m"),
                                              QStringLiteral("fast"), QStringLiteral("stop")});
    }
    QString connectionString(const QString &database = QStringLiteral("postgres")) const
    {
        return QStringLiteral("host=%1 port=5432 dbname=%2 user=%3").arg(m_dir.path(), database, m_user);
    }
    // The rows of a query through psql, unaligned, without headers.
    QString psql(const QString &sql)
    {
        QProcess p;
        p.start(QStringLiteral("psql"),
                {QStringLiteral("-h"), m_dir.path(), QStringLiteral("-U"), m_user, QStringLiteral("-d"),
                 QStringLiteral("postgres"), QStringLiteral("-Atc"), sql});
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

private:
    const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
    QString data() const { return m_dir.filePath(QStringLiteral("data")); }
    bool run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        if (::geteuid() == 0)
            p.start(QStringLiteral("setpriv"),
                    QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                QStringLiteral("--clear-groups"), kBin + program} +
                        args);
        else
            p.start(kBin + program, args);
        const bool finished = p.waitForFinished(60000);
        m_output = QString::fromLocal8Bit(p.readAll());
        return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_user;
    QString m_output;
    bool m_running = false;
};
