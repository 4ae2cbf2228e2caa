#pragma once
// The player menu's view of lstPlayers, answered from the list the player read fills.
#include "PlayerReader.h"
#include "PuntBan.h"

namespace tovi {

class PlayerListLookup : public PlayerRowLookup {
public:
    explicit PlayerListLookup(PlayerListView& list) : m_list(list) {}

    std::optional<ListedPlayer> SelectedPlayer() override;
    bool HasPlayerRow(const ListedPlayer& player) override;

private:
    ListedPlayer Listed(int row);

    PlayerListView& m_list;
};

}  // namespace tovi
