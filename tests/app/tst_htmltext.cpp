#include "common/htmltext.h"

#include <QTest>
#include <QTextDocument>

class TestHtmlText : public QObject
{
    Q_OBJECT

private slots:
    void escapes_data();
    void escapes();
    void showsLiterally_data();
    void showsLiterally();
};

void TestHtmlText::escapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html");
    QTest::newRow("plain") << QStringLiteral("hello") << QStringLiteral("hello");
    QTest::newRow("markup") << QStringLiteral("<b>x</b>") << QStringLiteral("&lt;b&gt;x&lt;/b&gt;");
    QTest::newRow("ampersand") << QStringLiteral("a & b") << QStringLiteral("a &amp; b");
    QTest::newRow("quotes") << QStringLiteral("\"q\" 'a'") << QStringLiteral("&quot;q&quot; 'a'");
    QTest::newRow("newline") << QStringLiteral("a\nb") << QStringLiteral("a<br>b");
    QTest::newRow("crlf") << QStringLiteral("a\r\nb") << QStringLiteral("a<br>b");
    QTest::newRow("cr") << QStringLiteral("a\rb") << QStringLiteral("a<br>b");
    QTest::newRow("entity stays text") << QStringLiteral("&lt;") << QStringLiteral("&amp;lt;");
    QTest::newRow("space run") << QStringLiteral("a   b") << QStringLiteral("a &nbsp;&nbsp;b");
    QTest::newRow("leading space") << QStringLiteral(" a") << QStringLiteral("&nbsp;a");
    QTest::newRow("empty") << QString() << QString();
}

void TestHtmlText::escapes()
{
    QFETCH(QString, text);
    QFETCH(QString, html);
    QCOMPARE(Vesk::plainTextToHtml(text), html);
}

void TestHtmlText::showsLiterally_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("bold tag") << QStringLiteral("<b>x</b>");
    QTest::newRow("script") << QStringLiteral("<script>alert(1)</script>");
    QTest::newRow("image") << QStringLiteral("<img src=\"file:///etc/passwd\">");
    QTest::newRow("link") << QStringLiteral("<a href=\"http://x\">click</a>");
    QTest::newRow("entities") << QStringLiteral("&amp; &lt; &#65;");
    QTest::newRow("lines") << QStringLiteral("one\ntwo\n\nfour");
    QTest::newRow("spaces") << QStringLiteral("a  b   c");
    QTest::newRow("unicode") << QStringLiteral("Grüße — 你好 🙂");
}

// Rendered as rich text, the escaped form must read exactly like the original.
void TestHtmlText::showsLiterally()
{
    QFETCH(QString, text);
    QTextDocument document;
    document.setHtml(Vesk::plainTextToHtml(text));
    QString shown = document.toPlainText();
    shown.replace(QChar::LineSeparator, QLatin1Char('\n'));
    shown.replace(QChar::Nbsp, QLatin1Char(' '));
    QCOMPARE(shown, text);
}

QTEST_MAIN(TestHtmlText)
#include "tst_htmltext.moc"
