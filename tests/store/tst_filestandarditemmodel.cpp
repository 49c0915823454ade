#include "store/filestandarditemmodel.h"

#include "testsupport.h"

#include <QAbstractItemModelTester>

// The files picked for sending: what stays ticked when files are taken off, and the list sorted by name in any case.
class tst_FileStandardItemModel : public QObject
{
    Q_OBJECT
private slots:
    void pickedFiles()
    {
        FileStandardItemModel files;
        FileSortFilterProxyModel sorted;
        sorted.setSourceModel(&files);
        QAbstractItemModelTester tester(&sorted, QAbstractItemModelTester::FailureReportingMode::QtTest);
        sorted.sort(0);
        for (const char* name : {"b.txt", "C.txt", "a.txt", "D.txt"})
            files.appendRow(new FileStandardItem(QStringLiteral("file:///f/") + name, name, 1, "", name[0] != 'C'));
        files.toggleHighlightFlag("file:///f/a.txt");
        files.removeFile("file:///f/b.txt");
        files.removeFile("file:///f/missing.txt");
        QCOMPARE(files.selectedCount(), 1);
        QStringList names;
        for (int row = 0; row < sorted.rowCount(); ++row)
            names << sorted.index(row, 0).data(FileStandardItemModel::FileNameRole).toString();
        QCOMPARE(names, (QStringList{"a.txt", "C.txt", "D.txt"}));
    }
};

QTEST_GUILESS_MAIN(tst_FileStandardItemModel)
#include "tst_filestandarditemmodel.moc"
