#include "common/htmltext.h"

namespace Vesk {

QString plainTextToHtml(const QString& text)
{
    QString normalised = text;
    normalised.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    normalised.replace(QLatin1Char('\t'), QLatin1String("    "));

    const QString escaped = normalised.toHtmlEscaped();
    QString html;
    html.reserve(escaped.size() + escaped.size() / 8);
    // HTML folds runs of spaces into one; keep them as typed by making every space that follows a space, or
    // starts a line, a non-breaking one.
    QChar previous = QLatin1Char('\n');
    for (const QChar c : escaped) {
        if (c == QLatin1Char('\n'))
            html += QLatin1String("<br>");
        else if (c == QLatin1Char(' ') && (previous == QLatin1Char(' ') || previous == QLatin1Char('\n')))
            html += QLatin1String("&nbsp;");
        else
            html += c;
        previous = c;
    }
    return html;
}

} // namespace Vesk
