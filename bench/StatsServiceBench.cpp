// How long a server's status report waits at the stats service while visitors keep reloading the
// leaderboard of a well-filled database. Pages are read on a thread of their own, so the report
// should take about as long as with no visitors at all (goal: < 100 ms with 4 visitors over 2000
// matches; one thread for everything took seconds).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <thread>

#include "ServiceProcess.h"
#include "TextEncodings.h"
#include "UploadQueue.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// One request on a connection of its own, read to its end: the status, 0 when it failed.
int Request(quint16 port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string Post(const char* path, const std::string& body) {
    return std::string("POST ") + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

void BM_StatusReportWhileVisitorsReadTheLeaderboard(benchmark::State& state) {
    StatsServiceProcess service;
    const quint16 port = service.port;
    // 2000 matches of 24 players each, 200 names among them.
    for (int batch = 0; batch < 20; ++batch) {
        std::string stats;
        for (int m = 0; m < 100; ++m) {
            stats += "ServerInfo QX1|**QX**|Map|**QX**|TDM|**QX**|1|**QX**|2004-06-12 21:05:09|**QX**|" +
                     std::to_string(batch * 100 + m) + "\r\n";
            for (int p = 0; p < 24; ++p)
                stats += "  PlayerStats P" + std::to_string((m * 7 + p) % 200) +
                         "&end& 1 3 2 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 150 600\r\n";
        }
        if (Request(port, Post("/tovistats/import.php", UploadBody(stats))) != 200) {
            state.SkipWithError("the service did not take the matches");
            return;
        }
    }
    std::atomic<bool> stop = false;
    std::vector<std::thread> visitors;
    for (int64_t i = 0; i < state.range(0); ++i)
        visitors.emplace_back([&] {
            while (!stop) Request(port, "GET /tovistats/leaderboard HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        });
    const std::string report = Post(
        "/tovistats/update.php",
        "servercode=QX1&status=3&dedicated=True&gametype=TDM&maxplayers=16&servername=" +
            FormEncode(Base64Encode("Bench")) + "&map=&countrycode=DE&expansion=&servermsg=&players=0&playernames=&playerteams=");
    for (auto _ : state) {
        if (Request(port, report) != 200) state.SkipWithError("a report was not taken");
    }
    stop = true;
    for (std::thread& visitor : visitors) visitor.join();
}
BENCHMARK(BM_StatusReportWhileVisitorsReadTheLeaderboard)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // for the service process the helper starts
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
