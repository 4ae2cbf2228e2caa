#include "PlayerListLookup.h"

namespace tovi {

std::optional<ListedPlayer> PlayerListLookup::SelectedPlayer() {
    const std::optional<int> row = m_list.SelectedRow();
    if (!row) return std::nullopt;
    return Listed(*row);
}

ListedPlayer PlayerListLookup::Listed(int row) {
    return ListedPlayer{m_list.Text(row, PlayerColumn::Slot), m_list.Text(row, PlayerColumn::Player),
                        m_list.SlotPosition(row)};
}

bool PlayerListLookup::HasPlayerRow(const ListedPlayer& player) {
    const int rows = m_list.RowCount();
    for (int row = 0; row < rows; ++row) {
        if (Listed(row) == player) return true;
    }
    return false;
}

}  // namespace tovi
