// A part of a folder's listing as a peer sends it. Every path it gives, appended to the receiving folder, must
// stay inside that folder, be clean already, and so be the same path on every reading.

#include "fuzzsupport.h"

#include "transfer/folderlisting.h"
#include "transfer/transfernames.h"

#include <QDir>

using namespace Vesk;

namespace {

void checkInside(const QString& path)
{
    const QString folder = QStringLiteral("/home/user/Downloads/photos");
    Fuzz::check(!path.isEmpty(), "a path names something");
    Fuzz::check(TransferNames::cleanRelativePath(path) == path, "a read path is clean already");
    Fuzz::check(QDir::cleanPath(folder + '/' + path).startsWith(folder + '/'), "a path stays inside the folder");
    for (const QString& component : path.split('/'))
        Fuzz::check(TransferNames::cleanPathComponent(component) == component, "each component is clean");
}

} // namespace

QList<QByteArray> Fuzz::seeds()
{
    FolderListing::Folder folder;
    folder.name = "photos";
    folder.files = {
        {"{f1}", "2024/beach.jpg", 10, 5, {}}, {"{f2}", "notes.txt", 20, 6, {}}, {"{f3}", "a/b/c/d.bin", 0, 7, {}}};
    folder.emptyFolders = {"2024/empty", "z"};
    folder.totalSize = 30;
    QList<QByteArray> all = FolderListing::parts("{d}", folder);
    for (int i = 0; i < 600; ++i)
        folder.files.append({QStringLiteral("{g%1}").arg(i), QStringLiteral("many/f%1").arg(i), 1, 1, {}});
    folder.totalSize += 600;
    all += FolderListing::parts("{m}", folder);
    return all;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FolderListing::Part part;
    QString why;
    if (!FolderListing::read(Fuzz::bytes(data, size), &part, &why)) {
        Fuzz::check(!why.isEmpty(), "a refusal says why");
        return 0;
    }
    Fuzz::check(!part.name.isEmpty() && TransferNames::cleanPathComponent(part.name) == part.name,
                "the folder's name is one clean component");
    Fuzz::check(part.part >= 0 && part.part < part.parts && part.entries.size() <= part.files, "counts in bounds");
    qint64 sum = 0;
    for (const FolderListing::File& file : part.entries) {
        checkInside(file.path);
        Fuzz::check(file.size >= 0 && (sum += file.size) <= part.totalSize, "sizes within the total");
        Fuzz::check(!file.id.isEmpty(), "a file has an id");
    }
    for (const QString& empty : part.emptyFolders)
        checkInside(empty);
    // The names themselves, as any text a peer could send.
    const QString text = QString::fromUtf8(Fuzz::bytes(data, size));
    const QString cleaned = TransferNames::cleanRelativePath(text);
    if (!cleaned.isNull())
        checkInside(cleaned);
    const QString local = TransferNames::safeLocalName(TransferNames::cleanOfferedName(text));
    Fuzz::check(TransferNames::staysInFolder("/home/user/Downloads/", local), "a received file stays in downloads");
    Fuzz::check(TransferNames::safeLocalName(local) == local, "a local name is clean already");
    return 0;
}
