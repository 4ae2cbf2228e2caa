#include "ChatReader.h"

#include <string_view>
#include <utility>

#include "GameAddresses.h"

namespace tovi {

namespace {

constexpr std::string_view kSeparator = ": ";

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

ChatReader::ChatReader(MemoryClass& memory, ServerStatus& status, ChatView& view,
                       std::function<std::string()> timeOfDay)
    : m_memory(memory), m_status(status), m_view(view), m_timeOfDay(std::move(timeOfDay)) {}

void ChatReader::ReadChat() {
    const std::string line(TrimBlanks(
        CutAtNull(m_memory.ReadMemory(game::kChatLine, static_cast<int16_t>(game::kChatLineLength)))));
    // A server gone mid-tick answers "", which is no new line either.
    if (line.empty() || line == m_status.LastChatLine) return;
    m_status.LastChatLine = line;

    // The game writes "sender: text"; the host's own lines carry no sender. The text is all that
    // follows the sender, ": " and all ("Player7: time: 12:30" says "time: 12:30").
    const size_t first = line.find(kSeparator);
    const std::string time = m_timeOfDay ? m_timeOfDay() : std::string();
    const std::string sender = first == std::string::npos ? std::string("Host") : line.substr(0, first);
    const std::string text = first == std::string::npos ? line : line.substr(first + kSeparator.size());
    m_view.InsertRowAtTop(sender, text, time);
    if (m_onNewLine) m_onNewLine(sender, text);
    for (int excess = m_view.RowCount() - kMaxRows; excess > 0; --excess) m_view.RemoveBottomRow();
}

}  // namespace tovi
