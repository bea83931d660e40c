#pragma once

// A throw-away PostgreSQL server for one test program: its own cluster in a
// temporary folder, reached only through a Unix socket there. Run as the
// current user, or as "nobody" when that is root (the server refuses root).

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <unistd.h>

class PgCluster
{
public:
    static QString binDir() { return QStringLiteral("/usr/lib/postgresql/15/bin"); }

    // Empty when the cluster runs; otherwise why it could not be made.
    QString start()
    {
        if (!QFile::exists(binDir() + QStringLiteral("/initdb")))
            return QStringLiteral("PostgreSQL 15 server programs not installed (Debian package postgresql)");
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        if (::geteuid() == 0) {
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                return QStringLiteral("running as root without setpriv to become nobody");
            m_user = QStringLiteral("nobody");
            if (QProcess::execute(QStringLiteral("chown"), {QStringLiteral("nobody:"), m_dir.path()}) != 0)
                return QStringLiteral("cannot hand the temporary folder to nobody");
        } else {
            m_user = QString::fromLocal8Bit(qgetenv("USER"));
            if (m_user.isEmpty())
                m_user = QStringLiteral("postgres");
        }
        QString output;
        if (!run(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), dataDir(), QStringLiteral("-A"), QStringLiteral("trust"),
                  QStringLiteral("-U"), m_user, QStringLiteral("--no-sync"), QStringLiteral("-E"),
                  QStringLiteral("UTF8")},
                 &output))
            return QStringLiteral("initdb failed: ") + output;
        if (!serverUp())
            return QStringLiteral("the server did not start: ") + m_lastOutput;
        m_initialized = true;
        return QString();
    }

    ~PgCluster()
    {
        if (m_initialized)
            serverDown();
    }

    bool serverUp()
    {
        return run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
                    m_dir.filePath(QStringLiteral("log")), QStringLiteral("-w"), QStringLiteral("-o"),
                    QStringLiteral("-k %1 -c listen_addresses= -p 5432 -c fsync=off").arg(m_dir.path()),
                    QStringLiteral("start")},
                   &m_lastOutput);
    }
    bool serverDown()
    {
        return run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), dataDir(), QStringLiteral("-m"), QStringLiteral("fast"),
                    QStringLiteral("-w"), QStringLiteral("stop")},
                   &m_lastOutput);
    }

    QString connectionString(const QString &database = QStringLiteral("postgres")) const
    {
        return QStringLiteral("host=%1 port=5432 dbname=%2 user=%3").arg(m_dir.path(), database, m_user);
    }

    // Runs SQL through psql; the output rows unaligned, without headers.
    QString psql(const QString &sql, const QString &database = QStringLiteral("postgres"))
    {
        QProcess p;
        p.start(QStringLiteral("psql"),
                {QStringLiteral("-h"), m_dir.path(), QStringLiteral("-U"), m_user, QStringLiteral("-d"),
                 database, QStringLiteral("-At"), QStringLiteral("-c"), sql});
        p.waitForFinished(30000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

private:
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

    bool run(const QString &program, const QStringList &args, QString *output)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setWorkingDirectory(m_dir.path());
        if (m_user == QLatin1String("nobody") && ::geteuid() == 0)
            p.start(QStringLiteral("setpriv"),
                    QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                QStringLiteral("--clear-groups"), binDir() + QLatin1Char('/') + program} +
                        args);
        else
            p.start(binDir() + QLatin1Char('/') + program, args);
        const bool finished = p.waitForFinished(60000);
        *output = QString::fromLocal8Bit(p.readAll());
        return finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QTemporaryDir m_dir;
    QString m_user;
    QString m_lastOutput;
    bool m_initialized = false;
};
