// File-type icons: a fixed table from suffix to icon category. There are no previews of file contents, so an
// image is shown with the image icon like any other file of its type.
#include "transfer/fileicons.h"

#include <QFileInfo>
#include <QHash>
#include <QUrl>

namespace Vesk {

namespace {

constexpr const char* kIconFolder = "qrc:/qml/Vesk/pics/fileicons/";
constexpr const char* kGenericCategory = "fileicon_bg";

const QHash<QString, QString>& suffixTable()
{
    static const QHash<QString, QString> table = [] {
        const struct
        {
            const char* category;
            QStringList suffixes;
        } groups[] = {
            {"movie", {"mp4", "avi", "divx", "mkv", "flv", "mpg", "wmv", "vob"}},
            {"image", {"jpg", "jpeg", "png", "tiff", "bmp", "gif"}},
            {"pdf", {"pdf"}},
            {"word", {"doc", "docx"}},
            {"excel", {"xls", "xlsx", "xlsm"}},
            {"compressed", {"zip", "rar"}},
            {"text", {"txt"}},
            {"music", {"mp3", "wma", "ogg"}},
            {"powerpoint", {"ppt", "pptx"}},
        };
        QHash<QString, QString> built;
        for (const auto& group : groups) {
            for (const QString& suffix : group.suffixes)
                built.insert(suffix, QString::fromLatin1(group.category));
        }
        return built;
    }();
    return table;
}

QString iconUrl(const QString& category)
{
    return QLatin1String(kIconFolder) + category + QLatin1String(".png");
}

} // namespace

QString FileIcons::placeholderUrl()
{
    return iconUrl(QString::fromLatin1(kGenericCategory));
}

QString FileIcons::urlForSuffix(const QString& fileSuffix)
{
    return iconUrl(suffixTable().value(fileSuffix.toLower(), QString::fromLatin1(kGenericCategory)));
}

} // namespace Vesk
