#pragma once

#include "common/shell.h"

#include <QCoreApplication>
#include <QString>

namespace Vesk {

// What one notice says about a peer's burst of offers, in the program's own words: who offers what, and how much
// it comes to. Files and folders are told alike, so a folder offered with a few files makes one notice, not two
// kinds. Texts are plain: each view escapes them for itself.
class OfferBurst
{
    Q_DECLARE_TR_FUNCTIONS(Vesk::OfferBurst)

public:
    void add(const OfferedItem& item);
    int count() const { return m_items; }

    // "Ann offers report.pdf", "Ann offers report.pdf and 2 more", "Ann offers the folder Photos".
    QString headline(const QString& alias) const;
    // "1.2 MB", or with more than one file "14 files, 31.5 MB"; sizes in the locale's SI units.
    QString details() const;

private:
    OfferedItem m_first;
    int m_items = 0;
    int m_files = 0;
    qint64 m_bytes = 0;
};

} // namespace Vesk
