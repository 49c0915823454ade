#include "app/notificationdialog.h"

#include "app/platform.h"
#include "common/random.h"

#include <QApplication>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QtMath>
#include <QTextEdit>

namespace Vesk {

namespace {

constexpr const char* kDownloadKind = "download";
constexpr const char* kLogo = ":/qml/Vesk/pics/ui/img-logo.png";
constexpr int kTextViewWidth = 300;
// The text view grows with its text up to this height, then scrolls.
constexpr int kTextViewMaxHeight = 220;
constexpr qreal kMessageSpacing = 8;

// Peer rows may hold a resource URL ("qrc:/...") as well as a file path.
QPixmap loadPicture(const QString& path)
{
    if (path.isEmpty())
        return {};
    const QString file = path.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive) ? path.mid(3) : path;
    return QPixmap(file);
}

QLabel* pictureLabel(const QString& path, QWidget* parent)
{
    auto* label = new QLabel(parent);
    const QPixmap picture = loadPicture(path);
    if (!picture.isNull())
        label->setPixmap(picture.scaled(NotificationDialog::kPictureSide, NotificationDialog::kPictureSide,
                                        Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return label;
}

int randomIn(int low, int high, Vesk::Random& random)
{
    if (high < low)
        return low;
    return low + int(random.next() % quint32(high - low + 1));
}

} // namespace

NotificationDialog::NotificationDialog(const QString& nodeId, const QString& kind, const QString& alias,
                                       const QString& avatar, Vesk::Random& random, QWidget* parent)
    : QDialog(parent), m_nodeId(nodeId), m_kind(kind), m_alias(alias)
{
    setWindowOpacity(1.0);
    setAttribute(Qt::WA_DeleteOnClose);
    // A tool window: above the others, but no button of its own in the taskbar.
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    Platform::keepOffTaskbar(this);
    setObjectName(QStringLiteral("notice"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    // Quitting from the main window must end the program even while a popup is still on screen.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(tr("Vesk"));

    // The alias is whatever the peer announced: never let it be read as markup.
    m_aliasLabel = new QLabel(alias, this);
    m_aliasLabel->setTextFormat(Qt::PlainText);
    QFont aliasFont = m_aliasLabel->font();
    aliasFont.setBold(true);
    aliasFont.setPointSizeF(aliasFont.pointSizeF() * 1.2);
    m_aliasLabel->setFont(aliasFont);
    m_aliasLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_aliasLabel->setWordWrap(true);
    QLabel* avatarLabel = pictureLabel(avatar, this);
    QLabel* logoLabel = pictureLabel(QString::fromLatin1(kLogo), this);

    m_textView = new QTextEdit(this);
    m_textView->setReadOnly(true);
    m_textView->setFixedWidth(kTextViewWidth);
    // The text is laid out at one width whatever the view shows (see fitText), so it never needs a sideways bar.
    m_textView->setLineWrapMode(QTextEdit::FixedPixelWidth);
    m_textView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    fitText();

    if (isDownloadKind()) {
        m_actionButton = new QPushButton(tr("Download All"), this);
        connect(m_actionButton, &QPushButton::clicked, this, &NotificationDialog::downloadAllClicked);
    } else {
        m_actionButton = new QPushButton(tr("Reply"), this);
        connect(m_actionButton, &QPushButton::clicked, this, &NotificationDialog::replyClicked);
    }

    m_grid = new QGridLayout(this);
    m_grid->addWidget(avatarLabel, 0, 0);
    m_grid->addWidget(m_aliasLabel, 0, 1);
    m_grid->addWidget(m_textView, 1, 0, 1, 2);
    m_grid->addWidget(logoLabel, 2, 0);
    m_grid->addWidget(m_actionButton, 2, 1, Qt::AlignRight);
    m_grid->setColumnStretch(1, 1); // the pictures' column stays as narrow as the pictures

    adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(randomPosition(screen->availableGeometry(), size(), random));

    m_fadeTimer.setInterval(kFadeIntervalMs);
    connect(&m_fadeTimer, &QTimer::timeout, this, &NotificationDialog::decreaseOpacity);
    m_fadeTimer.start();
}

bool NotificationDialog::isDownloadKind() const
{
    return m_kind.compare(QLatin1String(kDownloadKind), Qt::CaseInsensitive) == 0;
}

QPoint NotificationDialog::randomPosition(const QRect& area, const QSize& size, Vesk::Random& random)
{
    const int x = randomIn(0, area.width() - size.width(), random);
    const int y = randomIn(0, area.height() - size.height(), random);
    return area.topLeft() + QPoint(x, y);
}

void NotificationDialog::appendMessage(const QString& text)
{
    m_messages.append(text);
    if (m_messages.size() > kMaxMessages) {
        m_messages.removeFirst();
        m_textView->clear();
        for (const QString& message : std::as_const(m_messages))
            insertMessage(message);
    } else {
        insertMessage(text);
    }
    fitText();
    m_textView->verticalScrollBar()->setValue(m_textView->verticalScrollBar()->maximum());

    // A new message deserves the full eight seconds again, and should be readable at once.
    m_opacity = 1.0f;
    setWindowOpacity(1.0);
    if (!m_fadeTimer.isActive())
        m_fadeTimer.start();
}

void NotificationDialog::insertMessage(const QString& text)
{
    QTextCursor cursor(m_textView->document());
    cursor.movePosition(QTextCursor::End);
    if (!m_textView->document()->isEmpty()) {
        // A little air between messages, so two offers or two chat lines do not read as one.
        QTextBlockFormat paragraph;
        paragraph.setTopMargin(kMessageSpacing);
        cursor.insertBlock(paragraph, QTextCharFormat());
    }
    cursor.insertHtml(text);
}

void NotificationDialog::fitText()
{
    // As tall as the text, so a one-line notice is a small window, not a large empty box.
    // Measured at the width it is shown at: the view's width less room for a vertical bar. Measured at the whole
    // width, two messages came out a line short, and the bar that then appeared narrowed the view further.
    QTextDocument* document = m_textView->document();
    const int frame = 2 * m_textView->frameWidth();
    const int textWidth = kTextViewWidth - frame - m_textView->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    m_textView->setLineWrapColumnOrWidth(textWidth);
    document->setTextWidth(textWidth);
    const int wanted = qCeil(document->size().height()) + frame;
    m_textView->setFixedHeight(qBound(m_textView->fontMetrics().lineSpacing() + frame, wanted, kTextViewMaxHeight));
    if (!m_grid)
        return;
    adjustSize();
    // Grown on screen, it stays within it.
    if (QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(qBound(area.left(), x(), qMax(area.left(), area.right() - width())),
             qBound(area.top(), y(), qMax(area.top(), area.bottom() - height())));
    }
}

void NotificationDialog::addOffer(const OfferedItem& item)
{
    m_offers.add(item);
    m_textView->clear();
    m_messages.clear();
    appendMessage(m_offers.headline(m_alias).toHtmlEscaped() + QLatin1String("<br>") +
                  m_offers.details().toHtmlEscaped());
}

void NotificationDialog::present()
{
    if (QApplication::activeModalWidget()) {
        m_waitingForModal = true;
        return;
    }
    m_waitingForModal = false;
    show();
}

void NotificationDialog::decreaseOpacity()
{
    // A modal dialog opened while the popup is up: the popup steps aside, holding its fade, and comes back after.
    if (QApplication::activeModalWidget()) {
        if (isVisible() || m_waitingForModal) {
            m_waitingForModal = true;
            hide();
        }
        return;
    }
    if (m_waitingForModal) {
        m_waitingForModal = false;
        show();
    }
    m_opacity -= kFadeStep;
    // Held while the user works in it or reaches for it: a popup must not fade away under the pointer.
    if (isActiveWindow() || underMouse())
        m_opacity = 1.0f;
    setWindowOpacity(double(m_opacity));
    if (m_opacity <= kCloseOpacity) {
        m_fadeTimer.stop();
        close();
    }
}

void NotificationDialog::replyClicked()
{
    Q_EMIT replyRequested(m_nodeId);
    close();
}

void NotificationDialog::downloadAllClicked()
{
    Q_EMIT downloadAllRequested(m_nodeId);
    close();
}

} // namespace Vesk
