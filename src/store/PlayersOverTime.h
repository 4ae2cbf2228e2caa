#pragma once
// The players on the server over a stretch of time, from the record's stints and matches: what
// the History tab's chart draws.
#include <cstdint>
#include <optional>
#include <vector>

namespace tovi {

// What the record holds of the matches and stints that touch a stretch of time.
struct ActivityMatch {
    int64_t Id = 0;
    int64_t Started = 0;
    int64_t Ended = 0;      // 0 when no end was recorded
    bool UnderWay = false;  // the match this program is watching now
};
struct ActivityStint {
    int64_t Match = 0;
    int64_t Joined = 0;
    int64_t Left = 0;  // 0 when no leaving was recorded
};
struct PlayerActivity {
    std::vector<ActivityMatch> Matches;  // oldest first
    std::vector<ActivityStint> Stints;
};

struct PlayerCount {
    int64_t Time = 0;
    int Players = 0;
};

struct PlayerCountSeries {
    int64_t From = 0, To = 0;
    // The count from each time on, at every change: the first at From, the last at To.
    std::vector<PlayerCount> Points;
    // Each match end in [From, To] with the players at that moment, before they were let go.
    std::vector<PlayerCount> MatchEnds;
    int Peak = 0;
};

// The count over [from, to). A stint with no leaving recorded lasts to its match's end; in the match
// under way, to `to`; in a match whose end is unknown (the program stopped while it ran), to the
// last thing recorded of that match, so that the time the program was away counts nobody.
PlayerCountSeries PlayersOverTime(const PlayerActivity& activity, int64_t from, int64_t to);

// The match under way, or else the last one, from its start to its end or to `now`.
struct MatchSpan {
    int64_t From = 0, To = 0;
    bool UnderWay = false;
};
std::optional<MatchSpan> LatestMatch(const PlayerActivity& activity, int64_t now);

}  // namespace tovi
