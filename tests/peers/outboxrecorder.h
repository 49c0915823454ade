#pragma once

#include "peers/peeroutbox.h"

#include <QHostAddress>
#include <QList>
#include <QString>

// Records every message the peers code sends. While `deliver` is false nothing reaches the wire, so a test sees
// exactly what the controller would have sent and no answer comes back.
class OutboxRecorder
{
public:
    struct Sent
    {
        QHostAddress address;
        Vesk::PeerOutbox::Parameters parameters;
        QString action() const { return parameters.value(QStringLiteral("action")).toString(); }
    };

    OutboxRecorder()
    {
        Vesk::PeerOutbox::setObserver([this](const QHostAddress& address, const Vesk::PeerOutbox::Parameters& p) {
            sent.append({address, p});
            return deliver;
        });
    }
    ~OutboxRecorder() { Vesk::PeerOutbox::setObserver({}); }

    QList<Sent> withAction(const QString& action) const
    {
        QList<Sent> found;
        for (const Sent& s : sent) {
            if (s.action() == action)
                found.append(s);
        }
        return found;
    }

    void clear() { sent.clear(); }

    QList<Sent> sent;
    bool deliver = false;
};
