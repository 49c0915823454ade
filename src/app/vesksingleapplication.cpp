#include "app/vesksingleapplication.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace Vesk {

namespace {
constexpr int kConnectTimeoutMs = 500;
constexpr qint64 kMaxMessageBytes = 64 * 1024;
} // namespace

VeskSingleApplication::VeskSingleApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    QByteArray user = qgetenv("USER");
    if (user.isEmpty())
        user = qgetenv("USERNAME");
    const QByteArray key =
        QCoreApplication::applicationFilePath().toUtf8() + '\n' + user + '\n' + QDir::homePath().toUtf8();
    m_serverName = QStringLiteral("vesk-") +
                   QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(20));
}

VeskSingleApplication::~VeskSingleApplication() = default;

bool VeskSingleApplication::isRunning()
{
    if (m_server)
        return false;
    QLocalSocket probe;
    probe.connectToServer(m_serverName);
    if (probe.waitForConnected(kConnectTimeoutMs)) {
        probe.disconnectFromServer();
        return true;
    }
    // Nobody answered: a socket file left by a killed instance would make listen() fail, so clear it first.
    QLocalServer::removeServer(m_serverName);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_serverName))
        qWarning("single instance: cannot listen on %s: %s", qPrintable(m_serverName),
                 qPrintable(m_server->errorString()));
    connect(m_server, &QLocalServer::newConnection, this, &VeskSingleApplication::acceptConnection);
    return false;
}

bool VeskSingleApplication::sendMessage(const QString& text, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_serverName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(text.toUtf8());
    const bool written = socket.waitForBytesWritten(timeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return written;
}

void VeskSingleApplication::acceptConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
            buffer->append(socket->read(kMaxMessageBytes - buffer->size()));
            if (buffer->size() >= kMaxMessageBytes)
                socket->abort();
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
            buffer->append(socket->readAll().left(kMaxMessageBytes - buffer->size()));
            socket->deleteLater();
            Q_EMIT messageReceived(QString::fromUtf8(*buffer));
        });
    }
}

} // namespace Vesk
