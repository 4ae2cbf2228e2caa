#include "PlayersOverTime.h"

#include <algorithm>
#include <map>

namespace tovi {

namespace {

// When each stint ends, as far as the record tells.
std::vector<std::pair<int64_t, int64_t>> StintSpans(const PlayerActivity& activity, int64_t to) {
    std::map<int64_t, const ActivityMatch*> matches;
    for (const ActivityMatch& m : activity.Matches) matches[m.Id] = &m;
    // The last thing recorded of each match: a start, a join or a leaving.
    std::map<int64_t, int64_t> lastSeen;
    for (const ActivityMatch& m : activity.Matches) lastSeen[m.Id] = m.Started;
    for (const ActivityStint& s : activity.Stints) {
        int64_t& seen = lastSeen[s.Match];
        seen = std::max({seen, s.Joined, s.Left});
    }
    std::vector<std::pair<int64_t, int64_t>> spans;
    spans.reserve(activity.Stints.size());
    for (const ActivityStint& s : activity.Stints) {
        int64_t end = s.Left;
        if (end == 0) {
            const auto m = matches.find(s.Match);
            if (m != matches.end() && m->second->Ended != 0)
                end = m->second->Ended;
            else if (m != matches.end() && m->second->UnderWay)
                end = std::max(to, s.Joined);
            else
                end = lastSeen[s.Match];
        }
        if (end > s.Joined) spans.emplace_back(s.Joined, end);
    }
    return spans;
}

}  // namespace

PlayerCountSeries PlayersOverTime(const PlayerActivity& activity, int64_t from, int64_t to) {
    PlayerCountSeries series;
    series.From = from;
    series.To = std::max(from, to);
    const auto spans = StintSpans(activity, series.To);
    // +1 where a stint begins, -1 where it ends; what lies before `from` is counted at `from`.
    std::map<int64_t, int> changes;
    int count = 0;
    for (const auto& [joined, left] : spans) {
        if (left <= from || joined >= series.To) continue;
        if (joined <= from) {
            ++count;
        } else {
            ++changes[joined];
        }
        if (left < series.To) --changes[left];
    }
    series.Points.push_back({from, count});
    series.Peak = count;
    for (const auto& [time, change] : changes) {
        if (change == 0) continue;  // a leaving and a joining in the same second (a team change)
        count += change;
        series.Points.push_back({time, count});
        series.Peak = std::max(series.Peak, count);
    }
    series.Points.push_back({series.To, count});
    for (const ActivityMatch& m : activity.Matches) {
        if (m.Ended == 0 || m.Ended < from || m.Ended > series.To) continue;
        const auto present = std::count_if(spans.begin(), spans.end(), [&](const auto& span) {
            return span.first < m.Ended && span.second >= m.Ended;
        });
        series.MatchEnds.push_back({m.Ended, static_cast<int>(present)});
    }
    return series;
}

std::optional<MatchSpan> LatestMatch(const PlayerActivity& activity, int64_t now) {
    const ActivityMatch* latest = nullptr;
    for (const ActivityMatch& m : activity.Matches) {
        if (m.UnderWay) return MatchSpan{m.Started, std::max(m.Started, now), true};
        if (m.Ended != 0 && (!latest || m.Id > latest->Id)) latest = &m;
    }
    if (!latest) return std::nullopt;
    return MatchSpan{latest->Started, latest->Ended, false};
}

}  // namespace tovi
