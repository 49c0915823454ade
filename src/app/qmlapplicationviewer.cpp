#include "app/qmlapplicationviewer.h"

#include <QQmlEngine>
#include <QQmlError>
#include <QUrl>

namespace Vesk {

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
    // A window without its interface is all a user would see: say why in the log.
    if (status() == QQuickWidget::Error) {
        const QList<QQmlError> problems = errors();
        for (const QQmlError& error : problems)
            qCritical().noquote() << "Could not load the interface:" << error.toString();
    }
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

} // namespace Vesk
