#pragma once

#include "net/wire.h"

#include <QtGlobal>

namespace Vesk {

// The bounds of the streams between Vesk computers: of each stream (see PeerStream) and of the table that holds
// them (see PeerStreams). The program runs with the defaults; tests shorten them.
struct StreamLimits
{
    // Of each stream.
    // A handshake (from the start of the connection) that has not ended this long after the stream was made fails.
    static constexpr int kHandshakeMs = 10000;
    // Bytes accepted for sending while earlier ones have not reached the connection; beyond, send() refuses and
    // sendReady() tells when half of it has gone. Eight file packets, enough to keep a fast link busy.
    static constexpr qint64 kMaxQueuedBytes = 8 * 1000 * 1000;
    static constexpr int kKeepAliveMs = 30000;
    static constexpr int kSilenceMs = 3 * kKeepAliveMs;
    // How long a node's stream has to show it is alive when a stream of the node from another address comes.
    static constexpr int kProbeMs = 3000;

    // Of the table.
    static constexpr int kMaxStreams = 512;   // established and in handshake together
    static constexpr int kMaxHandshakes = 64; // of those, accepted and not yet authenticated
    static constexpr int kMaxDials = 64;      // of those, dialled here and not yet authenticated: a budget of their
                                              // own, so that connections nobody completes cannot stop our dials
    // From one address: accepted connections in handshake, and streams in all. One computer cannot take the room
    // of all the others; when the table is full, a stream of the address holding the most gives way.
    static constexpr int kMaxHandshakesPerAddress = 4;
    static constexpr int kMaxStreamsPerAddress = 16;
    static constexpr int kFirstRedialMs = 1000;
    static constexpr int kLastRedialMs = 60000;
    static constexpr int kMaxRedials = 8;
    // Bytes held by all streams together, and how often that is looked at.
    static constexpr qint64 kMaxBufferedBytes = 256 * 1000 * 1000;
    static constexpr int kBudgetCheckMs = 250;

    int handshakeMs = kHandshakeMs;
    quint32 maxFrameSize = kMaxFrameSize;
    qint64 maxQueuedBytes = kMaxQueuedBytes;
    int keepAliveMs = kKeepAliveMs;
    int silenceMs = kSilenceMs;
    int probeMs = kProbeMs;

    int maxStreams = kMaxStreams;
    int maxHandshakes = kMaxHandshakes;
    int maxDials = kMaxDials;
    int maxHandshakesPerAddress = kMaxHandshakesPerAddress;
    int maxStreamsPerAddress = kMaxStreamsPerAddress;
    int firstRedialMs = kFirstRedialMs;
    int lastRedialMs = kLastRedialMs;
    int maxRedials = kMaxRedials;
    qint64 maxBufferedBytes = kMaxBufferedBytes;
    int budgetCheckMs = kBudgetCheckMs;
};

} // namespace Vesk
