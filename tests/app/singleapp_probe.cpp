// VeskSingleApplication alone, so that tests can run real second instances:
//   singleapp_probe        -> prints "running" and exits, or "listening" and then "received:<text>" per message
//   singleapp_probe send T -> sends T to the running instance, prints "sent" or "nobody"
#include "app/vesksingleapplication.h"

#include <QTextStream>

int main(int argc, char** argv)
{
    VeskSingleApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc > 2 && qstrcmp(argv[1], "send") == 0) {
        out << (app.sendMessage(QString::fromLocal8Bit(argv[2]), 5000) ? "sent" : "nobody") << Qt::endl;
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
