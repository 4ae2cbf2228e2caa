#pragma once
// Turns what the program sees and does into notices: fed at the same points as the record (the
// poll's ticks, chat read, console sends ended, ban list changes, the web reporting's outcomes).
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleChannel.h"
#include "Notice.h"
#include "OwnChat.h"
#include "PlayerTable.h"
#include "ServerStatus.h"

namespace tovi {

// Watched words and patterns in chat: each line of the list is a word or a pattern with * (any
// run of characters) and ? (any one), matched anywhere in the line, letter case folded.
class WatchedWords {
public:
    void SetList(const std::string& lines);  // CR LF or LF separated, Windows-1252
    // The entry the message matches, or none.
    std::optional<std::string> Match(const std::string& message) const;

private:
    std::vector<std::string> m_entries;  // folded
};

// What went when the server was lost: its process (it ended, or can no longer be read), or only
// its window, while the process still runs (a window manager that let go of it, a caption changed).
enum class ServerLoss { Process, Window };

struct NoticeEventSettings {
    int notHostingMinutes = 10;  // 0: never told
    int reportFailures = 3;      // failures in a row before the admins are told
};

class NoticeEvents {
public:
    using Post = std::function<void(Notice)>;
    using Clock = std::function<int64_t()>;  // Unix seconds
    NoticeEvents(Post post, Clock now) : m_post(std::move(post)), m_now(std::move(now)) {}

    void SetSettings(NoticeEventSettings settings) { m_settings = settings; }
    WatchedWords& Watched() { return m_watched; }

    // `loss` says what went, on the tick that finds the server gone.
    void TickDone(bool attached, const ServerStatus& status, const PlayerTable& players,
                  ServerLoss loss = ServerLoss::Process);
    void StatsWritten(std::optional<uint8_t> resultByte) { m_result = resultByte; }
    // A chat line read from the game. The program's own chat comes back this way too; it is
    // known from the sends that carried it and never counts as a watched word.
    void ChatRead(const std::string& sender, const std::string& message);
    void SendFinished(const FinishedSend& send);
    // A change of the ban list the record learns of (action "ban listed" and the like), and who made it.
    void BanListAction(ActionKind action, const std::string& target, const std::string& reason,
                       bool done, const std::string& who);
    // The status report's or the stats upload's outcome.
    void ReportOutcome(const std::string& what, bool delivered, const std::string& error);
    // The stats service refused a match for good; it is kept in `where`.
    void UploadRejected(const std::string& reason, const std::string& where) { m_post(UploadRejectedNotice(reason, where)); }
    // Another live copy of the program holds this server code in the shared database.
    void ServerCodeInUse(const std::string& code, const std::string& who) { m_post(ServerCodeInUseNotice(code, who)); }

    // How long a chat text the program sent is looked for in the chat read back, and how many.
    static constexpr int64_t kOwnChatSeconds = OwnChat::kSeconds;
    static constexpr size_t kOwnChatKept = OwnChat::kKept;
    // A ban just listed is enforced on the player at once; that punt is part of the same ban.
    static constexpr int64_t kFreshBanSeconds = 120;

private:
    Post m_post;
    Clock m_now;
    NoticeEventSettings m_settings;
    WatchedWords m_watched;
    std::optional<bool> m_attached;
    std::optional<uint8_t> m_state;
    bool m_matchOpen = false;
    int64_t m_matchStart = 0;
    std::string m_mapName;
    std::optional<uint8_t> m_result;
    int64_t m_idleSince = 0;  // when the server stopped hosting; 0 while it hosts
    bool m_idleTold = false;
    struct Failures {
        std::string what;
        int count = 0;
        bool told = false;
    };
    std::vector<Failures> m_failures;
    OwnChat m_ownChat;
    std::map<std::string, int64_t> m_freshBans;  // name as the ban list matches it, when listed
};

}  // namespace tovi
