// The receiving end of a connection: whatever bytes a peer writes before closing, read by the frame reader from a
// real socket (one end of a local pair) until it reports a message or gives up.

#include "fuzzsupport.h"

#include "common/bufferpool.h"
#include "net/framereader.h"

#include <QEventLoop>
#include <QPointer>

#include <sys/socket.h>
#include <unistd.h>

using Vesk::Parameters;

QList<QByteArray> Fuzz::seeds()
{
    const Parameters chat{{"action", "newChatMessage"}, {"nodeFrom", "{n}"}, {"message", "hi"}, {"chatId", "{c}"}};
    const Parameters packet{{"action", "receiveDataPacket"}, {"fileId", "{f}"}, {"binaryData", QByteArray(5000, 'p')}};
    return {Vesk::parametersToFrame(chat), QByteArray(4, '\xff') + Vesk::parametersToFrame(chat),
            Vesk::parametersToFrame(packet), QByteArray::fromHex("00000001") + "x"};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Vesk::BufferPool frames;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return 0;
    // Inputs are kept within a socket's buffer, so the whole of it is there before the reader starts.
    const ssize_t written = write(ends[0], data, size);
    close(ends[0]);
    if (written != ssize_t(size)) {
        close(ends[1]);
        return 0;
    }
    QPointer<Vesk::FrameReader> reader = new Vesk::FrameReader(frames);
    int reports = 0;
    QObject::connect(reader, &Vesk::FrameReader::parametersRead, [&reports](const Parameters& message) {
        ++reports;
        Fuzz::check(message.contains("senderIPAddress"), "a read message says where it came from");
    });
    reader->setDescriptor(ends[1]);
    // The reader deletes itself once it is done, whatever the bytes were; a closed peer ends it at once.
    while (reader) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    Fuzz::check(reports <= 1, "one frame per connection");
    return 0;
}
