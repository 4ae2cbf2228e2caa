#pragma once
// A stats web service on 127.0.0.1 for the tests: just enough HTTP/1.1 to take POSTs, and every
// way a real service, proxy or network fails. It records each request it took whole, keeps the
// matches of each upload it stored (one copy per upload id, as a service that drops repeats
// does), and answers as the test tells it for each request. And the program's waits sped up.
#include <QHash>
#include <QPointer>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QtScheduler.h"
#include "QuietFakes.h"

namespace tovi::testing {

enum class Answer {
    Accept,            // 200 with ToviResponse: stored and confirmed
    AcceptNoHeader,    // 200 without the header: stored, not confirmed
    Error500,          // 500, stored nothing
    Error500Header,    // 500 that nevertheless carries the header: stored nothing
    Redirect,          // 301 to another path whose GET answers 200 with the header: stored nothing
    Drip,              // stored, then the header and one byte of the answer every 50 ms, for ever
    CloseEarly,        // stored, then half the answer and the connection closed
    StoreThenDrop,     // stored, then the connection closed without a word
    Down,              // stored nothing, and the connection reset
    Hold,              // stored, and never answered
};

using SilentDialogs = YesDialogs;  // every question Yes, every input box cancelled

// The program's waits run `scale` times as fast, as the simulator's time does.
class ScaledScheduler : public Scheduler {
public:
    explicit ScaledScheduler(int scale) : m_scale(scale) {}
    TimerId Schedule(int delayMs, std::function<void()> callback) override {
        return m_inner.Schedule(delayMs / m_scale, std::move(callback));
    }
    void Cancel(TimerId id) override { m_inner.Cancel(id); }

private:
    int m_scale;
    QtScheduler m_inner;
};

struct TakenRequest {
    QByteArray method, path, head, uploadId, body;
    std::string stats;  // an upload's stats file, decoded from its body
};

// Listens on 127.0.0.1 and hands each request over once it has arrived whole; what is done with
// the socket then (an answer, a hang, a reset) is the taker's.
class LocalListener : public QObject {
public:
    explicit LocalListener(std::function<void(QTcpSocket*, TakenRequest&)> take) : m_take(std::move(take)) {
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }
    std::string Url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.serverPort()) + path;
    }
    // Keeps a socket open without an answer for as long as the listener lives.
    void Hold(QTcpSocket* socket) { m_held << socket; }

private:
    void Read(QTcpSocket* socket) {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) return;
        const QByteArray head = buffer.left(headEnd + 2);
        static const QRegularExpression contentLength("\r\ncontent-length: *(\\d+)\r\n",
                                                      QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression uploadId("\r\nidempotency-key: *([^\r]*)\r\n",
                                                 QRegularExpression::CaseInsensitiveOption);
        const QString headText = QString::fromLatin1(head);
        const qsizetype length = contentLength.match(headText).captured(1).toLongLong();
        if (buffer.size() < headEnd + 4 + length) return;
        TakenRequest r;
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        r.method = requestLine.value(0);
        r.path = requestLine.value(1);
        r.head = head;
        r.uploadId = uploadId.match(headText).captured(1).toLatin1();
        r.body = buffer.mid(headEnd + 4, length);
        m_buffers.remove(socket);
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        m_take(socket, r);
    }

    std::function<void(QTcpSocket*, TakenRequest&)> m_take;
    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_held;
};

class LocalService : public QObject {
public:
    std::string Url(const char* path) const { return m_listener.Url(path); }

    // How the service answers the next upload (POST to a path with "import"); Accept when nothing
    // is said. Other requests get `reportAnswer`.
    std::function<Answer(int upload)> uploadAnswer = [](int) { return Answer::Accept; };
    Answer reportAnswer = Answer::Accept;
    QByteArray toviResponse = "Imported";

    std::vector<TakenRequest> taken;     // every request read whole, in order
    std::vector<std::string> stored;     // the stats of every stored upload id, first copy only, in order
    std::set<QByteArray> storedIds;
    int uploads = 0;
    int redirectsFollowed = 0;           // requests for the redirect's target: a client that followed

    // The matches stored, in order, each once.
    std::string StoredStats() const {
        std::string all;
        for (const std::string& s : stored) all += s;
        return all;
    }
    // Every copy of a match carried the same upload id: the ids seen with each block.
    std::map<std::string, std::set<QByteArray>> IdsPerBlock() const {
        std::map<std::string, std::set<QByteArray>> ids;
        for (const TakenRequest& r : taken) {
            for (const std::string& block : Blocks(r.stats)) ids[block].insert(r.uploadId);
        }
        return ids;
    }
    static std::vector<std::string> Blocks(const std::string& stats) {
        std::vector<std::string> blocks;
        size_t start = 0;
        for (size_t at = stats.find("\r\nServerInfo "); at != std::string::npos; at = stats.find("\r\nServerInfo ", at + 2)) {
            blocks.push_back(stats.substr(start, at + 2 - start));
            start = at + 2;
        }
        if (start < stats.size()) blocks.push_back(stats.substr(start));
        return blocks;
    }

private:
    void Take(QTcpSocket* socket, TakenRequest& r) {
        if (r.path.endsWith("/moved")) {
            ++redirectsFollowed;
            Respond(socket, "200 OK", toviResponse);
            return;
        }
        Answer answer = reportAnswer;
        const bool upload = r.method == "POST" && r.path.contains("import");
        if (upload) {
            const QByteArray data = QByteArray::fromPercentEncoding(r.body.mid(5));
            r.stats = QByteArray::fromBase64(data).toStdString();
            answer = uploadAnswer(uploads++);
        }
        taken.push_back(r);
        const bool stores = answer == Answer::Accept || answer == Answer::AcceptNoHeader || answer == Answer::Drip ||
                            answer == Answer::CloseEarly || answer == Answer::StoreThenDrop || answer == Answer::Hold;
        if (upload && stores && storedIds.insert(r.uploadId).second) stored.push_back(r.stats);

        switch (answer) {
        case Answer::Accept: Respond(socket, "200 OK", toviResponse); break;
        case Answer::AcceptNoHeader: Respond(socket, "200 OK", {}); break;
        case Answer::Error500: Respond(socket, "500 Internal Server Error", {}); break;
        case Answer::Error500Header: Respond(socket, "500 Internal Server Error", toviResponse); break;
        case Answer::Redirect:
            socket->write("HTTP/1.1 301 Moved Permanently\r\nLocation: " + QByteArray::fromStdString(Url("/moved")) +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            break;
        case Answer::Drip: {
            socket->write("HTTP/1.1 200 OK\r\nToviResponse: " + toviResponse + "\r\nContent-Length: 100000\r\n\r\n");
            auto* drip = new QTimer(socket);
            connect(drip, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            drip->start(50);
            break;
        }
        case Answer::CloseEarly:
            socket->write("HTTP/1.1 200 OK\r\nToviResponse: " + toviResponse + "\r\nContent-Length: 100\r\n\r\nhalf");
            socket->disconnectFromHost();
            break;
        case Answer::StoreThenDrop: socket->disconnectFromHost(); break;
        case Answer::Down: socket->abort(); break;
        case Answer::Hold: m_listener.Hold(socket); break;
        }
    }
    static void Respond(QTcpSocket* socket, const char* status, const QByteArray& header) {
        socket->write("HTTP/1.1 " + QByteArray(status) + "\r\n" +
                      (header.isEmpty() ? QByteArray() : "ToviResponse: " + header + "\r\n") +
                      "Content-Length: 4\r\nConnection: close\r\n\r\nbody");
        socket->disconnectFromHost();
    }

    LocalListener m_listener{[this](QTcpSocket* socket, TakenRequest& r) { Take(socket, r); }};
};

}  // namespace tovi::testing
