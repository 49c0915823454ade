#include "app/transfernotice.h"

#include <QMessageBox>

namespace Vesk {

QWidget* showTransferNotice(const QString& title, const QString& text)
{
    qInfo().noquote() << title << ":" << text;
    auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok);
    // Notices name what peers chose (file names, names): shown as written, never read as markup.
    box->setTextFormat(Qt::PlainText);
    box->setObjectName(QLatin1String(kTransferNoticeName));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    return box;
}

} // namespace Vesk
