#pragma once

#include "net/parameters.h"

#include <QString>

// The messages of the file exchange, built in one place so both sides agree on their keys.
//
//   owner                                                        receiver
//   offer loop (every 3 s) ------- newFileToDownload ---------->  pending download, popup
//   upload "sent" <--------------- confirmFileToSend -----------  (every copy of the offer is confirmed)
//                  <-------------- sendDataPacket --------------  at the size of the local file, smallest first
//   chunk in memory -------------- receiveDataPacket ---------->  appended at exactly that offset, ask again
//   upload row deleted <---------- fileTransferComplete --------  size on disk reached the offered size
//   deleteFileToSend ------------- removeFileToGet ------------>  download row deleted
//   upload row deleted <---------- removeFileToSend ------------  deleteFileToDownload
namespace Vesk::TransferMessages {

// The most bytes one packet carries: what a receiver asks for at a time and an owner serves at most.
constexpr qint64 kPacketSize = 1000000;

inline const QString kAction = QStringLiteral("action");
inline const QString kFileId = QStringLiteral("fileId");
inline const QString kFileName = QStringLiteral("fileName");
inline const QString kFileSize = QStringLiteral("fileSize");
inline const QString kNodeFrom = QStringLiteral("nodeFrom");
inline const QString kBufferSize = QStringLiteral("bufferSize");
inline const QString kFileSeek = QStringLiteral("fileSeek");
inline const QString kTimeSent = QStringLiteral("timeSent");
inline const QString kBinaryData = QStringLiteral("binaryData");

inline const QString kNewFileToDownload = QStringLiteral("newFileToDownload");
inline const QString kConfirmFileToSend = QStringLiteral("confirmFileToSend");
inline const QString kRemoveFileToGet = QStringLiteral("removeFileToGet");
inline const QString kRemoveFileToSend = QStringLiteral("removeFileToSend");
inline const QString kSendDataPacket = QStringLiteral("sendDataPacket");
inline const QString kReceiveDataPacket = QStringLiteral("receiveDataPacket");
inline const QString kFileTransferComplete = QStringLiteral("fileTransferComplete");

inline Parameters offer(const QString& fileId, const QString& fileName, qint64 fileSize, const QString& nodeFrom)
{
    return {{kAction, kNewFileToDownload},
            {kFileId, fileId},
            {kFileName, fileName},
            {kFileSize, fileSize},
            {kNodeFrom, nodeFrom}};
}

// confirmFileToSend, removeFileToGet, removeFileToSend and fileTransferComplete carry only the id.
inline Parameters aboutFile(const QString& action, const QString& fileId)
{
    return {{kAction, action}, {kFileId, fileId}};
}

inline Parameters packetRequest(const QString& fileId, qint64 fileSeek, qint64 bufferSize, qint64 timeSent)
{
    return {{kAction, kSendDataPacket},
            {kBufferSize, bufferSize},
            {kFileSeek, fileSeek},
            {kFileId, fileId},
            {kTimeSent, timeSent}};
}

inline Parameters packet(const QString& fileId, qint64 fileSeek, const QByteArray& bytes, const QVariant& timeSent)
{
    return {{kAction, kReceiveDataPacket},
            {kBinaryData, bytes},
            {kFileSeek, fileSeek},
            {kFileId, fileId},
            {kTimeSent, timeSent}};
}

} // namespace Vesk::TransferMessages
