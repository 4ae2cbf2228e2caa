#include "ListModels.h"

namespace tovi {

std::string PlayerListModel::Text(int row, PlayerColumn column) {
    if (row < 0 || row >= RowCount()) return {};
    const PlayerRow& r = m_rows[static_cast<size_t>(row)];
    switch (column) {
        case PlayerColumn::Slot:
            return r.Slot;
        case PlayerColumn::Player:
            return r.Player;
        case PlayerColumn::Ping:
            return r.Ping;
        case PlayerColumn::Team:
            return r.Team;
        case PlayerColumn::Kills:
            return r.Kills;
        case PlayerColumn::Deaths:
            return r.Deaths;
        case PlayerColumn::ExpPoints:
            return r.ExpPoints;
    }
    return {};
}

int PlayerListModel::SlotPosition(int row) {
    return row >= 0 && row < RowCount() ? m_rows[static_cast<size_t>(row)].Position : -1;
}

std::optional<int> PlayerListModel::SelectedRow() {
    PlayerListView* face = m_face();
    if (!face) return std::nullopt;
    const std::optional<int> row = face->SelectedRow();
    if (row && (*row < 0 || *row >= RowCount())) return std::nullopt;
    return row;
}

void PlayerListModel::ClearRows() {
    m_rows.clear();
    if (PlayerListView* face = m_face()) face->ClearRows();
}

void PlayerListModel::AddRow(const PlayerRow& row) {
    m_rows.push_back(row);
    if (PlayerListView* face = m_face()) face->AddRow(row);
}

void PlayerListModel::SelectRow(int row) {
    if (PlayerListView* face = m_face()) face->SelectRow(row);
}

void ChatListModel::InsertRowAtTop(const std::string& Player, const std::string& Text,
                                   const std::string& Time) {
    m_rows.push_front({Player, Text, Time});
    if (ChatView* face = m_face()) face->InsertRowAtTop(Player, Text, Time);
    if (m_added) m_added(m_rows.front());
}

void ChatListModel::RemoveBottomRow() {
    if (!m_rows.empty()) m_rows.pop_back();
    if (ChatView* face = m_face()) face->RemoveBottomRow();
}

void ChatListModel::Clear() {
    m_rows.clear();
    if (ChatView* face = m_face()) face->Clear();
}

}  // namespace tovi
