#include "store/filestandarditemmodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

namespace {

FileStandardItem* entry(const QString& name, bool selected = false)
{
    return new FileStandardItem("file:///home/u/" + name, name, 1000, "qrc:/qml/Vesk/pics/file.png", selected);
}

QStringList proxyNames(const QAbstractItemModel& proxy)
{
    QStringList names;
    for (int row = 0; row < proxy.rowCount(); ++row)
        names << proxy.index(row, 0).data(FileStandardItemModel::FileNameRole).toString();
    return names;
}

} // namespace

class tst_FileStandardItemModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roleNames();
    void itemValues();
    void emptyList();
    void toggleTwiceRestores();
    void toggleUnknownUrlOnlySignals();
    void selectedCountCountsBooleanTrueOnly();
    void clearSelected();
    void lookupIsExact_data();
    void lookupIsExact();
    void proxySortsIgnoringCase_data();
    void proxySortsIgnoringCase();
    void proxyKeepsOrderOnInsert();

private:
    QScopedPointer<FileStandardItemModel> m_model;
    QScopedPointer<FileSortFilterProxyModel> m_proxy;
    QScopedPointer<QAbstractItemModelTester> m_modelTester;
    QScopedPointer<QAbstractItemModelTester> m_proxyTester;
};

void tst_FileStandardItemModel::init()
{
    m_model.reset(new FileStandardItemModel);
    m_proxy.reset(new FileSortFilterProxyModel);
    m_proxy->setSourceModel(m_model.data());
    m_modelTester.reset(
        new QAbstractItemModelTester(m_model.data(), QAbstractItemModelTester::FailureReportingMode::QtTest));
    m_proxyTester.reset(
        new QAbstractItemModelTester(m_proxy.data(), QAbstractItemModelTester::FailureReportingMode::QtTest));
}

void tst_FileStandardItemModel::cleanup()
{
    m_proxyTester.reset();
    m_modelTester.reset();
    m_proxy.reset();
    m_model.reset();
}

void tst_FileStandardItemModel::roleNames()
{
    const QHash<int, QByteArray> names = m_model->roleNames();
    QCOMPARE(names.value(33), QByteArray("fileURL"));
    QCOMPARE(names.value(34), QByteArray("fileName"));
    QCOMPARE(names.value(35), QByteArray("totalByteSize"));
    QCOMPARE(names.value(36), QByteArray("thumbnail"));
    QCOMPARE(names.value(37), QByteArray("selected"));
    QCOMPARE(m_proxy->roleNames().value(37), QByteArray("selected"));
}

void tst_FileStandardItemModel::itemValues()
{
    auto* item = new FileStandardItem("file:///home/u/big.iso", "big.iso", 5000000000LL, "qrc:/iso.png", true);
    m_model->appendRow(item);
    const QModelIndex index = m_model->index(0, 0);
    QCOMPARE(index.data(33).toString(), QStringLiteral("file:///home/u/big.iso"));
    QCOMPARE(index.data(34).toString(), QStringLiteral("big.iso"));
    QCOMPARE(index.data(35).toLongLong(), 5000000000LL);
    QCOMPARE(index.data(36).toString(), QStringLiteral("qrc:/iso.png"));
    QCOMPARE(index.data(37), QVariant(true));
}

void tst_FileStandardItemModel::emptyList()
{
    QSignalSpy changed(m_model.data(), &FileStandardItemModel::selectedCountChanged);
    QCOMPARE(m_model->selectedCount(), 0);
    QCOMPARE(m_model->property("selectedCount").toLongLong(), 0);
    m_model->clearSelected();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_model->itemForFileURL("file:///anything"), nullptr);
}

void tst_FileStandardItemModel::toggleTwiceRestores()
{
    m_model->appendRow(entry("a.txt"));
    m_model->appendRow(entry("b.txt", true));
    QSignalSpy changed(m_model.data(), &FileStandardItemModel::selectedCountChanged);

    m_model->toggleHighlightFlag("file:///home/u/a.txt");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_model->selectedCount(), 2);
    QCOMPARE(m_model->itemForFileURL("file:///home/u/a.txt")->data(37), QVariant(true));

    m_model->toggleHighlightFlag("file:///home/u/a.txt");
    QCOMPARE(changed.count(), 2);
    QCOMPARE(m_model->selectedCount(), 1);
    QCOMPARE(m_model->itemForFileURL("file:///home/u/a.txt")->data(37), QVariant(false));
}

void tst_FileStandardItemModel::toggleUnknownUrlOnlySignals()
{
    m_model->appendRow(entry("a.txt", true));
    QSignalSpy changed(m_model.data(), &FileStandardItemModel::selectedCountChanged);
    QSignalSpy dataChanged(m_model.data(), &QAbstractItemModel::dataChanged);
    m_model->toggleHighlightFlag("file:///home/u/missing.txt");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(dataChanged.count(), 0);
    QCOMPARE(m_model->selectedCount(), 1);
}

void tst_FileStandardItemModel::selectedCountCountsBooleanTrueOnly()
{
    m_model->appendRow(entry("a.txt", true));
    m_model->appendRow(entry("b.txt", false));
    auto* asNumber = entry("c.txt");
    asNumber->setData(1, FileStandardItemModel::SelectedRole);
    m_model->appendRow(asNumber);
    auto* asText = entry("d.txt");
    asText->setData(QStringLiteral("true"), FileStandardItemModel::SelectedRole);
    m_model->appendRow(asText);
    QCOMPARE(m_model->selectedCount(), 1);
}

void tst_FileStandardItemModel::clearSelected()
{
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        m_model->appendRow(entry(name, true));
    m_model->appendRow(entry("d.txt", false));
    QSignalSpy changed(m_model.data(), &FileStandardItemModel::selectedCountChanged);
    m_model->clearSelected();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(m_model->selectedCount(), 0);
    QCOMPARE(m_model->rowCount(), 4);
}

void tst_FileStandardItemModel::lookupIsExact_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("found");
    QTest::newRow("same text") << "file:///home/u/a.txt" << true;
    QTest::newRow("plain path") << "/home/u/a.txt" << false;
    QTest::newRow("other case") << "file:///home/u/A.txt" << false;
    QTest::newRow("prefix") << "file:///home/u/a" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_FileStandardItemModel::lookupIsExact()
{
    QFETCH(QString, url);
    QFETCH(bool, found);
    m_model->appendRow(entry("b.txt"));
    m_model->appendRow(entry("a.txt"));
    FileStandardItem* item = m_model->itemForFileURL(url);
    QCOMPARE(item != nullptr, found);
    if (found)
        QCOMPARE(item->data(FileStandardItemModel::FileNameRole).toString(), QStringLiteral("a.txt"));
}

void tst_FileStandardItemModel::proxySortsIgnoringCase_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("sorted");
    QTest::newRow("upper before lower") << QStringList{"b.txt", "A.txt"} << QStringList{"A.txt", "b.txt"};
    QTest::newRow("mixed") << QStringList{"zeta.doc", "Beta.doc", "alpha.doc", "Gamma.doc"}
                           << QStringList{"alpha.doc", "Beta.doc", "Gamma.doc", "zeta.doc"};
    QTest::newRow("digits first") << QStringList{"b1", "A2", "10"} << QStringList{"10", "A2", "b1"};
}

void tst_FileStandardItemModel::proxySortsIgnoringCase()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, sorted);
    for (const QString& name : std::as_const(names))
        m_model->appendRow(entry(name));
    m_proxy->sort(0, Qt::AscendingOrder);
    QCOMPARE(proxyNames(*m_proxy), sorted);
    QCOMPARE(m_proxy->rowCount(), names.size()); // nothing is filtered out
}

void tst_FileStandardItemModel::proxyKeepsOrderOnInsert()
{
    m_model->appendRow(entry("b.txt"));
    m_model->appendRow(entry("D.txt"));
    m_proxy->sort(0, Qt::AscendingOrder);
    m_model->appendRow(entry("C.txt"));
    m_model->appendRow(entry("a.txt"));
    QCOMPARE(proxyNames(*m_proxy), (QStringList{"a.txt", "b.txt", "C.txt", "D.txt"}));
    m_model->itemForFileURL("file:///home/u/a.txt")->setData("e.txt", FileStandardItemModel::FileNameRole);
    QCOMPARE(proxyNames(*m_proxy), (QStringList{"b.txt", "C.txt", "D.txt", "e.txt"}));
}

QTEST_MAIN(tst_FileStandardItemModel)
#include "tst_filestandarditemmodel.moc"
