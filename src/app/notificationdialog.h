#pragma once

#include "app/offerburst.h"

#include <QDialog>
#include <QString>
#include <QTimer>

class QGridLayout;
class QLabel;
class QPushButton;
class QTextEdit;

namespace Vesk {

class Random;

// A small always-on-top window that tells the user about a peer's chat message ("chat") or file offer
// ("download") without taking the focus. It fades out by itself unless the user is working in it or the pointer
// rests on it; further messages from the same peer are appended and make it opaque again. It deletes itself when
// closed. Its button only says what the user asked for; the controller acts on it.
class NotificationDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(NotificationDialog)

public:
    static constexpr int kFadeIntervalMs = 100;
    static constexpr float kFadeStep = 0.01f;
    static constexpr float kCloseOpacity = 0.2f;
    static constexpr int kPictureSide = 75;
    // The newest messages shown: a peer writing without pause keeps the popup open, and each message used to lay
    // out every one before it again (and keep it).
    static constexpr int kMaxMessages = 20;

    // alias and avatarPath show who it is about; random places it on the screen.
    NotificationDialog(const QString& nodeId, const QString& kind, const QString& alias, const QString& avatarPath,
                       Vesk::Random& random, QWidget* parent = nullptr);

    // Appends one message as a new paragraph. The text is rendered as rich text: whatever a peer supplied must
    // already be escaped (Vesk::plainTextToHtml).
    void appendMessage(const QString& text);
    // One more file or folder of the peer's current burst of offers: the popup says who offers what, in the
    // program's words ("Ann offers a.pdf and 2 more"), rather than listing every file.
    void addOffer(const OfferedItem& item);
    int offerCount() const { return m_offers.count(); }

    // Shows the popup, or, while a modal dialog is open, waits until it is gone: a popup never covers a question
    // the user has to answer.
    void present();

    QString nodeId() const { return m_nodeId; }
    QString kind() const { return m_kind; }
    bool isDownloadKind() const;
    float opacity() const { return m_opacity; }
    QTextEdit* textView() const { return m_textView; }
    QPushButton* actionButton() const { return m_actionButton; }
    QLabel* aliasLabel() const { return m_aliasLabel; }
    bool isFading() const { return m_fadeTimer.isActive(); }

    // A top-left corner that keeps a window of the given size inside the area, chosen with the given
    // pseudo-random sequence. A window larger than the area is pinned to the area's top or left edge.
    static QPoint randomPosition(const QRect& area, const QSize& size, Vesk::Random& random);

Q_SIGNALS:
    void replyRequested(const QString& nodeId);
    void downloadAllRequested(const QString& nodeId);

public Q_SLOTS:
    void decreaseOpacity();
    void replyClicked();
    void downloadAllClicked();

private:
    void fitText();
    void insertMessage(const QString& text);

    QTimer m_fadeTimer;
    float m_opacity = 1.0f;
    QString m_nodeId;
    QString m_kind;
    QGridLayout* m_grid = nullptr;
    QTextEdit* m_textView = nullptr;
    QStringList m_messages; // shown, oldest first
    QPushButton* m_actionButton = nullptr;
    QLabel* m_aliasLabel = nullptr;
    QString m_alias;
    OfferBurst m_offers;
    bool m_waitingForModal = false;
};

} // namespace Vesk
