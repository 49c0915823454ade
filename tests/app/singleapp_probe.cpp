// VeskSingleApplication alone, so that tests can see what a running instance receives: a second start sends
// "wakeUp" as the program does and exits; a first prints "listening" and then "received:<text>" per message.
#include "app/vesksingleapplication.h"

#include <QTextStream>

int main(int argc, char** argv)
{
    Vesk::VeskSingleApplication app(argc, argv);
    if (app.isRunning())
        return app.sendMessage(QStringLiteral("wakeUp"), 5000) ? 0 : 1;
    QTextStream out(stdout);
    QObject::connect(&app, &Vesk::VeskSingleApplication::messageReceived, &app,
                     [&out](const QString& message) { out << "received:" << message << Qt::endl; });
    out << "listening" << Qt::endl;
    return app.exec();
}
