#pragma once
// The player list and the public chat list as the service keeps them: the rows the core wrote,
// readable by every face, and mirrored row for row into the face's own list when it has one
// (the window's lstPlayers and lstChatMes1), where the operator selects a player.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ChatReader.h"
#include "PlayerReader.h"

namespace tovi {

class PlayerListModel : public PlayerListView {
public:
    explicit PlayerListModel(std::function<PlayerListView*()> face) : m_face(std::move(face)) {}
    const std::vector<PlayerRow>& Rows() const { return m_rows; }

    int RowCount() override { return static_cast<int>(m_rows.size()); }
    std::string Text(int row, PlayerColumn column) override;
    int SlotPosition(int row) override;
    // The face's selection; none without a face.
    std::optional<int> SelectedRow() override;
    void ClearRows() override;
    void AddRow(const PlayerRow& row) override;
    void SelectRow(int row) override;

private:
    std::function<PlayerListView*()> m_face;
    std::vector<PlayerRow> m_rows;
};

// A chat line as listed: who said it, what, and the time of day it was seen.
struct ChatRow {
    std::string Player;
    std::string Text;
    std::string Time;
};

class ChatListModel : public ChatView {
public:
    explicit ChatListModel(std::function<ChatView*()> face) : m_face(std::move(face)) {}
    // The newest line first.
    const std::deque<ChatRow>& Rows() const { return m_rows; }
    // Told of every line listed.
    void SetOnAdded(std::function<void(const ChatRow&)> added) { m_added = std::move(added); }

    void InsertRowAtTop(const std::string& Player, const std::string& Text, const std::string& Time) override;
    void RemoveBottomRow() override;
    int RowCount() override { return static_cast<int>(m_rows.size()); }
    void Clear() override;

private:
    std::function<ChatView*()> m_face;
    std::function<void(const ChatRow&)> m_added;
    std::deque<ChatRow> m_rows;
};

}  // namespace tovi
