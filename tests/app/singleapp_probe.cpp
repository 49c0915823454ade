// A tiny program around VeskSingleApplication so tests can run real second instances.
//   singleapp_probe listen   -> prints "running" and exits, or "listening" and prints every message received
//   singleapp_probe send T   -> sends T to the running instance, prints "sent" or "nobody"
#include "app/vesksingleapplication.h"

#include <QTextStream>

int main(int argc, char** argv)
{
    VeskSingleApplication app(argc, argv);
    QTextStream out(stdout);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("listen");
    if (mode == QLatin1String("send")) {
        const bool sent = app.sendMessage(argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString(), 5000);
        out << (sent ? "sent" : "nobody") << Qt::endl;
        return 0;
    }
    if (app.isRunning()) {
        out << "running" << Qt::endl;
        return 0;
    }
    QObject::connect(&app, &VeskSingleApplication::messageReceived, &app,
                     [&out](const QString& message) { out << "received:" << message << Qt::endl; });
    out << "listening" << Qt::endl;
    return app.exec();
}
