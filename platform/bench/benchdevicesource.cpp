#include "platform/bench/benchdevicesource.h"

#include "platform/logging.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

namespace {

// Longest socket path that fits sun_path (108 bytes with the terminating zero),
// with a margin.
constexpr int kMaxSocketPath = 100;
// A line longer than this is not an event; the connection is dropped.
constexpr int kMaxLine = 4096;

// Listens for the bench driver's connections and turns each received line
// into a deviceEvent. Event driven: the server and its sockets are watched by
// the event loop, nothing polls.
class BenchDeviceSource final : public DeviceEventSource
{
    Q_OBJECT
public:
    BenchDeviceSource(const QString &benchDir, QObject *parent) : DeviceEventSource(parent), m_server(this)
    {
        QDir().mkpath(benchDir);
        const QString path = BenchChannel::socketPath(benchDir);
        // A program that ended without cleaning up leaves its socket file;
        // the newest listener takes the bench over.
        QLocalServer::removeServer(path);
        m_server.setSocketOptions(QLocalServer::UserAccessOption);
        if (!m_server.listen(path))
            qCWarning(lcDevices) << "bench device events: cannot listen on" << path << m_server.errorString();
        connect(&m_server, &QLocalServer::newConnection, this, &BenchDeviceSource::acceptAll);
    }
    ~BenchDeviceSource() override { m_server.close(); }

private:
    Q_DISABLE_COPY(BenchDeviceSource)

    void acceptAll()
    {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readLines(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            // Data sent before the connection was taken is already waiting.
            readLines(socket);
        }
    }

    void readLines(QLocalSocket *socket)
    {
        QPointer<QLocalSocket> guard(socket);
        while (guard && socket->canReadLine()) {
            const QByteArray line = socket->readLine(kMaxLine + 1);
            if (!line.endsWith('\n')) {
                socket->abort();
                return;
            }
            handleLine(socket, QString::fromUtf8(line.chopped(1)));
        }
        if (guard && socket->bytesAvailable() > kMaxLine)
            socket->abort();
    }

    void handleLine(QLocalSocket *socket, const QString &line)
    {
        const int blank = line.indexOf(QLatin1Char(' '));
        const QString word = line.left(blank);
        const QString name = blank < 0 ? QString() : line.mid(blank + 1);
        Kind kind;
        if (word == QLatin1String(BenchChannel::kArrival)) {
            kind = Kind::Arrival;
        } else if (word == QLatin1String(BenchChannel::kRemoval)) {
            kind = Kind::Removal;
        } else {
            socket->write("unknown event\n");
            socket->flush();
            return;
        }
        // Acknowledge before handing the event on: the driver may exit while
        // the program reacts, and its next event is taken only after this one.
        socket->write(QByteArray(BenchChannel::kAck) + '\n');
        socket->flush();
        emit deviceEvent(kind, name);
    }

    QLocalServer m_server;
};

} // namespace

DeviceEventSource *createBenchDeviceSource(const QString &benchDir, QObject *parent)
{
    return new BenchDeviceSource(benchDir, parent);
}

QString BenchChannel::socketPath(const QString &benchDir)
{
    const QFileInfo info(benchDir);
    QString dir = info.canonicalFilePath();
    if (dir.isEmpty())
        dir = info.absoluteFilePath();
    const QString inside = dir + QStringLiteral("/events.sock");
    if (QFile::encodeName(inside).size() <= kMaxSocketPath)
        return inside;
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(dir), QCryptographicHash::Sha1).toHex();
    const QString name =
        QStringLiteral("/quor-bench-") + QString::fromLatin1(hash.left(16)) + QStringLiteral(".sock");
    const QString inTemp = QDir::tempPath() + name;
    // A long TMPDIR would not fit either; /tmp always does.
    return QFile::encodeName(inTemp).size() <= kMaxSocketPath ? inTemp : QStringLiteral("/tmp") + name;
}

#include "benchdevicesource.moc"
