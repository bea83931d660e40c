#pragma once

// Real minisign keys and signatures for the tests, made with the minisign command.

#include "common/signing.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

class MiniSigner
{
public:
    // A key pair without a password in folder/<name>.pub and folder/<name>.key.
    MiniSigner(const QString &folder, const QString &name)
        : m_pub(folder + '/' + name + ".pub"), m_key(folder + '/' + name + ".key")
    {
        m_ok = run({"-G", "-f", "-W", "-p", m_pub, "-s", m_key});
    }

    bool isValid() const { return m_ok; }
    QString pubFile() const { return m_pub; }
    // The base64 line of the public key, as Trusted_Keys takes it.
    QByteArray publicKey() const
    {
        QFile f(m_pub);
        return f.open(QIODevice::ReadOnly) ? f.readAll().split('\n').value(1).trimmed() : QByteArray();
    }
    // The key's id as the program names it; empty when the key cannot be read.
    QString keyId() const
    {
        Signing::PublicKey key;
        QString error;
        return Signing::parsePublicKey(publicKey(), &key, &error) ? Signing::keyIdText(key.keyId) : QString();
    }
    // Signs file into file.minisig (or sigFile); legacy: minisign -l.
    bool sign(const QString &file, const QString &trustedComment, bool legacy = false,
              const QString &sigFile = QString()) const
    {
        QStringList args{"-S", "-s", m_key, "-m", file, "-t", trustedComment};
        if (legacy)
            args << "-l";
        if (!sigFile.isEmpty())
            args << "-x" << sigFile;
        return run(args);
    }

private:
    static bool run(const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("minisign", args);
        p.closeWriteChannel();
        const bool ok =
            p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!ok)
            qWarning("minisign %s: %s", qPrintable(args.join(' ')), p.readAll().constData());
        return ok;
    }

    QString m_pub;
    QString m_key;
    bool m_ok = false;
};
