#include "app/avatarimage.h"

#include <QPainter>
#include <QTest>

// A picture becomes its centre square, never squashed nor cut further: red in the middle, blue round it; a square
// picture has a blue frame that must stay.
class TestAvatarImage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void centreSquare_data()
    {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<int>("side");
        for (const QSize size :
             {QSize(900, 300), QSize(300, 900), QSize(301, 100), QSize(40, 40), QSize(1024, 1024), QSize(3, 1)})
            QTest::addRow("%dx%d", size.width(), size.height()) << size << 100;
    }
    void centreSquare()
    {
        QFETCH(QSize, picture);
        QFETCH(int, side);
        QImage image(picture, QImage::Format_RGB32);
        image.fill(Qt::blue);
        const bool square = picture.width() == picture.height();
        const int inner = square ? picture.width() / 2 : qMin(picture.width(), picture.height());
        QPainter(&image).fillRect(QRect(QPoint(), QSize(inner, inner))
                                      .translated((picture.width() - inner) / 2, (picture.height() - inner) / 2),
                                  Qt::red);
        const QImage avatar = Vesk::squareAvatar(image, side);
        QCOMPARE(avatar.size(), QSize(side, side));
        QCOMPARE(QColor(avatar.pixel(side / 2, side / 2)), QColor(Qt::red));
        for (const QPoint at : {QPoint(1, 1), QPoint(side - 2, 1), QPoint(1, side - 2), QPoint(side - 2, side - 2)})
            QCOMPARE(QColor(avatar.pixel(at)), QColor(square ? Qt::blue : Qt::red));
        QVERIFY(Vesk::squareAvatar(QImage(), side).isNull());
    }
};

QTEST_APPLESS_MAIN(TestAvatarImage)
#include "tst_avatarimage.moc"
