#include "StatsPages.h"

#include <QDateTime>
#include <QStringList>
#include <QUrl>

#include "PlayerClass.h"
#include "Windows1252.h"

namespace tovi {

namespace {

QString Time(int64_t secondsUtc) {
    return QDateTime::fromSecsSinceEpoch(secondsUtc, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm 'UTC'"));
}

QString Number(int64_t n) {
    return QString::number(n);
}

int64_t Stat(const std::array<int64_t, kStatCount>& totals, std::string_view name) {
    return totals[StatIndex(name)];
}

QString Page(const QString& title, const QString& body) {
    return QStringLiteral(
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
               "<title>%1 - Tovi stats</title><link rel=\"stylesheet\" href=\"/tovistats/style.css\"></head>"
               "<body><nav><a href=\"/tovistats/\">Servers</a> <a "
               "href=\"/tovistats/leaderboard\">Leaderboard</a>"
               " <a href=\"/tovistats/news.php\">News</a></nav><main><h1>%1</h1>\n%2</main></body></html>\n")
        .arg(title, body);
}

// A server by its public id and the name of its latest report: its code is its credential.
QString ServerLabel(int64_t id, const std::string& name) {
    return name.empty() ? QStringLiteral("Server #%1").arg(id)
                        : QStringLiteral("%1 <span class=\"id\">#%2</span>").arg(HtmlText(name), Number(id));
}

QString MatchLink(const MatchSummary& m) {
    return QStringLiteral("<a href=\"/tovistats/match?id=%1\">%2</a>")
        .arg(Number(m.Id), HtmlText(m.Block.Written));
}

QString StateText(int state) {
    switch (state) {
        case 1:
            return QStringLiteral("Loading mission");
        case 2:
            return QStringLiteral("Waiting for players");
        case 3:
            return QStringLiteral("Hosting mission");
        case 4:
            return QStringLiteral("Scoring mission");
        default:
            return QStringLiteral("Unknown");
    }
}

QString MatchesTable(const std::vector<MatchSummary>& matches) {
    if (matches.empty()) return QStringLiteral("<p>No matches yet.</p>");
    QString html = QStringLiteral(
        "<table><tr><th>Match (server time)</th><th>Server</th><th>Map</th><th>Type</th>"
        "<th>Received</th></tr>");
    for (const MatchSummary& m : matches) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td></tr>")
                    .arg(MatchLink(m), ServerLabel(m.ServerId, m.ServerName), HtmlText(m.Block.MapName),
                         HtmlText(m.Block.GameType), Time(m.Received));
    }
    return html + QStringLiteral("</table>");
}

QString ScoreNote() {
    return QStringLiteral("<p class=\"note\">Score = %1, from the match totals the servers uploaded.</p>")
        .arg(QString::fromUtf8(ScoreFormula().c_str()).toHtmlEscaped());
}

QString StatHeader() {
    QString html;
    for (const Statistic& s : kStatisticList)
        html += QStringLiteral("<th>%1</th>")
                    .arg(QString::fromLatin1(s.Name.data(), static_cast<qsizetype>(s.Name.size())));
    return html;
}

QString StatCells(const std::array<int64_t, kStatCount>& totals) {
    QString html;
    for (int64_t v : totals) html += QStringLiteral("<td>%1</td>").arg(v);
    return html;
}

}  // namespace

QString HtmlText(const std::string& bytes) {
    std::string safe = bytes;
    for (char& c : safe) {
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    }
    return QString::fromUtf8(Windows1252ToUtf8(safe).c_str()).toHtmlEscaped();
}

QString PlayerLink(const std::string& key) {
    return QStringLiteral("/tovistats/player?name=") +
           QString::fromLatin1(QUrl::toPercentEncoding(QByteArray::fromStdString(key)));
}

QString ServersPage(const std::vector<ServerNow>& servers, const std::vector<MatchSummary>& recent,
                    int64_t now) {
    QString html;
    if (servers.empty()) html += QStringLiteral("<p>No servers are registered.</p>");
    for (const ServerNow& s : servers) {
        const StatusReport& r = s.Report;
        html += QStringLiteral("<section class=\"server\"><h2>%1</h2>")
                    .arg(s.Received && !r.ServerName.empty() ? HtmlText(r.ServerName)
                                                             : QStringLiteral("Server #%1").arg(s.Id));
        if (s.Received == 0) {
            html += QStringLiteral("<p>Server #%1 has not reported yet.</p></section>").arg(s.Id);
            continue;
        }
        // The program reports every 30 seconds while a mission is loaded.
        const bool stale = now - s.Received > 90;
        // One arg() call: a text that holds "%1" must not be taken for a place of the next one.
        html +=
            QStringLiteral("<p class=\"status\">%1%2 &middot; %3 &middot; %4 &middot; %5 of %6 players</p>")
                .arg(stale ? QStringLiteral("Not reporting since ") + Time(s.Received) +
                                 QStringLiteral(" (was: ")
                           : QString(),
                     StateText(r.State) + (stale ? QStringLiteral(")") : QString()), HtmlText(r.MapName),
                     HtmlText(r.GameType), Number(r.PlayerCount), Number(r.MaxPlayers));
        html +=
            QStringLiteral("<p>Server #%1 &middot; %2 &middot; country %3 &middot; last report %4</p>")
                .arg(Number(s.Id), r.Dedicated ? QStringLiteral("dedicated") : QStringLiteral("hosted"),
                     HtmlText(r.CountryCode), Time(s.Received));
        if (!r.ServerMessage.empty())
            html += QStringLiteral("<p class=\"motd\">%1</p>").arg(HtmlText(r.ServerMessage));
        if (!r.Players.empty()) {
            html += QStringLiteral("<table><tr><th>Player</th><th>Team</th></tr>");
            for (const StatusPlayer& p : r.Players) {
                html += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td>%3</td></tr>")
                            .arg(PlayerLink(LowerCase1252(p.Name)).toHtmlEscaped(), HtmlText(p.Name),
                                 HtmlText(p.Team));
            }
            html += QStringLiteral("</table>");
        }
        html += QStringLiteral("</section>");
    }
    html += QStringLiteral("<h2>Latest matches</h2>") + MatchesTable(recent);
    return Page(QStringLiteral("Servers"), html);
}

QString LeaderboardPage(const std::vector<PlayerTotals>& rows, Period period) {
    const QString names[] = {QStringLiteral("all time"), QStringLiteral("the last 30 days"),
                             QStringLiteral("the last 7 days")};
    const char* keys[] = {"all", "month", "week"};
    QString html = QStringLiteral("<p class=\"periods\">");
    for (int i = 0; i < 3; ++i) {
        html += i == static_cast<int>(period)
                    ? QStringLiteral("<strong>%1</strong> ").arg(names[i])
                    : QStringLiteral("<a href=\"/tovistats/leaderboard?period=%1\">%2</a> ")
                          .arg(QLatin1String(keys[i]), names[i]);
    }
    html += QStringLiteral("</p>") + ScoreNote();
    if (rows.empty()) {
        html += QStringLiteral("<p>No matches in this period.</p>");
    } else {
        html += QStringLiteral(
            "<table id=\"leaderboard\"><tr><th>#</th><th>Player</th><th>Score</th><th>Matches</th>"
            "<th>Kills</th><th>Deaths</th><th>Assists</th><th>Exp. points</th><th>Time played</th></tr>");
        int rank = 0;
        for (const PlayerTotals& t : rows) {
            html += QStringLiteral("<tr><td>%1</td><td><a href=\"%2\">%3</a></td><td class=\"score\">%4</td>")
                        .arg(Number(++rank), PlayerLink(t.Key).toHtmlEscaped(), HtmlText(t.Name),
                             Number(t.Score));
            for (int64_t value :
                 {t.Matches, Stat(t.Totals, "Kills"), Stat(t.Totals, "Deaths"), Stat(t.Totals, "Assists"),
                  Stat(t.Totals, "ExpPoints"), Stat(t.Totals, "TimePlayed")})
                html += QStringLiteral("<td>%1</td>").arg(value);
            html += QStringLiteral("</tr>");
        }
        html += QStringLiteral("</table>");
    }
    return Page(QStringLiteral("Leaderboard: ") + names[static_cast<int>(period)], html);
}

QString PlayerPageHtml(const PlayerPage& page) {
    const PlayerTotals& t = page.Totals;
    QString html = QStringLiteral("<p>Score <span class=\"score\" id=\"score\">%1</span> in %2 matches.</p>")
                       .arg(Number(t.Score), Number(t.Matches));
    html += ScoreNote();
    html +=
        QStringLiteral(
            "<h2>Totals</h2><div class=\"wide\"><table id=\"totals\"><tr>%1</tr><tr>%2</tr></table></div>")
            .arg(StatHeader(), StatCells(t.Totals));
    html += QStringLiteral("<h2>Matches</h2>");
    if (page.History.empty()) {
        html += QStringLiteral("<p>No uploaded matches.</p>");
    } else {
        html += QStringLiteral(
                    "<div class=\"wide\"><table id=\"history\"><tr><th>Match</th><th>Server</th><th>Map</th>"
                    "<th>Name</th><th>Team</th><th>Score</th>%1</tr>")
                    .arg(StatHeader());
        for (const PlayerMatch& m : page.History) {
            html += QStringLiteral(
                        "<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td>%7</tr>")
                        .arg(MatchLink(m.Match), ServerLabel(m.Match.ServerId, m.Match.ServerName),
                             HtmlText(m.Match.Block.MapName), HtmlText(m.Line.Name), Number(m.Line.Team),
                             Number(Score(m.Line.Totals)), StatCells(m.Line.Totals));
        }
        html += QStringLiteral("</table></div>");
    }
    html += QStringLiteral(
        "<h2>Names seen</h2><table id=\"names\"><tr><th>Name</th><th>First seen</th><th>Last seen</th></tr>");
    for (const NameSeen& n : page.Names) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                    .arg(HtmlText(n.Name), Time(n.FirstSeen), Time(n.LastSeen));
    }
    html += QStringLiteral("</table>");
    return Page(HtmlText(t.Name), html);
}

QString MatchPageHtml(const MatchSummary& m, const std::vector<PlayerLine>& players) {
    const MatchBlock& b = m.Block;
    QString html =
        QStringLiteral(
            "<table id=\"server\"><tr><th>Server</th><th>Map</th><th>Type</th><th>Result</th>"
            "<th>Written (server time)</th><th>Match ticks</th><th>Received</th></tr>"
            "<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td><td>%7</td></tr></table>")
            .arg(ServerLabel(m.ServerId, m.ServerName), HtmlText(b.MapName), HtmlText(b.GameType),
                 b.Result ? Number(*b.Result) : QString(), HtmlText(b.Written), Number(b.Ticks),
                 Time(m.Received));
    html += QStringLiteral(
                "<h2>Players</h2><div class=\"wide\"><table id=\"players\"><tr><th>Player</th><th>Team</th>"
                "<th>Score</th>%1</tr>")
                .arg(StatHeader());
    for (const PlayerLine& p : players) {
        html += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td>%3</td><td>%4</td>%5</tr>")
                    .arg(PlayerLink(LowerCase1252(p.Name)).toHtmlEscaped(), HtmlText(p.Name), Number(p.Team),
                         Number(Score(p.Totals)), StatCells(p.Totals));
    }
    html += QStringLiteral("</table></div>");
    return Page(QStringLiteral("Match on ") + HtmlText(b.MapName), html);
}

QString NewsPageHtml(const QString& news, const std::vector<MatchSummary>& recent) {
    QString html;
    for (const QString& paragraph : news.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        html += QStringLiteral("<p>%1</p>").arg(paragraph.trimmed().toHtmlEscaped());
    if (news.trimmed().isEmpty()) html += QStringLiteral("<p>No news from this stats service.</p>");
    html += QStringLiteral("<h2>Latest matches</h2>") + MatchesTable(recent);
    return Page(QStringLiteral("News"), html);
}

QString NotFoundPage(const QString& what) {
    return Page(QStringLiteral("Not found"), QStringLiteral("<p>%1</p>").arg(what.toHtmlEscaped()));
}

QByteArray StyleSheet() {
    return QByteArrayLiteral(
        "body{font-family:sans-serif;margin:0;color:#222;background:#f6f6f2}"
        "nav{background:#2d3b2d;padding:.6em 1em}nav a{color:#fff;margin-right:1.2em;text-decoration:none}"
        "main{padding:1em}table{border-collapse:collapse;margin:.5em 0}"
        "th,td{border:1px solid #ccc;padding:.25em .5em;text-align:left}th{background:#e4e8e0}"
        ".wide{overflow-x:auto}.note{color:#555;font-size:.9em}.score{font-weight:bold}"
        ".server{background:#fff;border:1px solid #ddd;padding:.5em 1em;margin-bottom:1em}\n");
}

}  // namespace tovi
