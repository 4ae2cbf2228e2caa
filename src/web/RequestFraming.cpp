#include "RequestFraming.h"

#include <QList>
#include <algorithm>

namespace tovi {

namespace {

bool HasToken(QByteArrayView list, QByteArrayView token) {
    for (const QByteArray& item : list.toByteArray().split(',')) {
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

}  // namespace

RequestFraming::Verdict RequestFraming::Feed(QByteArrayView bytes) {
    bool ended = false;  // a request ended in these bytes
    while (!bytes.isEmpty() && !m_upgraded) {
        if (m_bodyLeft > 0) {
            const qsizetype take = static_cast<qsizetype>(std::min<qint64>(m_bodyLeft, bytes.size()));
            m_bodyLeft -= take;
            bytes = bytes.sliced(take);
            ended = m_bodyLeft == 0;
            continue;
        }
        if (m_head.isEmpty()) {
            // Line ends before a request are passed over, as every parser does.
            while (!bytes.isEmpty() && (bytes.front() == '\r' || bytes.front() == '\n'))
                bytes = bytes.sliced(1);
            if (bytes.isEmpty()) break;
            if (ended) return {400, "One request at a time: send the next after its answer."};
        }
        const qsizetype searchFrom = std::max<qsizetype>(0, m_head.size() - 3);
        const qsizetype before = m_head.size();
        const qsizetype room = m_maxHead + 4 - before;
        m_head.append(bytes.first(std::min(room, bytes.size())));
        const qsizetype end = m_head.indexOf("\r\n\r\n", searchFrom);
        for (qsizetype i = before, last = end < 0 ? m_head.size() : end + 4; i < last; ++i) {
            if (m_head[i] == '\n' && (i == 0 || m_head[i - 1] != '\r')) return {400, "Lines end with CR LF."};
        }
        if (end < 0) {
            if (m_head.size() > m_maxHead) return {kCut, ""};
            bytes = {};
            continue;
        }
        // What came after the head's end belongs to the body or the next request.
        bytes = bytes.sliced(end + 4 - before);
        const QByteArray head = m_head.left(end + 2);  // each line with its CR LF
        m_head.clear();
        if (const Verdict v = Head(head); v.Status != 0) return v;
        ended = m_bodyLeft == 0;
    }
    return {};
}

RequestFraming::Verdict RequestFraming::Head(QByteArrayView head) {
    // Each line ends with CR LF: the last piece is empty.
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    if (lines.size() - 2 > m_maxHeaders) return {431, "Too many headers."};
    int lengths = 0;
    bool coded = false, upgrade = false, connectionUpgrade = false;
    qint64 length = 0;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const QByteArray line = lines[i].chopped(1);  // the CR
        if (line.startsWith(' ') || line.startsWith('\t')) return {400, "Folded headers are not read."};
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) return {400, "A header line without a name."};
        const QByteArray name = line.left(colon);
        if (name.contains(' ') || name.contains('\t')) return {400, "A header name with a space."};
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            ++lengths;
            const bool digits =
                !value.isEmpty() && value.size() <= 15 &&
                std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits) return {400, "Content-Length is no number."};
            length = value.toLongLong();
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            coded = true;
        } else if (name.compare("Upgrade", Qt::CaseInsensitive) == 0) {
            // Qt's server hands over only a WebSocket; any other upgrade is served as a request.
            upgrade = value.compare("websocket", Qt::CaseInsensitive) == 0;
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
            connectionUpgrade = connectionUpgrade || HasToken(value, "upgrade");
        }
    }
    if (lengths > 1) return {400, "Content-Length is given more than once."};
    if (coded && lengths > 0) return {400, "Content-Length and Transfer-Encoding together."};
    if (coded) return {411, "Send the body with a Content-Length."};
    m_bodyLeft = length;
    // As Qt's server reads it: an upgrade needs both headers.
    m_upgraded = upgrade && connectionUpgrade;
    return {};
}

}  // namespace tovi
