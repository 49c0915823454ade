#pragma once

#include <QObject>

class QSettings;

namespace Vesk {

// The user's choices kept in the settings, as the settings menu shows and flips them. Each toggle stores the new
// value at once.
class Preferences : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(Preferences)

    Q_PROPERTY(bool startOnLogin READ startOnLogin NOTIFY startOnLoginChanged)
    // Whether peers' messages and offers pop up (on unless turned off).
    Q_PROPERTY(bool showNotices READ showNotices NOTIFY showNoticesChanged)
    Q_PROPERTY(bool automaticallyOpenDownloadedFiles READ automaticallyOpenDownloadedFiles NOTIFY
                   automaticallyOpenDownloadedFilesChanged)
    // Whether downloads queued when the program stopped are queued again at the next start (on by default).
    Q_PROPERTY(bool resumeInterruptedDownloads READ resumeInterruptedDownloads NOTIFY resumeInterruptedDownloadsChanged)

public:
    static constexpr const char* kRunOnStartupKey = "runOnStartup";
    static constexpr const char* kShowNoticesKey = "showNotices";
    static constexpr const char* kAutoOpenKey = "automaticallyOpenDownloadedFiles";
    static constexpr const char* kResumeKey = "resumeInterruptedDownloads";

    explicit Preferences(QSettings& settings, QObject* parent = nullptr);

    bool startOnLogin() const;
    // Stores the choice and registers (or removes) the program's start at login to match.
    void runOnStartup(bool run);
    Q_INVOKABLE void toggleStartOnLogin();
    bool showNotices() const;
    Q_INVOKABLE void toggleShowNotices();
    bool automaticallyOpenDownloadedFiles() const;
    Q_INVOKABLE void toggleAutomaticallyOpenDownloadedFiles();
    bool resumeInterruptedDownloads() const;
    Q_INVOKABLE void toggleResumeInterruptedDownloads();

Q_SIGNALS:
    void startOnLoginChanged();
    void showNoticesChanged();
    void automaticallyOpenDownloadedFilesChanged();
    void resumeInterruptedDownloadsChanged();

private:
    bool value(const char* key, bool absent) const;
    void store(const char* key, bool value);

    QSettings& m_settings;
};

} // namespace Vesk
