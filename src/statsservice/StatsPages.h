#pragma once
// The service's public pages as HTML: every text that came from a game server (names, maps,
// server texts) is escaped, so a name like "<script>" shows as that text and nothing else. A
// server is shown by its name and public id, never by its code, which is its credential.
#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "StatsServiceStore.h"

namespace tovi {

enum class Period { All, Month, Week };

// What a leaderboard page shows: the period, the order, the search and the page, all kept in
// its links.
struct BoardView {
    Period Of = Period::All;
    BoardSort Sort = BoardSort::Score;
    bool Ascending = false;
    std::string Search;  // Windows-1252 bytes
    int Page = 1;
    static constexpr int kPageSize = 50;
};
// The view a leaderboard address asks for; `param` gives a query parameter's bytes.
BoardView BoardViewOf(const std::function<QByteArray(const QByteArray&)>& param);
// The store's question for a view, its periods counted back from `now` by the day of play.
BoardQuery BoardQueryOf(const BoardView& view, int64_t now);

// A name sent in an address: UTF-8 (what pages link and browsers send) turned into the game's
// bytes; none when the bytes are not UTF-8 or name a character Windows-1252 has not.
std::optional<std::string> NameFromUtf8(const QByteArray& bytes);

// Game bytes (Windows-1252) as escaped HTML text; bytes below 32 as blanks.
QString HtmlText(const std::string& bytes);
// The address of a player's page: the name's UTF-8 form, percent-encoded.
QString PlayerLink(const std::string& key);

QString ServersPage(const std::vector<ServerNow>& servers, const std::vector<MatchSummary>& recent,
                    int64_t now);
QString LeaderboardPage(const BoardRows& rows, const BoardView& view);
QString PlayerPageHtml(const PlayerPage& page);
QString MatchPageHtml(const MatchSummary& match, const std::vector<PlayerLine>& players);
QString NewsPageHtml(const QString& news, const std::vector<MatchSummary>& recent);
QString MapsPage(const std::vector<PlaceTotals>& maps);
// A map's or a server's page: its totals and latest matches.
QString PlacePage(const PlaceTotals& place, const std::vector<MatchSummary>& recent);
QString NotFoundPage(const QString& what);
QByteArray Favicon();
QByteArray StyleSheet();

}  // namespace tovi
