#pragma once

#include <QApplication>

class QLocalServer;

namespace Vesk {

// One running instance per user session: the first instance listens on a local socket whose name is derived
// from the executable path, the user and the home folder; a later start finds it there and forwards a text.
class VeskSingleApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(VeskSingleApplication)

public:
    VeskSingleApplication(int& argc, char** argv);
    ~VeskSingleApplication() override;

    // True when another instance answers on the socket. Otherwise this instance takes the socket over (removing
    // one left behind by a crashed instance) and returns false.
    bool isRunning();
    bool sendMessage(const QString& text, int timeoutMs);

    QString serverName() const { return m_serverName; }

Q_SIGNALS:
    void messageReceived(const QString& message);

private:
    void acceptConnection();

    QString m_serverName;
    QLocalServer* m_server = nullptr;
};

} // namespace Vesk
