// The service in this process, with the reading of pages held back by the test: a report is
// stored and answered while a page waits, the page then reads what was stored, and a page whose
// client left is dropped.
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

#include "ServiceProcess.h"
#include "StatsService.h"
#include "TextEncodings.h"

using namespace tovi;
using namespace tovi::testing;

class StatsServiceReadsTest : public QObject {
    Q_OBJECT
private slots:
    void writesDoNotWaitBehindPages() {
        QTemporaryDir dir;
        const std::string path = dir.filePath(QStringLiteral("tovistats-service.db")).toStdString();
        auto writer = StatsServiceStore::Open(path, [](std::string_view b) { return std::string(b); });
        QVERIFY(writer.Store);
        std::string error;
        QVERIFY(writer.Store->AddServer("QX1", 1, error));
        auto reader = StatsServiceStore::OpenForReading(path);
        QVERIFY2(reader.Store, reader.Error.c_str());
        std::vector<std::function<void()>> held;
        StatsService service(*writer.Store, dir.path(), {}, std::move(reader.Store),
                             [&held](std::function<void()> task) { held.push_back(std::move(task)); });
        const quint16 port = service.Listen(QHostAddress::LocalHost, 0);
        QVERIFY(port != 0);
        auto send = [port](QTcpSocket& socket, const QByteArray& request) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            socket.write(request);
        };
        auto answered = [](QTcpSocket& socket, QByteArray& raw) {
            raw += socket.readAll();
            const Reply r = Parse(raw);
            return r.status != 0 && r.body.size() >= r.headers.value("content-length").toLongLong();
        };

        QTcpSocket page;
        send(page, "GET /tovistats/ HTTP/1.1\r\nHost: x\r\n\r\n");
        QTRY_COMPARE(held.size(), size_t{1});

        const QByteArray body = "servercode=QX1&status=3&dedicated=True&gametype=TDM&maxplayers=16&servername=" +
                                QByteArray::fromStdString(FormEncode(Base64Encode("Held back"))) +
                                "&map=&countrycode=DE&expansion=&servermsg=&players=0&playernames=&playerteams=";
        QTcpSocket report;
        send(report, "POST /tovistats/update.php HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                         QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray reportRaw, pageRaw;
        QTRY_VERIFY(answered(report, reportRaw));
        QCOMPARE(Parse(reportRaw).headers.value("toviresponse"), QByteArray("Status received"));
        QCOMPARE(page.bytesAvailable(), 0);

        // Read on a thread of its own, as the service's reader thread would.
        std::thread(held[0]).join();
        QTRY_VERIFY(answered(page, pageRaw));
        QCOMPARE(Parse(pageRaw).status, 200);
        QVERIFY(Parse(pageRaw).body.contains("<h2>Held back</h2>"));
        QCOMPARE(Parse(pageRaw).headers.value("x-frame-options"), QByteArray("DENY"));

        // A client gone before its page is ready: the page is dropped.
        const int before = service.Socket().Served();
        QTcpSocket gone;
        send(gone, "GET /tovistats/leaderboard HTTP/1.1\r\nHost: x\r\n\r\n");
        QTRY_COMPARE(held.size(), size_t{2});
        gone.abort();
        QTRY_COMPARE(service.Socket().Served(), before);
        std::thread(held[1]).join();
        QTest::qWait(0);  // its answer runs, and finds no one to write to
        QCOMPARE(service.Socket().Served(), before);
    }
};

QTEST_GUILESS_MAIN(StatsServiceReadsTest)
#include "StatsServiceReadsTest.moc"
