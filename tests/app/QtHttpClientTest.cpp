// The HTTP client against a real HTTP server on 127.0.0.1 that records every request, and the
// web reporting over it.
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "QtHttpClient.h"
#include "WebReporter.h"

using namespace tovi;
namespace fs = std::filesystem;

namespace {

// Just enough HTTP/1.1 to take POSTs and answer them, recording each request's head (request line
// and headers) and body. The answer carries the ToviResponse header when one is set; with `hold`
// it waits for Release(), so a service that never answers is one never released.
class LocalHttpServer : public QObject {
public:
    LocalHttpServer() {
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
    }
    std::string Url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.serverPort()) + path;
    }
    void Release() {
        for (const QPointer<QTcpSocket>& socket : std::exchange(held, {}))
            if (socket) Respond(socket);
    }

    std::optional<QByteArray> toviResponse = QByteArray("OK");
    bool hold = false;
    QList<QPointer<QTcpSocket>> held;
    QList<QByteArray> heads, bodies;

private:
    void Read(QTcpSocket* socket) {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype headLength = buffer.indexOf("\r\n\r\n") + 2;  // up to the last header's CR LF
        static const QRegularExpression contentLength("\r\ncontent-length: *(\\d+)\r\n",
                                                      QRegularExpression::CaseInsensitiveOption);
        const qsizetype length =
            contentLength.match(QString::fromLatin1(buffer.left(headLength))).captured(1).toLongLong();
        if (headLength < 2 || buffer.size() < headLength + 2 + length) return;
        heads << buffer.left(headLength);
        bodies << buffer.mid(headLength + 2, length);
        m_buffers.remove(socket);
        hold ? void(held << socket) : Respond(socket);
    }
    void Respond(QTcpSocket* socket) {
        socket->write("HTTP/1.1 200 OK\r\n" +
                      (toviResponse ? "ToviResponse: " + *toviResponse + "\r\n" : "") +
                      "Content-Length: 4\r\nConnection: close\r\n\r\nbody");
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
};

// Starts a transfer whose answer lands in `result`.
void Post(QtHttpClient& client, const std::string& url, std::optional<HttpResult>& result,
          const std::string& body = "x=1", int timeoutMs = 5000) {
    client.Post(url, body, kFormContentType, timeoutMs, [&result](const HttpResult& r) { result = r; });
}

// A WebReporter posting through the HTTP client to a local server, over a fresh data folder; what
// it logs goes to `log`.
struct Reporting : LogSink {
    void Log(const std::string& message) override { log << QString::fromLatin1(message); }
    void DebugLog(const std::string&) override {}

    LocalHttpServer server;
    QTemporaryDir dir;
    fs::path stats = fs::path(dir.path().toStdString()) / "stats.stats";
    Settings settings{"QX&1", server.Url("/update.php"), server.Url("/import.php")};
    ServerStatus status;
    QtHttpClient client;
    QStringList log;
    WebReporter reporter{dir.path().toStdString(), settings, status, client, *this};

    // A match ends: its block is appended to the stats file, and the upload asked for.
    void MatchEnds(const char* block) {
        std::ofstream(stats, std::ios::binary | std::ios::app) << block;
        reporter.UploadStats();
    }
};

}  // namespace

class QtHttpClientTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The client takes the system's proxy settings; the loopback server is reached directly.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) qunsetenv(name);
    }

    void postsAnswersCancelsAndFails() {
        LocalHttpServer server;
        server.toviResponse = QByteArray("Import\xE9 3");  // a Windows-1252 byte comes back as that byte
        QtHttpClient client;
        std::optional<HttpResult> result;
        const std::string body("a=%2B%2F&b=\xE9\0", 13);  // sent byte for byte, a zero byte included
        Post(client, server.Url("/tovistats/update.php"), result, body);
        QVERIFY(client.Busy() && !result);  // never answered from inside Post
        QTRY_VERIFY(result);
        QCOMPARE(result->outcome, HttpOutcome::Answered);
        QCOMPARE(result->toviResponse, std::string("Import\xE9 3"));
        QCOMPARE(server.bodies, QList<QByteArray>{QByteArray::fromStdString(body)});
        QVERIFY(server.heads[0].startsWith("POST /tovistats/update.php HTTP/1.1\r\n"));
        QVERIFY(
            server.heads[0].toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));

        // A cancelled transfer never answers; the next one works.
        server.hold = true;
        std::optional<HttpResult> cancelled, next;
        Post(client, server.Url("/one"), cancelled);
        QTRY_COMPARE(server.held.size(), 1);
        client.Cancel();
        QVERIFY(!client.Busy());
        server.hold = false;
        server.Release();  // answers the cancelled transfer if its connection is still open
        Post(client, server.Url("/two"), next);
        QTRY_VERIFY(next);
        QCOMPARE(next->outcome, HttpOutcome::Answered);
        QVERIFY(!cancelled);

        // A refused connection fails with a reason, never from inside Post either.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const std::string refused = "http://127.0.0.1:" + std::to_string(closed.serverPort()) + "/u";
        closed.close();
        std::optional<HttpResult> failed;
        Post(client, refused, failed);
        QVERIFY(!failed);
        QTRY_VERIFY(failed);
        QCOMPARE(failed->outcome, HttpOutcome::Failed);
        QCOMPARE(failed->error, "Connection refused (" + refused + ")");
    }

    void aServiceThatNeverAnswersTimesOutAndTheStatsFileIsKept() {
        Reporting r;
        r.server.hold = true;  // and never released
        std::optional<HttpResult> result;
        Post(r.client, r.server.Url("/u"), result, "x=1", 300);
        QTRY_VERIFY(result);
        QCOMPARE(result->outcome, HttpOutcome::TimedOut);

        r.reporter.SetTransferTimeoutMs(300);
        r.reporter.SendStatusReport();
        QTRY_COMPARE(r.log, QStringList{"Request timeout"});
        r.MatchEnds("ServerInfo x\r\n");
        QTRY_COMPARE(r.log, (QStringList{"Request timeout", "Import timeout"}));
        std::ifstream kept(r.stats, std::ios::binary);
        QCOMPARE(std::string(std::istreambuf_iterator<char>(kept), {}), std::string("ServerInfo x\r\n"));
    }

    // The web reporting end to end: the service decodes the form and gets the texts back.
    void theStatusReportReachesTheServiceFieldByField() {
        Reporting r;
        r.server.toviResponse = QByteArray("Status received");
        r.status.State = 3;
        r.status.GameType = 7;
        r.status.MaxPlayers = 24;
        r.status.ServerName = "Caf\xE9 Server";
        r.status.CountryCode = "FR";
        r.reporter.SendStatusReport();
        QTRY_COMPARE(r.log, QStringList{"Status received"});
        QByteArrayList fields;  // name=value, the value percent-decoded to its bytes
        for (const QByteArray& field : r.server.bodies[0].split('&'))
            fields << QByteArray::fromPercentEncoding(field);
        QCOMPARE(
            fields,
            (QByteArrayList{"servercode=QX&1", "status=3", "dedicated=False", "gametype=CTF", "maxplayers=24",
                            "servername=" + QByteArray("Caf\xE9 Server").toBase64(), "map=", "countrycode=FR",
                            "expansion=", "servermsg=", "players=0", "playernames=", "playerteams="}));
    }

    // A slow service, and a match that ends while it thinks: only what was sent is removed.
    void anUploadRemovesOnlyWhatItSent() {
        Reporting r;
        r.server.toviResponse = QByteArray("imported");
        r.server.hold = true;
        r.MatchEnds("ServerInfo first\r\n");
        QTRY_COMPARE(r.server.held.size(), 1);
        r.MatchEnds("ServerInfo second\r\n");
        r.server.hold = false;
        r.server.Release();
        QTRY_COMPARE(r.log, (QStringList{"imported", "imported"}));
        QVERIFY(!fs::exists(r.stats));
        QCOMPARE(r.server.bodies.size(), 2);
        QCOMPARE(QByteArray::fromPercentEncoding(r.server.bodies[0]),
                 "data=" + QByteArray("ServerInfo first\r\n").toBase64());
        QCOMPARE(QByteArray::fromPercentEncoding(r.server.bodies[1]),
                 "data=" + QByteArray("ServerInfo second\r\n").toBase64());
    }
};

QTEST_GUILESS_MAIN(QtHttpClientTest)
#include "QtHttpClientTest.moc"
