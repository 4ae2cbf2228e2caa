#pragma once
// Follows the requests in a connection's bytes as they arrive, before Qt's parser reads them, and
// refuses whatever two readers could frame differently. Qt's parser takes the first of two
// Content-Lengths and reads what follows a body as the next request; a proxy in front, or the
// browser, may read the same bytes otherwise. So: one Content-Length at most, no transfer coding,
// CR LF line ends, no folded headers, and one request at a time (a request sent before the
// answer to the one before is refused, never half served).
#include <QByteArray>
#include <QByteArrayView>

namespace tovi {

class RequestFraming {
public:
    struct Verdict {
        int Status = 0;  // 0: go on; kCut: cut without an answer; else answer it and close
        const char* Why = "";
    };
    static constexpr int kCut = -1;

    RequestFraming(qsizetype maxHeadBytes, int maxHeaders)
        : m_maxHead(maxHeadBytes), m_maxHeaders(maxHeaders) {}

    // The bytes that arrived since the last call.
    Verdict Feed(QByteArrayView bytes);

private:
    Verdict Head(QByteArrayView head);

    qsizetype m_maxHead;
    int m_maxHeaders;
    QByteArray m_head;  // the head read so far, without the blank line that ends it
    qint64 m_bodyLeft = 0;
    bool m_upgraded = false;  // what follows is WebSocket frames, not requests
};

}  // namespace tovi
