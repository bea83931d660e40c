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
        if (::geteuid() == 0 && QProcess::execute("chown", {"nobody:", m_dir.path()}))
            return QStringLiteral("cannot hand the temporary folder to nobody");
        if (!run("initdb", {"-D", data(), "-A", "trust", "-U", m_user, "--no-sync", "-EUTF8"}))
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
        return run("pg_ctl",
                   {"-D", data(), "-l", m_dir.filePath("log"), "-w", "-o",
                    QStringLiteral("-k %1 -c listen_addresses= -p 5432 -c fsync=off").arg(m_dir.path()),
                    "start"});
    }
    bool serverDown() { return run("pg_ctl", {"-D", data(), "-m", "fast", "stop"}); }
    QString connectionString(const QString &database = QStringLiteral("postgres")) const
    {
        return QStringLiteral("host=%1 port=5432 dbname=%2 user=%3").arg(m_dir.path(), database, m_user);
    }
    QString socketDir() const { return m_dir.path(); }
    // A login role that must give its password (the cluster's own user needs none).
    bool addPasswordRole(const QString &role, const QString &password)
    {
        QString literal = password;
        literal.replace('\'', "''");
        psql(QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'; GRANT ALL ON SCHEMA public TO %1")
                 .arg(role, literal));
        QFile hba(m_dir.filePath("data/pg_hba.conf")); // rewritten in place: owner and mode stay
        if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        hba.write(QStringLiteral("local all %1 scram-sha-256\nlocal all all trust\n").arg(role).toUtf8());
        hba.close();
        return run("pg_ctl", {"-D", data(), "reload"});
    }
    // The rows of a query through psql, unaligned, without headers.
    QString psql(const QString &sql)
    {
        QProcess p;
        p.start("psql", {"-h", m_dir.path(), "-U", m_user, "-d", "postgres", "-Atc", sql});
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

private:
    const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
    QString data() const { return m_dir.filePath("data"); }
    bool run(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        if (::geteuid() == 0)
            p.start("setpriv",
                    QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", kBin + program} +
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
