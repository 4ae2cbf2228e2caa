#pragma once
// The chat reader: on every hosting tick the game's latest chat line, when it is new, goes to the
// top of the public chat list (lstChatMes 1) with its sender and the time it was seen.
#include <cstdint>
#include <functional>
#include <string>

#include "MemoryClass.h"
#include "ServerStatus.h"

namespace tovi {

// One chat list of the main window: columns Player, Text and Time, the newest row first.
class ChatView {
public:
    virtual ~ChatView() = default;
    virtual void InsertRowAtTop(const std::string& Player, const std::string& Text,
                                const std::string& Time) = 0;
    virtual void RemoveBottomRow() = 0;
    virtual int RowCount() = 0;
    virtual void Clear() = 0;
};

class ChatReader {
public:
    // `timeOfDay` gives the local time of day as the list shows it.
    ChatReader(MemoryClass& memory, ServerStatus& status, ChatView& view,
               std::function<std::string()> timeOfDay);

    void ReadChat();
    // A new map cycle empties the list; LastChatLine stays, so the line still in the game is not
    // listed again.
    void Clear() { m_view.Clear(); }
    // Told of every new line with its sender ("Host" for the host's own) and text, as listed.
    void SetOnNewLine(std::function<void(const std::string&, const std::string&)> onNewLine) {
        m_onNewLine = std::move(onNewLine);
    }

    // A server that runs for weeks would otherwise fill the list without end; the oldest rows go.
    static constexpr int kMaxRows = 1000;

private:
    MemoryClass& m_memory;
    ServerStatus& m_status;
    ChatView& m_view;
    std::function<std::string()> m_timeOfDay;
    std::function<void(const std::string&, const std::string&)> m_onNewLine;
};

}  // namespace tovi
