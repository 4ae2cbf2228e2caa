#include "OwnChat.h"

#include <string_view>

#include "GameAddresses.h"

namespace tovi {

namespace {

// As the chat reader trims the game's line.
std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

void OwnChat::Sent(const std::string& text, int64_t now) {
    m_sent.push_back({text, now});
    if (m_sent.size() > kKept) m_sent.pop_front();
}

std::optional<OwnChat::SentChat> OwnChat::ReadBackOf(const std::string& sender, const std::string& message,
                                                     int64_t now) {
    while (!m_sent.empty() && now - m_sent.front().at > kSeconds) m_sent.pop_front();
    // The game shows the host's chat with or without a sender before it, and the chat reader
    // takes a ": " inside the text for the end of a sender; so both the text and the whole line
    // are compared.
    const std::string whole = sender + ": " + message;
    const std::string_view candidates[] = {TrimBlanks(message), TrimBlanks(whole)};
    for (auto it = m_sent.begin(); it != m_sent.end(); ++it) {
        const std::string_view sent = TrimBlanks(it->text);
        for (std::string_view line : candidates) {
            bool own = line == sent;
            if (!own && !line.empty() && sent.starts_with(line)) {
                // A text longer than the game's chat line is shown cut; a cut line fills it, but
                // for the blanks trimmed at the cut.
                size_t end = line.size();
                while (end < sent.size() && sent[end] == ' ') ++end;
                own = whole.size() + (end - line.size()) + 1 >= static_cast<size_t>(game::kChatLineLength);
            }
            if (own) {
                // Each send comes back once; a player saying the same later is heard.
                SentChat found = std::move(*it);
                m_sent.erase(it);
                return found;
            }
        }
    }
    return std::nullopt;
}

}  // namespace tovi
