#pragma once

#include "transfer/transferoutbox.h"

#include <QList>
#include <QString>

// Records every message the file exchange sends. While `deliver` is false nothing reaches the wire, so a test
// sees exactly what the controller would have sent and no answer comes back.
class TransferRecorder
{
public:
    struct Sent
    {
        QString nodeId;
        Vesk::TransferOutbox::Parameters parameters;
        QString action() const { return parameters.value(QStringLiteral("action")).toString(); }
        QVariant value(const char* key) const { return parameters.value(QLatin1String(key)); }
    };

    TransferRecorder()
    {
        Vesk::TransferOutbox::setObserver([this](const QString& nodeId, const Vesk::TransferOutbox::Parameters& p) {
            sent.append({nodeId, p});
            return deliver;
        });
    }
    ~TransferRecorder() { Vesk::TransferOutbox::setObserver({}); }

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
