#include "PlayerListLookup.h"

namespace tovi {

std::optional<ListedPlayer> PlayerListLookup::SelectedPlayer() {
    const std::optional<int> row = m_list.SelectedRow();
    if (!row) return std::nullopt;
    return ListedPlayer{m_list.Text(*row, PlayerColumn::Slot), m_list.Text(*row, PlayerColumn::Player)};
}

bool PlayerListLookup::HasPlayerRow(const std::string& slot, const std::string& name) {
    const int rows = m_list.RowCount();
    for (int row = 0; row < rows; ++row) {
        if (m_list.Text(row, PlayerColumn::Slot) == slot && m_list.Text(row, PlayerColumn::Player) == name)
            return true;
    }
    return false;
}

}  // namespace tovi
