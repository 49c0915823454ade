#pragma once

#include <QQuickWidget>

#include <memory>

namespace Vesk {

// A declarative view that loads its interface from a file on disk. A QQuickWidget, so that close, drag and drop
// and native events reach it as they reach any widget.
class QmlApplicationViewer : public QQuickWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(QmlApplicationViewer)

public:
    enum ScreenOrientation { ScreenOrientationLockPortrait, ScreenOrientationLockLandscape, ScreenOrientationAuto };

    explicit QmlApplicationViewer(QWidget* parent = nullptr);
    ~QmlApplicationViewer() override;

    void setMainQmlFile(const QString& file);
    QString mainQmlFile() const;
    // Kept for the platforms that rotate; a desktop ignores it.
    void setOrientation(ScreenOrientation orientation);
    ScreenOrientation orientation() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace Vesk
