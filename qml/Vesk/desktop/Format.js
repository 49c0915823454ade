.pragma library

// Text helpers shared by the interface. Numbers and dates are written the way the user's locale writes them
// (locale, where a helper takes one, is a Qt locale object; the user's own by default).

// Text of a model value; SQL NULL and missing roles read as empty text.
function str(value) {
    return value === undefined || value === null ? "" : String(value)
}

// A whole, non-negative number from a model value; 0 for anything else.
function toCount(value) {
    var n = Number(value)
    if (!isFinite(n) || n < 0)
        return 0
    return Math.floor(n)
}

// The values of the Locale enumerations, which a library script cannot name.
var dataSizeSIFormat = 3 // Locale.DataSizeSIFormat: powers of 1000 with SI prefixes (kB, MB)
var longFormat = 0       // Locale.LongFormat
var shortFormat = 1      // Locale.ShortFormat

// Decimal (SI) units, as the file managers of the desktop show them: 1 kB is 1000 bytes. Three significant
// figures at most: 1.5 MB, 15.2 MB, 152 MB.
function formatBytes(value, locale) {
    var n = toCount(value)
    var scaled = n
    while (scaled >= 1000)
        scaled /= 1000
    return (locale || Qt.locale()).formattedDataSize(n, n >= 1000 && scaled < 99.95 ? 1 : 0, dataSizeSIFormat)
}

function formatSpeed(bytesPerSecond, locale) {
    return qsTr("%1/s").arg(formatBytes(bytesPerSecond, locale))
}

// "3.0 MB of 10.0 MB" style progress, both sides in their own unit.
function formatProgress(done, total, locale) {
    return qsTr("%1 of %2").arg(formatBytes(Math.min(toCount(done), toCount(total)), locale))
                           .arg(formatBytes(total, locale))
}

// Remaining time in the two largest units that matter: "45 s", "2 min 5 s", "1 h 20 min", "3 d 4 h".
function formatDuration(seconds) {
    var s = toCount(seconds)
    if (s < 60)
        return qsTr("%1 s").arg(s)
    if (s < 3600) {
        var m = Math.floor(s / 60), rest = s % 60
        return rest === 0 || m >= 10 ? qsTr("%1 min").arg(m) : qsTr("%1 min %2 s").arg(m).arg(rest)
    }
    if (s < 86400) {
        var h = Math.floor(s / 3600), min = Math.floor((s % 3600) / 60)
        return min === 0 ? qsTr("%1 h").arg(h) : qsTr("%1 h %2 min").arg(h).arg(min)
    }
    var d = Math.floor(s / 86400), hours = Math.floor((s % 86400) / 3600)
    return hours === 0 ? qsTr("%1 d").arg(d) : qsTr("%1 d %2 h").arg(d).arg(hours)
}

// The locale's short clock without seconds: "14:05", "2:05 PM".
function clockFormat(locale) {
    return locale.timeFormat(shortFormat).replace(/[^HhmAaPp]*s+/, "").trim()
}

// The locale's long date with the month abbreviated and without the weekday: "3 Mar 2013", "Mar 3, 2013",
// "3. März 2013"; withYear false also drops the year ("3 Mar", "Mar 3").
function dayFormat(locale, withYear) {
    var format = locale.dateFormat(longFormat).replace(/d{4}[^dMy']*/, "").replace(/M{4}/, "MMM")
    if (!withYear) // with the separators and a quoted word before the year ("3 'de' mar 'de' 2013")
        format = format.replace(/\s*('[^']*'\s*)?[,.\/-]?\s*y+[^dM'\s]*/, "")
    return format.replace(/^[\s,]+|[\s,]+$/g, "")
}

function sameDay(a, b) {
    return a.getFullYear() === b.getFullYear() && a.getMonth() === b.getMonth() && a.getDate() === b.getDate()
}

// A time stamp in milliseconds since the epoch, as a chat or a transfer list shows it relative to now, in the
// locale's words and order: "14:05" today, "Yesterday 14:05", "3 Mar 14:05" this year, "3 Mar 2013" before.
function formatTimestamp(ms, nowMs, locale) {
    var t = Number(ms)
    if (!isFinite(t) || t <= 0)
        return ""
    var loc = locale || Qt.locale()
    var when = new Date(t)
    var now = new Date(nowMs === undefined ? Date.now() : Number(nowMs))
    var clock = when.toLocaleTimeString(loc, clockFormat(loc))
    if (sameDay(when, now))
        return clock
    var yesterday = new Date(now.getFullYear(), now.getMonth(), now.getDate() - 1)
    if (sameDay(when, yesterday))
        return qsTr("Yesterday %1").arg(clock)
    if (when.getFullYear() === now.getFullYear())
        return qsTr("%1 %2", "day and time").arg(when.toLocaleDateString(loc, dayFormat(loc, false))).arg(clock)
    return when.toLocaleDateString(loc, dayFormat(loc, true))
}

// Whether an own chat message reached its peer, in words; received messages carry no label.
function deliveryLabel(delivered, own) {
    if (!own)
        return ""
    return delivered ? qsTr("Delivered") : qsTr("Waiting")
}

// One line about an outgoing file: whether the offer reached the peer, and how much of it they fetched.
function uploadStateLabel(confirmed, bytesSent, fileSize) {
    if (!confirmed)
        return qsTr("Not delivered yet")
    var sent = toCount(bytesSent)
    if (sent <= 0)
        return qsTr("Delivered · not downloaded yet")
    return qsTr("Downloaded %1").arg(formatProgress(sent, fileSize))
}

// Fraction in [0, 1] for a progress bar; 0 when the total is unknown.
function fraction(done, total) {
    var t = toCount(total)
    if (t === 0)
        return 0
    return Math.max(0, Math.min(1, toCount(done) / t))
}

// A number of files in the locale's digits: "1 file", "10,000 files".
function fileCount(count, locale) {
    var n = toCount(count)
    return n === 1 ? qsTr("1 file") : qsTr("%1 files").arg(n.toLocaleString(locale || Qt.locale(), "f", 0))
}

// What a folder holds: "5 files, 1.7 MB".
function folderContents(count, bytes, locale) {
    return qsTr("%1, %2", "files and their size").arg(fileCount(count, locale)).arg(formatBytes(bytes, locale))
}

// How far a folder got: "3 of 5 files · 1.2 MB of 1.7 MB".
function folderProgress(filesDone, count, bytesDone, bytes, locale) {
    return qsTr("%1 of %2 · %3").arg(toCount(filesDone).toLocaleString(locale || Qt.locale(), "f", 0))
                                .arg(fileCount(count, locale)).arg(formatProgress(bytesDone, bytes, locale))
}

function badgeText(count) {
    var n = toCount(count)
    return n > 99 ? "99+" : n.toString()
}

// A peer's name as shown; the alias is whatever the peer announced, possibly nothing.
function displayName(alias) {
    var a = alias === undefined || alias === null ? "" : String(alias).trim()
    return a === "" ? qsTr("Unknown") : a
}

function fileSuffix(fileName) {
    var name = fileName === undefined || fileName === null ? "" : String(fileName)
    var dot = name.lastIndexOf(".")
    return dot <= 0 || dot === name.length - 1 ? "" : name.substring(dot + 1).toLowerCase()
}

// The label of the send button: what will go where.
function sendSummary(fileCount, peerCount, folderCount) {
    var f = toCount(fileCount), p = toCount(peerCount)
    if (f === 0)
        return qsTr("Select files to send")
    if (p === 0)
        return qsTr("Choose who gets them")
    // A ticked folder is one entry of the list but not one file; folders and files together are items (the
    // longer "1 folder and 1 file" does not fit the button of a narrow window).
    var d = Math.min(toCount(folderCount), f)
    var files = d === 0 ? (f === 1 ? qsTr("1 file") : qsTr("%1 files").arg(f))
                        : d === f ? (d === 1 ? qsTr("1 folder") : qsTr("%1 folders").arg(d))
                                  : qsTr("%1 items").arg(f)
    var peers = p === 1 ? qsTr("1 person") : qsTr("%1 people").arg(p)
    return qsTr("Send %1 to %2").arg(files).arg(peers)
}

// Image sources come as URLs ("qrc:/...", "file:///...") or as plain local paths (avatars in the data folder).
// A plain path becomes a file URL with every path segment encoded, so names with spaces or '#' load.
function imageUrl(pathOrUrl) {
    var s = pathOrUrl === undefined || pathOrUrl === null ? "" : String(pathOrUrl)
    if (s === "")
        return ""
    if (/^(qrc|https?|image|data|file):/i.test(s))
        return s
    if (s.indexOf(":/") === 0)
        return "qrc" + s
    var path = s.replace(/\\/g, "/")
    if (/^[A-Za-z]:\//.test(path))
        path = "/" + path
    if (path.charAt(0) !== "/")
        return ""
    return "file://" + path.split("/").map(function (part, i) {
        // Keep a Windows drive letter's colon readable.
        return i === 1 && /^[A-Za-z]:$/.test(part) ? part : encodeURIComponent(part)
    }).join("/")
}

// Only web pages and mail addresses open from a chat message. Anything else a peer writes (javascript:, file:,
// data:, a desktop's own schemes) stays text: a click on it must never run or open something on this computer.
function isOpenableLink(url) {
    var s = url === undefined || url === null ? "" : String(url)
    if (/[\s\u0000-\u001f\u007f<>"]/.test(s))
        return false
    return /^https?:\/\/[^\/?#@:]+/i.test(s) || /^mailto:[^@\/?#]+@[^@\/?#]+\.[^@\/?#]+/i.test(s)
}

// The links in a message, in order, as [start, end) offsets: http, https and mailto addresses up to the next
// blank, without the full stop, comma or closing bracket that usually follows one in a sentence.
function findLinks(text) {
    var s = str(text)
    var found = []
    var pattern = /(https?:\/\/|mailto:)[^\s<>"]+/gi
    var match
    while ((match = pattern.exec(s)) !== null) {
        var link = match[0]
        for (;;) {
            var last = link.charAt(link.length - 1)
            var unbalanced = last === ")" && link.split(")").length > link.split("(").length
            if (/[.,;:!?'\u2019]/.test(last) || unbalanced)
                link = link.substring(0, link.length - 1)
            else
                break
        }
        if (isOpenableLink(link))
            found.push({ start: match.index, end: match.index + link.length, url: link })
    }
    return found
}

function escapeHtml(text) {
    return str(text).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;").replace(/"/g, "&quot;")
}

// A chat message as rich text: every character of the peer's text escaped (it shows as typed, never as markup),
// the links found above made clickable, and the occurrences of a search shown on a marker colour.
function messageHtml(text, query, linkColor, markColor) {
    var s = str(text)
    var links = findLinks(s)
    var q = str(query).toLowerCase()
    function marked(part) {
        if (q === "")
            return escapeHtml(part)
        var out = "", lower = part.toLowerCase(), from = 0
        for (var i = lower.indexOf(q); i >= 0; i = lower.indexOf(q, from)) {
            out += escapeHtml(part.substring(from, i)) + "<span style=\"background-color:" + markColor
                   + "; color:#1B2430\">" + escapeHtml(part.substring(i, i + q.length)) + "</span>"
            from = i + q.length
        }
        return out + escapeHtml(part.substring(from))
    }
    var html = "", at = 0
    links.forEach(function (link) {
        html += marked(s.substring(at, link.start)) + "<a href=\"" + escapeHtml(link.url) + "\" style=\"color:"
                + linkColor + "\">" + marked(s.substring(link.start, link.end)) + "</a>"
        at = link.end
    })
    html += marked(s.substring(at))
    return "<span style=\"white-space:pre-wrap\">" + html.replace(/\r\n|\r|\n|\u2028/g, "<br>") + "</span>"
}
