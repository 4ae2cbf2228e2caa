#include "StatsPages.h"

#include <QDateTime>
#include <QLocale>
#include <QStringDecoder>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "PlayerClass.h"
#include "Windows1252.h"

namespace tovi {

namespace {

QString Time(int64_t secondsUtc) {
    return QDateTime::fromSecsSinceEpoch(secondsUtc, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-dd hh:mm 'UTC'"));
}

// A date on one line.
QString Date(const QString& text) {
    return QStringLiteral("<span class=\"date\">%1</span>").arg(text);
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
               "<title>%1 - Tovi stats</title><link rel=\"stylesheet\" href=\"/tovistats/style.css\">"
               "<link rel=\"icon\" type=\"image/svg+xml\" href=\"/tovistats/favicon.svg\"></head>"
               "<body><nav><a href=\"/tovistats/\">Servers</a> <a "
               "href=\"/tovistats/leaderboard\">Leaderboard</a> <a href=\"/tovistats/maps\">Maps</a>"
               " <a href=\"/tovistats/news.php\">News</a></nav><main><h1>%1</h1>\n%2</main></body></html>\n")
        .arg(title, body);
}

// A server by its public id and the name of its latest report: its code is its credential.
QString ServerLabel(int64_t id, const std::string& name) {
    return name.empty() ? QStringLiteral("Server #%1").arg(id)
                        : QStringLiteral("%1 <span class=\"id\">#%2</span>").arg(HtmlText(name), Number(id));
}

QString MatchLink(const MatchSummary& m) {
    return QStringLiteral("<a href=\"/tovistats/match?id=%1\" class=\"date\">%2</a>")
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

QString MapLink(const std::string& name) {
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(
            (QStringLiteral("/tovistats/map?name=") +
             QString::fromLatin1(QUrl::toPercentEncoding(QByteArray::fromStdString(Windows1252ToUtf8(name)))))
                .toHtmlEscaped(),
            name.empty() ? QStringLiteral("(no name)") : HtmlText(name));
}

// A server's page is found by its public id.
QString ServerLink(int64_t id, const std::string& name) {
    return QStringLiteral("<a href=\"/tovistats/server?id=%1\">%2</a>")
        .arg(Number(id), ServerLabel(id, name));
}

QString MatchesTable(const std::vector<MatchSummary>& matches) {
    if (matches.empty()) return QStringLiteral("<p>No matches yet.</p>");
    QString html = QStringLiteral(
        "<div class=\"wide\"><table class=\"matches\"><tr><th>Match (server "
        "time)</th><th>Server</th><th>Map</th>"
        "<th class=\"minor\">Type</th><th class=\"minor\">Received</th></tr>");
    for (const MatchSummary& m : matches) {
        html += QStringLiteral(
                    "<tr><td>%1</td><td>%2</td><td>%3</td><td class=\"minor\">%4</td><td "
                    "class=\"minor\">%5</td></tr>")
                    .arg(MatchLink(m), ServerLink(m.ServerId, m.ServerName), MapLink(m.Block.MapName),
                         HtmlText(m.Block.GameType), Date(Time(m.Received)));
    }
    return html + QStringLiteral("</table></div>");
}

QString PlaceFacts(const PlaceTotals& p) {
    return QStringLiteral(
               "<dl class=\"facts\" id=\"totals\"><div><dt>Matches</dt><dd>%1</dd></div><div><dt>Players "
               "(summed "
               "over matches)</dt><dd>%2</dd></div><div><dt>First played</dt><dd>%3</dd></div><div><dt>Last "
               "played</dt><dd>%4</dd></div></dl>")
        .arg(Number(p.Matches), Number(p.Players),
             p.Matches ? Date(Time(p.FirstPlayed)) : QStringLiteral("&ndash;"),
             p.Matches ? Date(Time(p.LastPlayed)) : QStringLiteral("&ndash;"));
}

QString KillsPerDeath(int64_t kills, int64_t deaths) {
    return QString::number(static_cast<double>(kills) / static_cast<double>(std::max<int64_t>(deaths, 1)),
                           'f', 2);
}

// Seconds as h:mm:ss, the hours running on past a day.
QString Duration(int64_t seconds) {
    const bool negative = seconds < 0;
    const int64_t s = negative ? -seconds : seconds;
    return QStringLiteral("%1%2:%3:%4")
        .arg(negative ? QStringLiteral("-") : QString())
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

// The statistics as the pages name them, in the order the pages show them: what players look
// for first. "SdAd" counters are the Search & Destroy and Attack & Defend game types' zones.
struct StatLabel {
    std::string_view Name;  // in the statistic list
    const char* Title;
    bool Duration = false;  // seconds, shown as h:mm:ss
};
constexpr StatLabel kStatLabels[] = {
    {"Kills", "Kills"},
    {"Deaths", "Deaths"},
    {"HeadShots", "Head shots"},
    {"Knifes", "Knife kills"},
    {"SniperKills", "Sniper kills"},
    {"Assists", "Assists"},
    {"Targets", "Targets"},
    {"PspTakes", "PSPs taken"},
    {"PspAttempt", "PSP attempts"},
    {"ZoneAttackKills", "Zone attack kills"},
    {"ZoneDefendKills", "Zone defence kills"},
    {"SecondsInZone", "Time in zone", true},
    {"SdAdEnemyZoneAttackKills", "S&amp;D/A&amp;D enemy zone attack kills"},
    {"SdAdEnemyZoneSecuringKills", "S&amp;D/A&amp;D enemy zone securing kills"},
    {"SdAdFriendlyZoneDefendKills", "S&amp;D/A&amp;D own zone defence kills"},
    {"SdAdFriendlyZonePolicingKills", "S&amp;D/A&amp;D own zone policing kills"},
    {"MedicSaves", "Medic saves"},
    {"MedicRevives", "Medic revives"},
    {"Murders", "Team kills"},
    {"Suicides", "Suicides"},
    {"ShotsFired", "Shots fired"},
    {"ExpPoints", "Exp. points"},
    {"TimePlayed", "Time played", true},
};
constexpr bool EveryStatisticNamedOnce() {
    for (const Statistic& s : kStatisticList) {
        int named = 0;
        for (const StatLabel& l : kStatLabels) named += l.Name == s.Name ? 1 : 0;
        if (named != 1) return false;
    }
    return std::size(kStatLabels) == kStatisticList.size();
}
static_assert(EveryStatisticNamedOnce(), "every statistic needs one name on the pages");

using Totals = std::array<int64_t, kStatCount>;

QString ScoreNote() {
    QString formula;
    for (const ScoreWeight& w : kScoreWeights) {
        const int weight = formula.isEmpty() ? w.Weight : std::abs(w.Weight);
        if (!formula.isEmpty()) formula += w.Weight < 0 ? QStringLiteral(" &minus; ") : QStringLiteral(" + ");
        if (weight != 1) formula += QString::number(weight) + QStringLiteral(" &times; ");
        for (const StatLabel& l : kStatLabels)
            if (l.Name == w.Stat) formula += QLatin1String(l.Title);
    }
    return QStringLiteral("<p class=\"note\">Score = %1, from the match totals the servers uploaded.</p>")
        .arg(formula);
}

// The statistics a page shows: Kills and Deaths always, the others where some row of the page
// holds a value other than 0.
std::vector<const StatLabel*> ShownStats(const std::vector<const Totals*>& rows) {
    std::vector<const StatLabel*> shown;
    for (const StatLabel& l : kStatLabels) {
        const size_t at = StatIndex(l.Name);
        const bool any =
            std::any_of(rows.begin(), rows.end(), [at](const Totals* t) { return (*t)[at] != 0; });
        if (any || l.Name == "Kills" || l.Name == "Deaths") shown.push_back(&l);
    }
    return shown;
}

QString StatValue(const StatLabel& l, const Totals& totals) {
    const int64_t v = totals[StatIndex(l.Name)];
    return l.Duration ? Duration(v) : QString::number(v);
}

// Header cells, with K/D after Deaths.
QString StatHeader(const std::vector<const StatLabel*>& shown) {
    QString html;
    for (const StatLabel* l : shown) {
        html += QStringLiteral("<th>%1</th>").arg(QLatin1String(l->Title));
        if (l->Name == "Deaths") html += QStringLiteral("<th>K/D</th>");
    }
    return html;
}

QString StatCells(const std::vector<const StatLabel*>& shown, const Totals& totals) {
    QString html;
    for (const StatLabel* l : shown) {
        html += QStringLiteral("<td>%1</td>").arg(StatValue(*l, totals));
        if (l->Name == "Deaths")
            html += QStringLiteral("<td>%1</td>")
                        .arg(KillsPerDeath(totals[StatIndex("Kills")], totals[StatIndex("Deaths")]));
    }
    return html;
}

// What the game's result byte means is not known to the service: it is named as the game's code.
QString ResultText(const std::optional<int>& result) {
    return result ? QStringLiteral("game's result code %1").arg(*result) : QStringLiteral("not read");
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
    // UTF-8, as browsers and chat programs take an address's bytes to be.
    return QStringLiteral("/tovistats/player?name=") +
           QString::fromLatin1(QUrl::toPercentEncoding(QByteArray::fromStdString(Windows1252ToUtf8(key))));
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
            html += QStringLiteral("<div class=\"wide\"><table><tr><th>Player</th><th>Team</th></tr>");
            for (const StatusPlayer& p : r.Players) {
                html += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td>%3</td></tr>")
                            .arg(PlayerLink(LowerCase1252(p.Name)).toHtmlEscaped(), HtmlText(p.Name),
                                 HtmlText(p.Team));
            }
            html += QStringLiteral("</table></div>");
        }
        html += QStringLiteral("</section>");
    }
    html += QStringLiteral("<h2>Latest matches</h2>") + MatchesTable(recent);
    return Page(QStringLiteral("Servers"), html);
}

namespace {

struct PeriodName {
    Period Of;
    const char* Key;
    const char* Text;
    int Days;  // 0: all time
};
constexpr PeriodName kPeriods[] = {
    {Period::All, "all", "all time", 0},
    {Period::Month, "month", "the last 30 days", 30},
    {Period::Week, "week", "the last 7 days", 7},
};

struct BoardColumn {
    BoardSort Sort;
    const char* Key;
    const char* Title;
};
constexpr BoardColumn kBoardColumns[] = {
    {BoardSort::Name, "name", "Player"},
    {BoardSort::Score, "score", "Score"},
    {BoardSort::Matches, "matches", "Matches"},
    {BoardSort::Kills, "kills", "Kills"},
    {BoardSort::Deaths, "deaths", "Deaths"},
    {BoardSort::KillsPerDeath, "kd", "K/D"},
    {BoardSort::HeadShots, "headshots", "Head shots"},
    {BoardSort::Targets, "targets", "Targets"},
    {BoardSort::ExpPoints, "exp", "Exp. points"},
    {BoardSort::TimePlayed, "time", "Time played"},
};

const BoardColumn& ColumnOf(BoardSort sort) {
    for (const BoardColumn& c : kBoardColumns)
        if (c.Sort == sort) return c;
    return kBoardColumns[1];
}

const PeriodName& PeriodOf(Period period) {
    for (const PeriodName& p : kPeriods)
        if (p.Of == period) return p;
    return kPeriods[0];
}

// The address of a leaderboard view, with what is the default left out.
QString BoardLink(const BoardView& v) {
    QStringList parts;
    if (v.Of != Period::All) parts << QStringLiteral("period=") + QLatin1String(PeriodOf(v.Of).Key);
    if (v.Sort != BoardSort::Score) parts << QStringLiteral("sort=") + QLatin1String(ColumnOf(v.Sort).Key);
    if (v.Ascending != (v.Sort == BoardSort::Name))
        parts << (v.Ascending ? QStringLiteral("dir=asc") : QStringLiteral("dir=desc"));
    if (!v.Search.empty())
        parts << QStringLiteral("q=") + QString::fromLatin1(QUrl::toPercentEncoding(
                                            QByteArray::fromStdString(Windows1252ToUtf8(v.Search))));
    if (v.Page > 1) parts << QStringLiteral("page=%1").arg(v.Page);
    return QStringLiteral("/tovistats/leaderboard") +
           (parts.isEmpty() ? QString() : QLatin1Char('?') + parts.join(QLatin1Char('&')));
}

QString Count(int64_t n) {
    return QLocale(QLocale::English).toString(static_cast<qlonglong>(n));
}

}  // namespace

BoardView BoardViewOf(const std::function<QByteArray(const QByteArray&)>& param) {
    BoardView v;
    const QByteArray period = param("period");
    for (const PeriodName& p : kPeriods)
        if (period == p.Key) v.Of = p.Of;
    const QByteArray sort = param("sort");
    for (const BoardColumn& c : kBoardColumns)
        if (sort == c.Key) v.Sort = c.Sort;
    const QByteArray dir = param("dir");
    v.Ascending = dir == "asc" || (dir != "desc" && v.Sort == BoardSort::Name);
    const QByteArray search = param("q").trimmed().left(static_cast<qsizetype>(kMaxTextBytes) * 4);
    v.Search = NameFromUtf8(search).value_or(search.toStdString());
    bool ok = false;
    const int page = param("page").toInt(&ok);
    v.Page = ok ? std::clamp(page, 1, 1000000) : 1;
    return v;
}

BoardQuery BoardQueryOf(const BoardView& v, int64_t now) {
    BoardQuery q;
    const int days = PeriodOf(v.Of).Days;
    // Today and the days before it.
    if (days > 0) q.FromDay = now / 86400 - (days - 1);
    q.Search = v.Search;
    q.Sort = v.Sort;
    q.Ascending = v.Ascending;
    q.Offset = (v.Page - 1) * BoardView::kPageSize;
    q.Limit = BoardView::kPageSize;
    return q;
}

std::optional<std::string> NameFromUtf8(const QByteArray& bytes) {
    QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decode(bytes);
    if (decode.hasError()) return std::nullopt;
    std::string name;
    for (const char32_t c : text.toStdU32String()) {
        const char b = UnicodeToWindows1252(c);
        if (b == '?' && c != U'?') return std::nullopt;
        name += b;
    }
    return name;
}

QString LeaderboardPage(const BoardRows& board, const BoardView& view) {
    QString html = QStringLiteral("<p class=\"periods\">");
    for (const PeriodName& p : kPeriods) {
        BoardView to = view;
        to.Of = p.Of;
        to.Page = 1;
        html += p.Of == view.Of ? QStringLiteral("<strong>%1</strong> ").arg(QLatin1String(p.Text))
                                : QStringLiteral("<a href=\"%1\">%2</a> ")
                                      .arg(BoardLink(to).toHtmlEscaped(), QLatin1String(p.Text));
    }
    html += QStringLiteral("</p>");
    html += QStringLiteral(
                "<form class=\"search\" method=\"get\" action=\"/tovistats/leaderboard\">%1%2"
                "<input type=\"search\" name=\"q\" value=\"%3\" placeholder=\"Name or part of it\" "
                "aria-label=\"Search by name\"> <button type=\"submit\">Search</button></form>")
                .arg(view.Of == Period::All
                         ? QString()
                         : QStringLiteral("<input type=\"hidden\" name=\"period\" value=\"%1\">")
                               .arg(QLatin1String(PeriodOf(view.Of).Key)),
                     view.Sort == BoardSort::Score
                         ? QString()
                         : QStringLiteral("<input type=\"hidden\" name=\"sort\" value=\"%1\">")
                               .arg(QLatin1String(ColumnOf(view.Sort).Key)),
                     HtmlText(view.Search));
    html += ScoreNote();
    const int64_t pages =
        std::max<int64_t>(1, (board.Players + BoardView::kPageSize - 1) / BoardView::kPageSize);
    const QString found = view.Search.empty()
                              ? QString()
                              : QStringLiteral(" named like &ldquo;%1&rdquo;").arg(HtmlText(view.Search));
    html += QStringLiteral("<p class=\"notice\" id=\"notice\">%1 %2%3 &middot; page %4 of %5</p>")
                .arg(Count(board.Players),
                     board.Players == 1 ? QStringLiteral("player") : QStringLiteral("players"), found,
                     Count(view.Page), Count(pages));
    if (board.Rows.empty()) {
        html += view.Page > 1 ? QStringLiteral("<p>No players on this page.</p>")
                              : QStringLiteral("<p>No players in this period.</p>");
    } else {
        html += QStringLiteral("<div class=\"wide\"><table id=\"leaderboard\"><tr><th>#</th>");
        for (const BoardColumn& c : kBoardColumns) {
            BoardView to = view;
            to.Sort = c.Sort;
            to.Page = 1;
            // A click on the column already sorted by turns its order around.
            to.Ascending = c.Sort == view.Sort ? !view.Ascending : c.Sort == BoardSort::Name;
            const QString mark = c.Sort != view.Sort ? QString()
                                 : view.Ascending    ? QStringLiteral(" &#9650;")
                                                     : QStringLiteral(" &#9660;");
            html +=
                QStringLiteral("<th class=\"c-%1\"><a href=\"%2\">%3</a>%4</th>")
                    .arg(QLatin1String(c.Key), BoardLink(to).toHtmlEscaped(), QLatin1String(c.Title), mark);
        }
        html += QStringLiteral("</tr>");
        int64_t rank = static_cast<int64_t>(view.Page - 1) * BoardView::kPageSize;
        for (const PlayerTotals& t : board.Rows) {
            const int64_t kills = Stat(t.Totals, "Kills"), deaths = Stat(t.Totals, "Deaths");
            html +=
                QStringLiteral(
                    "<tr><td>%1</td><td class=\"c-name\"><a href=\"%2\">%3</a></td><td class=\"c-score "
                    "score\">%4</td>"
                    "<td class=\"c-matches\">%5</td><td class=\"c-kills\">%6</td><td "
                    "class=\"c-deaths\">%7</td>"
                    "<td class=\"c-kd\">%8</td>")
                    .arg(Number(++rank), PlayerLink(t.Key).toHtmlEscaped(), HtmlText(t.Name), Number(t.Score),
                         Number(t.Matches), Number(kills), Number(deaths), KillsPerDeath(kills, deaths));
            html += QStringLiteral(
                        "<td class=\"c-headshots\">%1</td><td class=\"c-targets\">%2</td><td "
                        "class=\"c-exp\">%3</td>"
                        "<td class=\"c-time\">%4</td></tr>")
                        .arg(Number(Stat(t.Totals, "HeadShots")), Number(Stat(t.Totals, "Targets")),
                             Number(Stat(t.Totals, "ExpPoints")), Duration(Stat(t.Totals, "TimePlayed")));
        }
        html += QStringLiteral("</table></div>");
    }
    if (pages > 1) {
        html += QStringLiteral("<nav class=\"pages\">");
        auto to = [&](int page, const char* text) {
            BoardView v = view;
            v.Page = page;
            html += QStringLiteral("<a href=\"%1\" rel=\"nofollow\">%2</a> ")
                        .arg(BoardLink(v).toHtmlEscaped(), QLatin1String(text));
        };
        if (view.Page > 1) {
            to(1, "&laquo; First");
            to(static_cast<int>(std::min<int64_t>(view.Page - 1, pages)), "&lsaquo; Previous");
        }
        if (view.Page < pages) {
            to(view.Page + 1, "Next &rsaquo;");
            to(static_cast<int>(pages), "Last &raquo;");
        }
        html += QStringLiteral("</nav>");
    }
    return Page(QStringLiteral("Leaderboard: ") + QLatin1String(PeriodOf(view.Of).Text), html);
}

QString PlayerPageHtml(const PlayerPage& page) {
    const PlayerTotals& t = page.Totals;
    QString html = QStringLiteral("<p>Score <span class=\"score\" id=\"score\">%1</span> in %2 %3.</p>")
                       .arg(Number(t.Score), Number(t.Matches),
                            t.Matches == 1 ? QStringLiteral("match") : QStringLiteral("matches"));
    html += ScoreNote();
    html += QStringLiteral("<h2>Totals</h2><dl class=\"stats\" id=\"totals\">");
    for (const StatLabel* l : ShownStats({&t.Totals})) {
        html += QStringLiteral("<div><dt>%1</dt><dd>%2</dd></div>")
                    .arg(QLatin1String(l->Title), StatValue(*l, t.Totals));
        if (l->Name == "Deaths")
            html += QStringLiteral("<div><dt>K/D</dt><dd>%1</dd></div>")
                        .arg(KillsPerDeath(Stat(t.Totals, "Kills"), Stat(t.Totals, "Deaths")));
    }
    html += QStringLiteral("</dl><h2>Matches</h2>");
    if (page.History.empty()) {
        html += QStringLiteral("<p>No uploaded matches.</p>");
    } else {
        std::vector<const Totals*> rows;
        for (const PlayerMatch& m : page.History) rows.push_back(&m.Line.Totals);
        const auto shown = ShownStats(rows);
        html += QStringLiteral(
                    "<div class=\"wide\"><table id=\"history\"><tr><th>Match (server time)</th><th>Map</th>"
                    "<th>Score</th>%1<th>Name</th><th>Team</th><th>Server</th></tr>")
                    .arg(StatHeader(shown));
        for (const PlayerMatch& m : page.History) {
            html +=
                QStringLiteral(
                    "<tr><td>%1</td><td>%2</td><td class=\"score\">%3</td>%4<td>%5</td><td>%6</td>"
                    "<td>%7</td></tr>")
                    .arg(MatchLink(m.Match), HtmlText(m.Match.Block.MapName), Number(Score(m.Line.Totals)),
                         StatCells(shown, m.Line.Totals), HtmlText(m.Line.Name), Number(m.Line.Team),
                         ServerLabel(m.Match.ServerId, m.Match.ServerName));
        }
        html += QStringLiteral("</table></div>");
    }
    html += QStringLiteral(
        "<h2>Names seen</h2><div class=\"wide\"><table id=\"names\"><tr><th>Name</th><th>First seen</th>"
        "<th>Last seen</th></tr>");
    for (const NameSeen& n : page.Names) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                    .arg(HtmlText(n.Name), Date(Time(n.FirstSeen)), Date(Time(n.LastSeen)));
    }
    html += QStringLiteral("</table></div>");
    return Page(HtmlText(t.Name), html);
}

QString MatchPageHtml(const MatchSummary& m, const std::vector<PlayerLine>& players) {
    const MatchBlock& b = m.Block;
    // The ticks are the poll's seconds of the map cycle, sent as a 16-bit number: a value below
    // 0 has wrapped and says nothing.
    const QString length =
        b.Ticks >= 0 ? QStringLiteral("<div><dt>Length</dt><dd>%1</dd></div>").arg(Duration(b.Ticks))
                     : QString();
    QString html = QStringLiteral(
                       "<dl class=\"facts\" "
                       "id=\"server\"><div><dt>Server</dt><dd>%1</dd></div><div><dt>Map</dt><dd>%2</dd></div>"
                       "<div><dt>Type</dt><dd>%3</dd></div><div><dt>Result</dt><dd>%4</dd></div>"
                       "<div><dt>Played (server "
                       "time)</dt><dd>%5</dd></div>%6<div><dt>Received</dt><dd>%7</dd></div></dl>")
                       .arg(ServerLabel(m.ServerId, m.ServerName), HtmlText(b.MapName), HtmlText(b.GameType),
                            ResultText(b.Result), Date(HtmlText(b.Written)), length, Date(Time(m.Received)));
    std::vector<const Totals*> rows;
    for (const PlayerLine& p : players) rows.push_back(&p.Totals);
    const auto shown = ShownStats(rows);
    // By team, and within a team by score.
    std::vector<const PlayerLine*> order;
    for (const PlayerLine& p : players) order.push_back(&p);
    std::stable_sort(order.begin(), order.end(), [](const PlayerLine* a, const PlayerLine* c) {
        if (a->Team != c->Team) return a->Team < c->Team;
        return Score(a->Totals) > Score(c->Totals);
    });
    html += QStringLiteral("<h2>Players</h2>");
    for (size_t i = 0; i < order.size(); ++i) {
        if (i == 0 || order[i]->Team != order[i - 1]->Team) {
            if (i > 0) html += QStringLiteral("</table></div>");
            html += QStringLiteral(
                        "<h3>Team %1</h3><div class=\"wide\"><table class=\"players\" id=\"team-%1\"><tr>"
                        "<th>Player</th><th>Score</th>%2</tr>")
                        .arg(Number(order[i]->Team), StatHeader(shown));
        }
        const PlayerLine& p = *order[i];
        html += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td class=\"score\">%3</td>%4</tr>")
                    .arg(PlayerLink(LowerCase1252(p.Name)).toHtmlEscaped(), HtmlText(p.Name),
                         Number(Score(p.Totals)), StatCells(shown, p.Totals));
    }
    html += order.empty() ? QStringLiteral("<p>No player lines.</p>") : QStringLiteral("</table></div>");
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

QString MapsPage(const std::vector<PlaceTotals>& maps) {
    if (maps.empty()) return Page(QStringLiteral("Maps"), QStringLiteral("<p>No matches yet.</p>"));
    QString html = QStringLiteral(
        "<div class=\"wide\"><table id=\"maps\"><tr><th>Map</th><th>Matches</th><th "
        "class=\"minor\">Players</th>"
        "<th>Last played</th></tr>");
    for (const PlaceTotals& m : maps)
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"minor\">%3</td><td>%4</td></tr>")
                    .arg(MapLink(m.Name), Number(m.Matches), Number(m.Players), Date(Time(m.LastPlayed)));
    return Page(QStringLiteral("Maps"), html + QStringLiteral("</table></div>"));
}

QString PlacePage(const PlaceTotals& place, const std::vector<MatchSummary>& recent) {
    const QString title = place.ServerId ? ServerLabel(place.ServerId, place.Name)
                                         : QStringLiteral("Map ") + HtmlText(place.Name);
    return Page(title, PlaceFacts(place) + QStringLiteral("<h2>Latest matches</h2>") + MatchesTable(recent));
}

QByteArray Favicon() {
    return QByteArrayLiteral(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\">"
        "<rect width=\"16\" height=\"16\" rx=\"3\" fill=\"#2d3b2d\"/>"
        "<path d=\"M3 12h2V8H3zm4 0h2V4H7zm4 0h2V6h-2z\" fill=\"#e4e8e0\"/></svg>\n");
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
        ".date{white-space:nowrap}.notice{font-weight:bold}.pages a{margin-right:1em}"
        "dl.stats,dl.facts{display:flex;flex-wrap:wrap;gap:.5em;margin:.5em 0}"
        "dl.stats div,dl.facts div{background:#fff;border:1px solid #ddd;padding:.3em .6em}"
        "dt{font-size:.8em;color:#555}dd{margin:0;font-weight:bold}"
        ".server{background:#fff;border:1px solid #ddd;padding:.5em 1em;margin-bottom:1em}"
        ".wide{max-width:100%}td{overflow-wrap:anywhere}form.search input{max-width:60vw}"
        // A phone's width: the columns that matter least give way, so the page never scrolls
        // sideways; wide tables scroll inside their own box.
        "@media (max-width:600px){main{padding:.5em}nav a{margin-right:.6em}"
        ".minor,.c-headshots,.c-targets,.c-exp,.c-time,.c-kd{display:none}th,td{padding:.2em .3em}}\n");
}

}  // namespace tovi
