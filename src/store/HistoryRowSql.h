#pragma once
// How a row of each kind reads as (kind, time, player, text, detail, match, left at, seen), in the SQL
// that both engines of the record understand: the search and the export show the same row the
// same way. The detail is the record's own wording, which the export and the web API pass on; what
// a face shows in its own way (a stint's end) comes as a column of its own, and is worded after the
// read (Worded), never by the engine's own time functions.
#include <string>

#include "HistoryCsv.h"
#include "HistoryStore.h"

namespace tovi::rowsql {

inline constexpr const char* kChat =
    "'chat', c.time, c.player_raw, c.message_raw, CASE c.sent WHEN 1 THEN 'sent' ELSE 'read' END, c.match_id, NULL,"
    " c.read_back_at";
// Before lines sent kept their read-back (schema 12).
inline constexpr const char* kChatUnseen =
    "'chat', c.time, c.player_raw, c.message_raw, CASE c.sent WHEN 1 THEN 'sent' ELSE 'read' END, c.match_id, NULL,"
    " NULL";
inline constexpr const char* kPlayers =
    "'player', joined, name, 'slot ' || slot || ', team ' || team, '', match_id, left_at, NULL";
inline constexpr const char* kAdmin =
    "'admin', time, target, action || ' ' || outcome || CASE WHEN why <> '' THEN ': ' || why ELSE '' END,"
    " who || CASE WHEN reason <> '' THEN ' ' || reason ELSE '' END"
    " || CASE WHEN detail <> '' THEN ' ' || detail ELSE '' END, 0, NULL, NULL";
// An admin row's fields after the columns above, as Search reads them into HistoryRow::Action.
inline constexpr const char* kAdminFields = ", time, who, action, target, reason, detail, outcome, why";
inline constexpr const char* kMatches =
    "'match', started, '', map_name || ' (' || map_file || ') ' || game_type || ', ' || server_name,"
    " CASE WHEN ended IS NULL THEN 'not ended' ELSE coalesce(result, 'no result') || ', ' ||"
    " ((ended - started) / 60) || ':' || CASE WHEN (ended - started) % 60 < 10 THEN '0' ELSE '' END ||"
    " ((ended - started) % 60) || ', ' || coalesce(players_at_end, 0) || ' players' END"
    " || CASE WHEN upload_outcome IS NOT NULL THEN ', stats ' || upload_outcome"
    " WHEN stats_written = 1 THEN ', stats written' WHEN stats_refused IS NOT NULL THEN"
    " ', stats refused: ' || stats_refused WHEN ended IS NOT NULL THEN ', no stats' ELSE '' END, id, NULL, NULL";
inline constexpr const char* kEvents = "'event', time, '', kind, detail, 0, NULL, NULL";

// A row as read, worded: a stint's end and a sent line's read-back as ISO 8601 UTC times, as
// every time that leaves the program.
inline HistoryRow Worded(HistoryRow row) {
    if (row.Kind == "player") row.Detail = row.LeftAt ? "left " + IsoUtcTime(*row.LeftAt) : "playing";
    if (row.SeenAt) row.Detail += ", seen in game at " + IsoUtcTime(*row.SeenAt);
    return row;
}

}  // namespace tovi::rowsql
