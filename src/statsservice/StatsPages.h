#pragma once
// The service's public pages as HTML: every text that came from a game server (names, maps,
// server texts) is escaped, so a name like "<script>" shows as that text and nothing else. A
// server is shown by its name and public id, never by its code, which is its credential.
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "StatsServiceStore.h"

namespace tovi {

enum class Period { All, Month, Week };

// Game bytes (Windows-1252) as escaped HTML text; bytes below 32 as blanks.
QString HtmlText(const std::string& bytes);
// The address of a player's page.
QString PlayerLink(const std::string& key);

QString ServersPage(const std::vector<ServerNow>& servers, const std::vector<MatchSummary>& recent,
                    int64_t now);
QString LeaderboardPage(const std::vector<PlayerTotals>& rows, Period period);
QString PlayerPageHtml(const PlayerPage& page);
QString MatchPageHtml(const MatchSummary& match, const std::vector<PlayerLine>& players);
QString NewsPageHtml(const QString& news, const std::vector<MatchSummary>& recent);
QString NotFoundPage(const QString& what);
QByteArray StyleSheet();

}  // namespace tovi
