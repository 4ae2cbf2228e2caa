// How long a server's status report waits at the stats service while visitors keep reloading the
// leaderboard of a well-filled database. Pages are read on a thread of their own, so the report
// should take about as long as with no visitors at all (goal: < 100 ms with 4 visitors over 2000
// matches; one thread for everything took seconds).
//
// And how long a leaderboard page takes to read from a database of N matches × 32 players over
// 3,000 names and a year of days, filled through the store's own import (goal: every period under
// 20 ms at 10,000 matches and under 100 ms at 1,000,000). The size is --matches=N (10,000 by
// default); --bench-db=PATH keeps the filled database there and reads it again on the next run
// instead of filling it anew. The fill's time is printed.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "ServiceProcess.h"
#include "StatsServiceStore.h"
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

int64_t g_matches = 10000;
std::string g_database;

// A generated year of play: matches in time order, 100 to an upload, each received ten minutes
// after it was written; 32 of 3,000 names a match (some with letters beyond ASCII), picked by a
// fixed sequence so that every run builds the same database.
void Fill(StatsServiceStore& store, int64_t matches, int64_t lastDay) {
    std::string error;
    store.AddServer("QX1", 0, error);
    uint64_t seed = 12345;
    auto next = [&seed](uint64_t bound) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return (seed >> 33) % bound;
    };
    const char* maps[] = {"Coral Reef", "Harbour", "Dam Break", "Hill 102", "Paddies"};
    const int64_t first = (lastDay - 364) * 86400;
    const int64_t span = 365 * 86400 - 3600;
    const int batch = 100;
    std::vector<MatchBlock> blocks;
    for (int64_t m = 0; m < matches; m += batch) {
        blocks.clear();
        for (int64_t i = m; i < std::min(matches, m + batch); ++i) {
            const int64_t written = first + span * i / matches;
            MatchBlock b;
            b.ServerCode = "QX1";
            b.MapName = maps[i % 5];
            b.GameType = "TDM";
            b.Result = 1;
            b.Written = QDateTime::fromSecsSinceEpoch(written, Qt::UTC)
                            .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                            .toStdString();
            b.Ticks = 1800;
            b.Bytes = "match " + std::to_string(i);
            std::vector<bool> taken(3000);
            while (b.Players.size() < 32) {
                const size_t n = next(3000);
                if (taken[n]) continue;
                taken[n] = true;
                PlayerLine p;
                p.Name = (n % 10 == 0 ? "Ren\xE9" : "Player") + std::to_string(n);
                p.Team = 1 + static_cast<int64_t>(b.Players.size() % 2);
                p.Totals[StatIndex("Kills")] = static_cast<int64_t>(next(30));
                p.Totals[StatIndex("Deaths")] = static_cast<int64_t>(next(30));
                p.Totals[StatIndex("HeadShots")] = static_cast<int64_t>(next(5));
                p.Totals[StatIndex("Targets")] = static_cast<int64_t>(next(3));
                p.Totals[StatIndex("ExpPoints")] = static_cast<int64_t>(next(500));
                p.Totals[StatIndex("TimePlayed")] = 1200 + static_cast<int64_t>(next(600));
                b.Players.push_back(std::move(p));
            }
            blocks.push_back(std::move(b));
        }
        const int64_t received = first + span * (std::min(matches, m + batch) - 1) / matches + 600;
        if (!store.StoreUpload(blocks, {}, received).Ok) {
            std::fprintf(stderr, "the generated upload was not stored\n");
            std::exit(1);
        }
    }
}

// The filled database's reader, as the service reads its pages.
StatsServiceStore& Reader(int64_t& today) {
    static QTemporaryDir dir;
    static std::unique_ptr<StatsServiceStore> reader;
    static int64_t lastDay = 0;
    if (!reader) {
        const std::string path =
            g_database.empty() ? dir.filePath(QStringLiteral("board.db")).toStdString() : g_database;
        const bool filled = std::filesystem::exists(path);
        // The digest only tells the generated blocks apart.
        auto opened =
            StatsServiceStore::Open(path, [](std::string_view bytes) { return std::string(bytes); });
        if (!opened.Store) {
            std::fprintf(stderr, "%s\n", opened.Error.c_str());
            std::exit(1);
        }
        lastDay = filled ? 0 : QDateTime::currentSecsSinceEpoch() / 86400;
        if (!filled) {
            const auto start = std::chrono::steady_clock::now();
            Fill(*opened.Store, g_matches, lastDay);
            std::fprintf(stderr, "filled %lld matches x 32 players in %.1f s\n",
                         static_cast<long long>(g_matches),
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        opened.Store.reset();
        reader = std::move(StatsServiceStore::OpenForReading(path).Store);
        if (filled) lastDay = reader->RecentMatches(1).at(0).Played / 86400;
    }
    today = lastDay;
    return *reader;
}

// range(0): the period (0 all time, 1 the last 30 days, 2 the last 7); range(1): the page asked
// for (0 the first by score, 1 the tenth by kills, 2 a search, 3 the first by score on the day
// after the last upload, before any upload has moved the kept periods on).
void BM_LeaderboardOfAGeneratedYear(benchmark::State& state) {
    int64_t today = 0;
    StatsServiceStore& store = Reader(today);
    BoardQuery query;
    if (state.range(0) == 1) query.FromDay = today - 29;
    if (state.range(0) == 2) query.FromDay = today - 6;
    if (state.range(1) == 1) {
        query.Sort = BoardSort::Kills;
        query.Offset = 450;
    }
    if (state.range(1) == 2) query.Search = std::string("ren\xE9") + "12";
    if (state.range(1) == 3 && query.FromDay) ++*query.FromDay;
    int64_t players = 0;
    for (auto _ : state) {
        const BoardRows rows = store.Leaderboard(query);
        players = rows.Players;
        benchmark::DoNotOptimize(rows.Rows.data());
    }
    state.counters["players"] = static_cast<double>(players);
}
BENCHMARK(BM_LeaderboardOfAGeneratedYear)
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // for the service process the helper starts
    // Our own flags first, out of the benchmark library's way.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.starts_with("--matches="))
            g_matches = std::max<int64_t>(1, std::atoll(argv[i] + 10));
        else if (arg.starts_with("--bench-db="))
            g_database = argv[i] + 11;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
