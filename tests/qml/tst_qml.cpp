#include "faketablemodel.h"

#include <QQmlEngine>
#include <QtQml>
#include <QtQuickTest>

// Runs the tst_*.qml files of this folder against the interface files in qml/Vesk/desktop, with fake models and
// a fake controller in place of the program's.
class Setup : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    void qmlEngineAvailable(QQmlEngine* engine)
    {
        Q_UNUSED(engine)
        qmlRegisterType<FakeTableModel>("Vesk.Testing", 1, 0, "FakeTableModel");
    }
};

QUICK_TEST_MAIN_WITH_SETUP(tst_qml, Setup)

#include "tst_qml.moc"
