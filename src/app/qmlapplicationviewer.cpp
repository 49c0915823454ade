#include "app/qmlapplicationviewer.h"

#include <QQmlEngine>
#include <QUrl>

struct QmlApplicationViewer::Private
{
    QString mainQmlFile;
    ScreenOrientation orientation = ScreenOrientationAuto;
};

QmlApplicationViewer::QmlApplicationViewer(QWidget* parent) : QQuickWidget(parent), d(std::make_unique<Private>())
{
    // Qt.quit() from the interface closes the window, which goes through the close confirmation.
    connect(engine(), &QQmlEngine::quit, this, &QWidget::close);
    setResizeMode(QQuickWidget::SizeRootObjectToView);
}

QmlApplicationViewer::~QmlApplicationViewer() = default;

void QmlApplicationViewer::setMainQmlFile(const QString& file)
{
    d->mainQmlFile = file;
    setSource(QUrl::fromLocalFile(file));
}

QString QmlApplicationViewer::mainQmlFile() const
{
    return d->mainQmlFile;
}

void QmlApplicationViewer::setOrientation(ScreenOrientation orientation)
{
    d->orientation = orientation;
}

QmlApplicationViewer::ScreenOrientation QmlApplicationViewer::orientation() const
{
    return d->orientation;
}
