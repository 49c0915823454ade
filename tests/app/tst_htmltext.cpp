#include "common/htmltext.h"

#include <QTest>
#include <QTextDocument>

// Whatever a peer typed reads exactly as typed once its escaped form is shown as rich text.
class TestHtmlText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void shownAsTyped_data()
    {
        QTest::addColumn<QString>("text");
        for (const char* text : {"<b>x</b>", "<script>alert(1)</script>", "<img src=\"file:///etc/passwd\">",
                                 "&amp; &lt; &#65;", "one\ntwo\r\nthree\rfour", " a  b   c", "Grüße — 你好 🙂"})
            QTest::newRow(text) << QString::fromUtf8(text);
    }
    void shownAsTyped()
    {
        QFETCH(QString, text);
        QTextDocument document;
        document.setHtml(Vesk::plainTextToHtml(text));
        QCOMPARE(document.toPlainText().replace(QChar::LineSeparator, '\n').replace(QChar::Nbsp, ' '),
                 QString(text).replace("\r\n", "\n").replace('\r', '\n'));
    }
};

QTEST_MAIN(TestHtmlText)
#include "tst_htmltext.moc"
