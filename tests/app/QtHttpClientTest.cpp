// The HTTP client against a real HTTP server on 127.0.0.1 that answers in every way a service,
// a proxy or the network fails, and the web reporting over it.
#include <QTemporaryDir>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "LocalService.h"
#include "QtHttpClient.h"
#include "GameText.h"
#include "QtScheduler.h"
#include "ToviVersion.h"
#include "WebReporter.h"

using namespace tovi;
using namespace tovi::testing;
namespace fs = std::filesystem;

namespace {

// Starts a transfer whose answer lands in `result`.
void Post(QtHttpClient& client, const std::string& url, std::optional<HttpResult>& result,
          const std::string& body = "x=1", int timeoutMs = 5000) {
    HttpRequest request;
    request.url = url;
    request.body = body;
    request.headers = {{"Idempotency-Key", "abc"}};
    request.timeoutMs = timeoutMs;
    result.reset();
    client.Post(request, [&result](const HttpResult& r) { result = r; });
}

// A WebReporter posting through the HTTP client to a local service, over a fresh data folder;
// what it logs goes to `log`.
struct Reporting : LogSink {
    void Log(const std::string& message) override { log << QString::fromLatin1(message); }
    void DebugLog(const std::string&) override {}

    LocalService service;
    QTemporaryDir dir;
    fs::path stats = fs::path(dir.path().toStdString()) / "stats.stats";
    Settings settings{"QX&1", service.Url("/update.php"), service.Url("/import.php")};
    ServerStatus status;
    QtHttpClient client;
    QStringList log;
    WebReporter reporter{dir.path().toStdString(), settings, status, client, *this, Sha256Hex};

    std::string StatsOnDisk() const {
        std::ifstream in(stats, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
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
        LocalService service;
        service.toviResponse = QByteArray("Import\xE9 3");  // a Windows-1252 byte comes back as that byte
        QtHttpClient client;
        std::optional<HttpResult> result;
        const std::string body("a=%2B%2F&b=\xE9\0", 13);  // sent byte for byte, a zero byte included
        Post(client, service.Url("/tovistats/update.php"), result, body);
        QVERIFY(client.Busy() && !result);  // never answered from inside Post
        QTRY_VERIFY(result);
        QCOMPARE(result->outcome, HttpOutcome::Answered);
        QCOMPARE(result->status, 200);
        QCOMPARE(result->toviResponse, std::string("Import\xE9 3"));
        QVERIFY(result->Confirmed());
        QCOMPARE(service.taken.at(0).body, QByteArray::fromStdString(body));
        QVERIFY(service.taken[0].head.startsWith("POST /tovistats/update.php HTTP/1.1\r\n"));
        QVERIFY2(service.taken[0].head.contains("\r\nUser-Agent: tovistats/" + QByteArray(kVersionText) + "\r\n"),
                 service.taken[0].head.constData());
        QVERIFY(service.taken[0].head.toLower().contains("\r\ncontent-type: application/x-www-form-urlencoded\r\n"));
        QCOMPARE(service.taken[0].uploadId, QByteArray("abc"));

        // A cancelled transfer never answers; the next one works.
        service.reportAnswer = Answer::Hold;
        std::optional<HttpResult> cancelled, next;
        Post(client, service.Url("/one"), cancelled);
        QTRY_COMPARE(service.taken.size(), size_t{2});
        client.Cancel();
        QVERIFY(!client.Busy());
        service.reportAnswer = Answer::Accept;
        Post(client, service.Url("/two"), next);
        QTRY_VERIFY(next);
        QCOMPARE(next->outcome, HttpOutcome::Answered);
        QVERIFY(!cancelled);

        // How each failing answer ends is checked through the reporter's log below.
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

    // Every answer but a success with the header leaves the match in stats.stats, says what
    // happened, and the match goes again with the same upload id until it is confirmed.
    void onlyTheServicesConfirmationRemovesAMatch() {
        Reporting r;
        r.reporter.SetTransferTimeoutMs(600);
        const std::string block = "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 20:00:00|**QX**|9\r\n";
        std::ofstream(r.stats, std::ios::binary) << block;
        const Answer failures[] = {Answer::Redirect,   Answer::Error500Header, Answer::Error500,
                                   Answer::AcceptNoHeader, Answer::CloseEarly, Answer::StoreThenDrop,
                                   Answer::Drip,       Answer::Hold};
        // Qt itself sends a request again when a connection closes before any answer: every
        // sending of an attempt gets that attempt's answer.
        Answer answer = Answer::Accept;
        r.service.uploadAnswer = [&answer](int) { return answer; };
        for (size_t attempt = 0; attempt < std::size(failures); ++attempt) {
            answer = failures[attempt];
            r.reporter.UploadStats();
            QTRY_COMPARE_WITH_TIMEOUT(r.log.size(), static_cast<qsizetype>(attempt + 1), 20000);
            QVERIFY2(r.StatsOnDisk() == block, qPrintable(r.log.join("\n") + "\n" + QString::fromStdString(r.StatsOnDisk())));
        }
        const QString import = QString::fromStdString(r.settings.ImportURL);
        const QString failed = "Stats upload (1 match) to " + import + " failed: ";
        QCOMPARE(r.log, (QStringList{
                            failed + "HTTP 301, a redirect to " + QString::fromStdString(r.service.Url("/moved")) +
                                " (not followed: correct the address in the settings)",
                            failed + "HTTP 500; ToviResponse: Imported; the service says: body",
                            failed + "HTTP 500; the service says: body",
                            failed + "HTTP 200 without a ToviResponse header, so not confirmed",
                            failed + "the connection closed before the whole answer came (" + import + ")",
                            failed + "the connection closed without an answer (" + import + ")",
                            "Import timeout: the stats upload (1 match) to " + import +
                                " got no complete answer within 0.6 s",
                            "Import timeout: the stats upload (1 match) to " + import +
                                " got no complete answer within 0.6 s"}));
        answer = Answer::Accept;
        r.reporter.UploadStats();
        QTRY_VERIFY(!fs::exists(r.stats));
        QCOMPARE(r.log.last(), QStringLiteral("Imported"));
        QCOMPARE(r.service.redirectsFollowed, 0);
        QCOMPARE(r.service.stored, std::vector<std::string>{block});
        QCOMPARE(r.service.IdsPerBlock().size(), size_t{1});
        QCOMPARE(r.service.IdsPerBlock().begin()->second.size(), size_t{1});
    }
};

QTEST_GUILESS_MAIN(QtHttpClientTest)
#include "QtHttpClientTest.moc"
