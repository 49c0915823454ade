#include "net/capabilityprobe.h"

#include "net/nativesocket.h"
#include "net/netaddress.h"
#include "net/netlogging.h"

#include <QMetaObject>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace Vesk {

QByteArray capabilityGreeting()
{
    return QByteArray(kCapabilityMagic, kCapabilityMagicSize) + char(kCapabilityVersion);
}

bool isCapabilityGreeting(const QByteArray& bytes)
{
    // A later version keeps the magic and reads at least what version 1 reads; what follows is its own.
    return bytes.size() > kCapabilityMagicSize &&
           bytes.startsWith(QByteArray::fromRawData(kCapabilityMagic, kCapabilityMagicSize)) &&
           quint8(bytes.at(kCapabilityMagicSize)) >= kCapabilityVersion;
}

TcpCapabilityProbe::TcpCapabilityProbe(quint16 port, int timeoutMs, QObject* parent)
    : QObject(parent), m_port(port), m_timeoutMs(timeoutMs)
{
}

void TcpCapabilityProbe::probe(const QHostAddress& address, Answer answer)
{
    if (m_running < kMaxConcurrent) {
        ++m_running;
        start(Question{address, std::move(answer)});
        return;
    }
    if (int(m_waiting.size()) >= kMaxWaiting) {
        QMetaObject::invokeMethod(
            this, [address, answer = std::move(answer)] { answer(addressText(address), false); }, Qt::QueuedConnection);
        return;
    }
    m_waiting.push_back(Question{address, std::move(answer)});
}

void TcpCapabilityProbe::start(Question question)
{
    auto* socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    // What the connection brought, up to the size of a greeting.
    auto received = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    const QString address = addressText(question.address);
    const auto finish = [this, socket, timer, received, done, address, answer = std::move(question.answer)] {
        if (*done)
            return;
        *done = true;
        timer->stop();
        received->append(socket->read(kCapabilityMagicSize + 1 - received->size()));
        const bool capable = isCapabilityGreeting(*received);
        if (!capable && !received->isEmpty())
            wrongGreeting(address);
        qCDebug(lcNet) << "capability probe of" << address << (capable ? "capable" : "plain");
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        // Answered from the event loop, so the caller never sees an answer inside a call of its own.
        QMetaObject::invokeMethod(
            this, [answer, address, capable] { answer(address, capable); }, Qt::QueuedConnection);
        finished();
    };
    connect(socket, &QTcpSocket::readyRead, this, [socket, received, finish] {
        received->append(socket->read(kCapabilityMagicSize + 1 - received->size()));
        if (received->size() > kCapabilityMagicSize)
            finish();
    });
    connect(socket, &QTcpSocket::disconnected, this, finish);
    connect(socket, &QTcpSocket::errorOccurred, this, finish);
    connect(timer, &QTimer::timeout, this, finish);
    timer->start(m_timeoutMs);
    socket->connectToHost(question.address, m_port, QIODevice::ReadOnly);
}

void TcpCapabilityProbe::finished()
{
    if (m_waiting.empty()) {
        --m_running;
        return;
    }
    // The next waiting question takes over the slot at once, so no new question overtakes it. Started from the
    // event loop: a probe that fails inside connectToHost must not recurse through here.
    Question next = std::move(m_waiting.front());
    m_waiting.pop_front();
    QMetaObject::invokeMethod(
        this, [this, next = std::move(next)]() mutable { start(std::move(next)); }, Qt::QueuedConnection);
}

void TcpCapabilityProbe::wrongGreeting(const QString& address)
{
    if (m_sinceLogged.isValid() && m_sinceLogged.elapsed() < kLogWindowMs) {
        ++m_unlogged;
        return;
    }
    QString line = QStringLiteral("Refused a capability greeting that is not ours, from %1: "
                                  "that program is sent the plain protocol")
                       .arg(address);
    if (m_unlogged > 0)
        line += QStringLiteral(" (and %1 more like it)").arg(m_unlogged);
    qCritical().noquote() << line;
    m_sinceLogged.start();
    m_unlogged = 0;
}

bool CapabilityServer::listenForProbes(quint16 port)
{
    return listen(QHostAddress::AnyIPv4, port);
}

void CapabilityServer::incomingConnection(qintptr descriptor)
{
    // Nine bytes always fit in a new connection's send buffer; closing then sends them before the end.
    const QByteArray greeting = capabilityGreeting();
    NativeSocket::send(descriptor, greeting.constData(), greeting.size());
    NativeSocket::close(descriptor);
}

} // namespace Vesk
