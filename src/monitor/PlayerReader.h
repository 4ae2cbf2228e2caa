#pragma once
// The player read (ReadPlayers): the game's player slots into PlayerTable, the player list
// lstPlayers, and the lists PlayerNames and PlayerTeams that the status report sends. Players who
// leave and come back keep their earlier stints' counters in the B_ fields.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LogSink.h"
#include "MemoryClass.h"
#include "PlayerTable.h"
#include "ServerStatus.h"

namespace tovi {

// The columns of lstPlayers, in their order.
enum class PlayerColumn { Slot, Player, Ping, Team, Kills, Deaths, ExpPoints };

// One row of lstPlayers: every cell a decimal text, but Player, which is the name as read. The
// Slot cell is the game's number for the slot, which need not be where the slot lies in the
// game's table; Position, not shown, is that place.
struct PlayerRow {
    std::string Slot;
    std::string Player;
    std::string Ping;
    std::string Team;
    std::string Kills;
    std::string Deaths;
    std::string ExpPoints;
    int Position = -1;
    bool operator==(const PlayerRow&) const = default;
};

// The player list of the main window, lstPlayers. Rows are counted from 0, top to bottom.
class PlayerListView {
public:
    virtual ~PlayerListView() = default;
    virtual int RowCount() = 0;
    virtual std::string Text(int row, PlayerColumn column) = 0;
    // The row's Position; -1 when the row has none.
    virtual int SlotPosition(int row) = 0;
    // The selected row; nothing when no row is selected.
    virtual std::optional<int> SelectedRow() = 0;
    virtual void ClearRows() = 0;
    virtual void AddRow(const PlayerRow& row) = 0;
    // Selects the row and scrolls it into view.
    virtual void SelectRow(int row) = 0;
};

class PlayerReader {
public:
    PlayerReader(MemoryClass& memory, ServerStatus& status, PlayerTable& table, PlayerListView& view,
                 LogSink& log);

    // Reads slots 1 (dedicated) or 0 (hosted by a playing host) to MaxPlayers of the attached server.
    void ReadPlayers(bool Dedicated, uint8_t MaxPlayers);
    // A player's name in a slot, as a read of the names alone finds it.
    struct SlotName {
        std::string Name;
        uint8_t Slot = 0;   // the slot number the game shows
        int Position = 0;   // the slot's place in the table
    };
    // The names in slots 1 (dedicated) or 0 to MaxPlayers, in one batch, and nothing else: cheap
    // enough for every tick, so that a banned name is seen as soon as it takes a slot. Neither the
    // table nor the list changes.
    std::vector<SlotName> ReadNames(bool Dedicated, uint8_t MaxPlayers);
    // A new map cycle: every record goes.
    void Clear() { m_table.Clear(); }
    // Whether some row of lstPlayers shows exactly this name, letter case included.
    bool IsPlayerListed(const std::string& Name);

private:
    MemoryClass& m_memory;
    ServerStatus& m_status;
    PlayerTable& m_table;
    PlayerListView& m_view;
    LogSink& m_log;
};

}  // namespace tovi
