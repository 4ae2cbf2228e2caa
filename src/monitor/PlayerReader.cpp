#include "PlayerReader.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "GameAddresses.h"

namespace tovi {

namespace {

namespace slot = game::slot;

// The fields of a slot are read in few pieces instead of one read per field, and the pieces of
// all slots together in one batch. Slot number, name, counters and team lie within 609 bytes at
// the slot's start and make one piece; the ping lies far beyond and is a piece of its own. A piece
// that can't be read gives 0 for every value in it, as each field's own read would.
constexpr uint32_t kHeadStart = slot::kNumber;  // the slot number, then the name
constexpr uint32_t kHeadLength = slot::kName + slot::kNameLength - kHeadStart;
constexpr uint32_t kCountersStart = slot::kShotsFired;  // the counters, then the team
constexpr uint32_t kCountersLength = slot::kTeam + 1 - kCountersStart;
constexpr uint32_t kFrontLength = slot::kTeam + 1 - kHeadStart;  // both together
static_assert(kHeadStart + kHeadLength <= kCountersStart);

// Bytes read from a slot, starting at offset `start` of the slot; empty when the read failed.
struct Piece {
    std::string bytes;
    uint32_t start = 0;

    bool Holds(uint32_t offset, size_t length) const {
        return offset >= start && offset - start + length <= bytes.size();
    }
    uint8_t Byte(uint32_t offset) const {
        return Holds(offset, 1) ? static_cast<uint8_t>(bytes[offset - start]) : 0;
    }
    int32_t DWord(uint32_t offset) const {
        if (!Holds(offset, 4)) return 0;
        uint32_t value = 0;
        for (uint32_t i = 0; i < 4; ++i) {
            value |= uint32_t{static_cast<uint8_t>(bytes[offset - start + i])} << (8 * i);
        }
        return static_cast<int32_t>(value);
    }
};

// The pieces of one slot as they came out of the batch.
struct SlotReads {
    uint64_t address = 0;
    size_t front = 0;
    size_t ping = 0;
};

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The player name in a slot: cut at its first zero byte, blanks trimmed at both ends.
std::string NameIn(const Piece& head) {
    if (!head.Holds(slot::kName, slot::kNameLength)) return {};
    const std::string field = head.bytes.substr(slot::kName - head.start, slot::kNameLength);
    return std::string(TrimBlanks(CutAtNull(field)));
}

// The game's counters are copied as they are, so a sum may leave the 32-bit range; it wraps as
// the game's own counters do instead of being undefined.
int32_t Sum(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void AppendLine(std::string& list, const std::string& entry) {
    if (!list.empty()) list += "\r\n";
    list += entry;
}

}  // namespace

PlayerReader::PlayerReader(MemoryClass& memory, ServerStatus& status, PlayerTable& table,
                           PlayerListView& view, LogSink& log)
    : m_memory(memory), m_status(status), m_table(table), m_view(view), m_log(log) {}

void PlayerReader::ReadPlayers(bool Dedicated, uint8_t MaxPlayers) {
    // A pointer that can't be read finds nobody; a pointer of 0 is read like any other.
    const Piece pointer{m_memory.ReadMemory(game::kSlotTablePointer, 4), 0};
    const bool haveSlots = pointer.Holds(0, 4);
    const auto slot0 = static_cast<uint32_t>(pointer.DWord(0));

    const int First = Dedicated ? 1 : 0;
    m_status.PlayerNames.clear();
    m_status.PlayerTeams.clear();

    std::string selectedSlot;
    const int rowsBefore = m_view.RowCount();
    if (const std::optional<int> row = m_view.SelectedRow();
        rowsBefore > 0 && row && *row >= 0 && *row < rowsBefore) {
        selectedSlot = m_view.Text(*row, PlayerColumn::Slot);
    }
    m_view.ClearRows();

    // Every slot's pieces in one batch.
    ReadList batch;
    std::vector<SlotReads> slots;
    for (int i = First; haveSlots && i <= MaxPlayers; ++i) {
        const uint64_t S = uint64_t{slot0} + static_cast<uint64_t>(i) * game::kSlotStride;
        slots.push_back({S, batch.Add(S + kHeadStart, kFrontLength), batch.Add(S + slot::kPing, 4)});
    }
    if (batch.size() > 0) m_memory.ReadAll(batch);
    std::vector<std::string> listed;  // the names of the rows added

    for (int i = First; haveSlots && i <= MaxPlayers; ++i) {
        const SlotReads& reads = slots[static_cast<size_t>(i - First)];
        // When the piece of both failed, the head and the counters are read apart, so that the
        // counters failing alone still lists the player, with zeros.
        const bool together = batch.Ok(reads.front);
        Piece front = together ? Piece{batch.Text(reads.front), kHeadStart} : Piece{{}, kHeadStart};
        Piece apart{{}, kCountersStart};
        if (!together) {
            ReadList retry;
            const size_t head = retry.Add(reads.address + kHeadStart, kHeadLength);
            const size_t counters = retry.Add(reads.address + kCountersStart, kCountersLength);
            m_memory.ReadAll(retry);
            front.bytes = retry.Text(head);
            apart.bytes = retry.Text(counters);
        }
        const std::string Name = NameIn(front);
        if (Name.empty()) continue;
        // The status report's list is one name a line: a control byte in a name must not break it.
        AppendLine(m_status.PlayerNames, LineSafeName(Name));

        const Piece& counters = together ? front : apart;
        const auto counter = [&](uint32_t offset) { return counters.DWord(offset); };
        PlayerClass R;
        R.P_Name = Name;
        R.P_Team = counters.Byte(slot::kTeam);
        R.P_Ping = batch.DWord(reads.ping);
        R.P_Murders = counter(slot::kMurders);
        R.P_Kills = counter(slot::kKills);
        R.P_Deaths = counter(slot::kDeaths);
        R.P_SecondsInZone = counter(slot::kSecondsInZone);
        R.P_Targets = counter(slot::kTargets);
        R.P_Suicides = counter(slot::kSuicides);
        R.P_ShotsFired = counter(slot::kShotsFired);
        R.P_PspTakes = counter(slot::kPspTakes);
        R.P_HeadShots = counter(slot::kHeadShots);
        R.P_Knifes = counter(slot::kKnifes);
        R.P_ZoneAttackKills = counter(slot::kZoneAttackKills);
        R.P_ZoneDefendKills = counter(slot::kZoneDefendKills);
        R.P_ExpPoints = counter(slot::kExpPoints);

        // Carry-over: only the same name, letter case included, continues a player's match.
        if (const PlayerClass* O = m_table.Find(Name)) {
            if (O->P_IsPlaying) {
                // Found at the previous read too: the same stint goes on.
                for (const Statistic& X : kStatisticList) R.*X.B = (*O).*X.B;
                R.P_TimePlayed = Sum(O->P_TimePlayed, 5);
            } else {
                // Left and came back: the stint that ended joins the earlier ones.
                for (const Statistic& X : kStatisticList) R.*X.B = Sum((*O).*X.B, (*O).*X.P);
            }
        }
        R.P_IsPlaying = true;
        AppendLine(m_status.PlayerTeams, std::to_string(R.P_Team));

        listed.push_back(Name);
        m_view.AddRow({.Slot = std::to_string(front.Byte(slot::kNumber)),
                       .Player = Name,
                       .Ping = std::to_string(R.P_Ping),
                       .Team = std::to_string(R.P_Team),
                       .Kills = std::to_string(R.P_Kills),
                       .Deaths = std::to_string(R.P_Deaths),
                       .ExpPoints = std::to_string(R.P_ExpPoints),
                       .Position = i});
        m_table.Replace(std::move(R));
    }

    // A record still marked playing whose name no row shows is a player who left.
    // The list's rows are those this read added: looking the names up among them answers what
    // IsPlayerListed would, without walking the list once for every record.
    std::sort(listed.begin(), listed.end());
    for (PlayerClass& O : m_table) {
        if (O.P_IsPlaying && !std::binary_search(listed.begin(), listed.end(), O.P_Name)) O.P_IsPlaying = false;
        m_log.DebugLog(LineSafeName(O.P_Name) + " IsPlaying: " + (O.P_IsPlaying ? "True" : "False"));
    }

    if (!selectedSlot.empty()) {
        const int rows = m_view.RowCount();
        for (int row = 0; row < rows; ++row) {
            if (m_view.Text(row, PlayerColumn::Slot) == selectedSlot) m_view.SelectRow(row);
        }
    }
}

std::vector<PlayerReader::SlotName> PlayerReader::ReadNames(bool Dedicated, uint8_t MaxPlayers) {
    std::vector<SlotName> names;
    const Piece pointer{m_memory.ReadMemory(game::kSlotTablePointer, 4), 0};
    if (!pointer.Holds(0, 4)) return names;
    const auto slot0 = static_cast<uint32_t>(pointer.DWord(0));
    const int First = Dedicated ? 1 : 0;
    ReadList batch;
    for (int i = First; i <= MaxPlayers; ++i)
        batch.Add(uint64_t{slot0} + static_cast<uint64_t>(i) * game::kSlotStride + kHeadStart, kHeadLength);
    if (batch.size() == 0) return names;
    m_memory.ReadAll(batch);
    for (int i = First; i <= MaxPlayers; ++i) {
        const size_t piece = static_cast<size_t>(i - First);
        if (!batch.Ok(piece)) continue;
        const Piece head{batch.Text(piece), kHeadStart};
        std::string name = NameIn(head);
        if (!name.empty()) names.push_back({std::move(name), head.Byte(slot::kNumber), i});
    }
    return names;
}

// Every row is examined: a list of 256 players (slots 0 to 255 of a hosted server) would
// otherwise have its last player marked as gone while present, and each later read would add
// that player's stint to the earlier ones again.
bool PlayerReader::IsPlayerListed(const std::string& Name) {
    const int rows = m_view.RowCount();
    for (int row = 0; row < rows; ++row) {
        if (m_view.Text(row, PlayerColumn::Player) == Name) return true;
    }
    return false;
}

}  // namespace tovi
