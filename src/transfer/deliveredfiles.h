#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>

class QSettings;

namespace Vesk {

class Clock;
class Store;

// The files peers told us they received, newest first: {fileName, nodeTo, alias, at}. The owner's upload row goes
// once the peer has the file, so this history lives in the settings, where it survives a restart.
class DeliveredFiles : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DeliveredFiles)

public:
    static constexpr const char* kSettingsKey = "deliveredFiles";
    // The latest this many are kept.
    static constexpr int kKept = 500;

    DeliveredFiles(QSettings& settings, const Store& store, const Clock& clock, QObject* parent = nullptr);

    QVariantList files() const { return m_files; }
    void add(const QString& nodeTo, const QString& fileName);

Q_SIGNALS:
    void changed();

private:
    QSettings& m_settings;
    const Store& m_store;
    const Clock& m_clock;
    QVariantList m_files;
};

} // namespace Vesk
