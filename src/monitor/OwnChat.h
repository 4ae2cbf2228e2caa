#pragma once
// The program's own chat as the game shows it back: a text sent with gtalk comes back as a chat
// line, with or without the host's name before it, and cut when longer than the chat line. Each
// text sent is looked for in the chat read for a while, and matches one line read at most.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace tovi {

class OwnChat {
public:
    // How long a text sent is looked for in the chat read back, and how many are looked for.
    static constexpr int64_t kSeconds = 60;
    static constexpr size_t kKept = 32;

    // A text the console sent at `now` (Unix seconds).
    void Sent(const std::string& text, int64_t now);
    struct SentChat {
        std::string text;
        int64_t at = 0;
    };
    // Whether this line read at `now` is a text sent, which then is no longer looked for.
    bool ReadBack(const std::string& sender, const std::string& message, int64_t now) {
        return ReadBackOf(sender, message, now).has_value();
    }
    // The text sent that this line read at `now` shows, as sent and when.
    std::optional<SentChat> ReadBackOf(const std::string& sender, const std::string& message, int64_t now);

private:
    std::deque<SentChat> m_sent;  // oldest first
};

}  // namespace tovi
