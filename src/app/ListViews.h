#pragma once
// The window's report lists as the core sees them: the player list and a chat list.
#include <QTreeWidget>

#include "ChatReader.h"
#include "PlayerReader.h"

namespace tovi {

class PlayerListAdapter : public PlayerListView {
public:
    explicit PlayerListAdapter(QTreeWidget* list) : m_list(list) {}
    int RowCount() override;
    std::string Text(int row, PlayerColumn column) override;
    int SlotPosition(int row) override;
    std::optional<int> SelectedRow() override;
    void ClearRows() override;
    void AddRow(const PlayerRow& row) override;
    void SelectRow(int row) override;

private:
    QTreeWidget* m_list;
};

class ChatListAdapter : public ChatView {
public:
    explicit ChatListAdapter(QTreeWidget* list) : m_list(list) {}
    void InsertRowAtTop(const std::string& Player, const std::string& Text, const std::string& Time) override;
    void RemoveBottomRow() override;
    int RowCount() override;
    void Clear() override;

private:
    QTreeWidget* m_list;
};

}  // namespace tovi
