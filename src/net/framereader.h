#pragma once

#include "net/parameters.h"
#include "net/wire.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace Vesk {

class BufferPool;

// The bytes that the readers of one listening port may hold together for frames they have not finished reading.
// A reader claims the length its header announces before it reads the payload, and gives it back when it is done
// with the frame or the connection; a frame whose length does not fit in what is left is refused. Claimed is not
// allocated: the memory behind a claim is only touched as its bytes arrive.
class FrameBudget
{
    Q_DISABLE_COPY(FrameBudget)

public:
    // One address holds at most this share of the limit: a single computer announcing large frames and
    // trickling them in cannot take the room of every other sender.
    static constexpr int kShareDivisor = 2;

    explicit FrameBudget(qint64 limit) : m_limit(limit) {}

    // Whether `bytes` more from the address fit, in all and in its share; if so they are held from now on.
    bool claim(qint64 bytes, const QHostAddress& from);
    void giveBack(qint64 bytes, const QHostAddress& from);
    qint64 held() const { return m_held; }
    qint64 heldFrom(const QHostAddress& from) const { return m_heldFrom.value(from); }
    qint64 limit() const { return m_limit; }

private:
    const qint64 m_limit;
    qint64 m_held = 0;
    QHash<QHostAddress, qint64> m_heldFrom; // addresses holding anything
};

// The receiving side of one message: reads one frame from an accepted connection, straight from its descriptor,
// and reports the message. The object owns the descriptor and deletes itself: as soon as the frame has been read,
// when the peer ends the connection or it fails, and at the latest kConnectionLifetimeMs after it was created.
// Create it with new and never hold it; deleting it (with its parent) ends the connection. The sending side is
// VeskTcpSocket.
class FrameReader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FrameReader)

public:
    // Payloads are read into buffers of `frames`, as far as `budget` has room for them. The budget must outlive
    // the reader: give the reader a parent that owns both, or keep the budget for the life of the program.
    FrameReader(BufferPool& frames, FrameBudget& budget, QObject* parent = nullptr);
    ~FrameReader() override;

    // Adopts the descriptor of an accepted connection and reads one frame from it. The peer's address is looked up
    // unless the caller knows it already.
    void setDescriptor(qintptr descriptor, const QHostAddress& peer = {});

Q_SIGNALS:
    void parametersRead(Vesk::Parameters parameters);

private Q_SLOTS:
    void processReadDataWithGoogleProtocolBuffers();
    void closeTCPSocket();

private:
    void releaseDescriptor();
    void releaseClaim();

    BufferPool& m_frames;
    FrameBudget& m_budget;
    qint64 m_claimed = 0;  // of the budget, for the frame being read
    qint32 blockSize = -1; // the payload length, -1 while no header has been read
    char m_header[kFrameHeaderSize] = {};
    int m_headerRead = 0;
    QByteArray m_payload;
    qint64 m_payloadRead = 0;
    qintptr m_descriptor = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer closeTimer;
    bool m_closed = false;
    QHostAddress m_address;
};

} // namespace Vesk
