#pragma once
// A running program as the panel sees it: a few players (one named like markup), chat, a ban,
// and every action noted as one line "Action who args..." for the tests to read.
#include <string>
#include <vector>

#include "PanelBackend.h"

namespace tovi::testing {

class FakePanelBackend final : public PanelBackend {
public:
    FakePanelBackend() {
        status.Attached = true;
        status.ServerName = "Caf\xE9 server";  // Windows-1252
        status.MapName = "Island";
        status.State = "playing";
        status.Clock = "12:34";
        status.MaxPlayers = 32;
        players = {{1, "<img src=x onerror=alert(1)>", 1, 3, 1, 50}, {3, "Bob", 2, 0, 2, 80}};
        status.Players = static_cast<int>(players.size());
        chat = {{1000, "Bob", "hello <b>all</b>", false}};
        BanEntry ban;
        ban.Id = 1;
        ban.Name = "Mallory";
        ban.Reason = "aimbot";
        ban.IssuedBy = "admin";
        ban.IssuedAt = 900;
        bans.push_back(ban);
    }

    PanelStatus Status() override { return status; }
    std::vector<PanelPlayer> Players() override { return players; }
    std::vector<PanelChatLine> RecentChat(int) override { return chat; }
    std::vector<BanEntry> Bans() override { return bans; }
    std::vector<HistoryRow> SearchHistory(const HistoryQuery& query) override {
        lastQuery = query;
        return {{query.Kind == HistoryKind::Admin ? "admin" : "chat", 1000, "Bob", "found", "detail", 1}};
    }
    PanelAutoMessages AutoMessages() override { return autoMessages; }

    PanelResult Chat(const std::string& who, const std::string& text) override {
        chat.push_back({2000, "", text, true});
        if (listener) listener->ChatLineAdded(chat.back());
        return Note("Chat " + who + " " + text);
    }
    PanelResult Command(const std::string& who, const std::string& line) override {
        return Note("Command " + who + " " + line);
    }
    PanelResult Talk(const std::string& who, int slot, const std::string& name,
                     const std::string& text) override {
        return Note("Talk " + who + " " + std::to_string(slot) + " " + name + " " + text);
    }
    PanelResult Warn(const std::string& who, int slot, const std::string& name,
                     const std::string& text) override {
        return Note("Warn " + who + " " + std::to_string(slot) + " " + name + " " + text);
    }
    PanelResult Punt(const std::string& who, int slot, const std::string& name,
                     const std::string& reason) override {
        return Note("Punt " + who + " " + std::to_string(slot) + " " + name + " " + reason);
    }
    PanelResult Ban(const std::string& who, const std::string& name, const std::string& reason,
                    int64_t seconds) override {
        return Note("Ban " + who + " " + name + " " + reason + " " + std::to_string(seconds));
    }
    PanelResult LiftBan(const std::string& who, int64_t id, const std::string& reason) override {
        return Note("LiftBan " + who + " " + std::to_string(id) + " " + reason);
    }
    PanelResult MatchTime(const std::string& who, bool more) override {
        return Note("MatchTime " + who + (more ? " more" : " less"));
    }
    PanelResult ResetGames(const std::string& who) override { return Note("ResetGames " + who); }
    PanelResult SetAutoMessages(const std::string& who, const PanelAutoMessages& m) override {
        autoMessages = m;
        return Note("SetAutoMessages " + who + " " + std::to_string(m.Lines.size()));
    }
    void SetListener(PanelListener* l) override { listener = l; }

    PanelStatus status;
    std::vector<PanelPlayer> players;
    std::vector<PanelChatLine> chat;
    std::vector<BanEntry> bans;
    PanelAutoMessages autoMessages{true, 5, {"Welcome"}};
    HistoryQuery lastQuery;
    std::vector<std::string> actions;
    PanelListener* listener = nullptr;

private:
    PanelResult Note(std::string line) {
        actions.push_back(std::move(line));
        if (listener) listener->AdminActionDone({0, actions.back(), "web", "", "", "", Outcome::Sent, ""});
        return {};
    }
};

}  // namespace tovi::testing
