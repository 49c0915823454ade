#include "app/avatarimage.h"

#include <QPainter>
#include <QTest>

namespace {
// Red in the middle third along the longer side, blue on both outer thirds: a picture squashed into a square shows
// blue near its edges, one cropped to its centre square does not.
QImage bands(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter painter(&image);
    if (width >= height)
        painter.fillRect((width - height) / 2, 0, height, height, Qt::red);
    else
        painter.fillRect(0, (height - width) / 2, width, width, Qt::red);
    return image;
}

// A square picture with a blue frame round a red middle: cropping must keep all of it.
QImage framed(int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(side / 4, side / 4, side / 2, side / 2, Qt::red);
    return image;
}
} // namespace

class TestAvatarImage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void squareAvatar_data();
    void squareAvatar();
    void nothingToShow();
};

void TestAvatarImage::squareAvatar_data()
{
    QTest::addColumn<QImage>("picture");
    QTest::addColumn<int>("side");
    QTest::addColumn<QColor>("corner");

    QTest::newRow("wide") << bands(900, 300) << 256 << QColor(Qt::red);
    QTest::newRow("tall") << bands(300, 900) << 256 << QColor(Qt::red);
    QTest::newRow("wide by an odd margin") << bands(301, 100) << 100 << QColor(Qt::red);
    QTest::newRow("square, larger") << framed(1024) << 256 << QColor(Qt::blue);
    QTest::newRow("square, smaller") << framed(40) << 100 << QColor(Qt::blue);
    QTest::newRow("tiny strip") << bands(3, 1) << 100 << QColor(Qt::red);
}

void TestAvatarImage::squareAvatar()
{
    QFETCH(QImage, picture);
    QFETCH(int, side);
    QFETCH(QColor, corner);

    const QImage avatar = Vesk::squareAvatar(picture, side);
    QCOMPARE(avatar.size(), QSize(side, side));
    QCOMPARE(QColor(avatar.pixel(side / 2, side / 2)), QColor(Qt::red));
    // All four corners: the picture was neither squashed nor pushed off-centre.
    const int far = side - 2;
    for (const QPoint& at : {QPoint(1, 1), QPoint(far, 1), QPoint(1, far), QPoint(far, far)})
        QCOMPARE(QColor(avatar.pixel(at)), corner);
}

void TestAvatarImage::nothingToShow()
{
    QVERIFY(Vesk::squareAvatar(QImage(), 256).isNull());
    QVERIFY(Vesk::squareAvatar(bands(30, 10), 0).isNull());
}

QTEST_APPLESS_MAIN(TestAvatarImage)
#include "tst_avatarimage.moc"
