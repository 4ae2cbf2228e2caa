#include "MatchTime.h"

#include <algorithm>
#include <limits>

#include "GameAddresses.h"

namespace tovi {

MatchTime::MatchTime(MemoryClass& memory, ConsoleChannel& channel, Dialogs& dialogs)
    : m_memory(memory), m_channel(channel), m_dialogs(dialogs) {}

bool MatchTime::OneMinuteMore() {
    // Read afresh on every click, so two quick clicks make two minutes.
    return SetClock(int64_t{m_memory.ReadDWord(game::kMatchClock)} + kOneMinute);
}

void MatchTime::OneMinuteLess(std::function<void(bool written)> done, std::function<void()> declined) {
    const int32_t left = m_memory.ReadDWord(game::kMatchClock);
    if (left <= 0 || left > kOneMinute) {
        const bool written = TakeMinute();
        if (done) done(written);
        return;
    }
    m_dialogs.Ask(kEndMatchByClockQuestion,
                  [this, done = std::move(done), declined = std::move(declined)](bool yes) {
                      if (!yes) {
                          if (declined) declined();
                          return;
                      }
                      // The clock ran on while the question was open: read afresh, as every click does.
                      const bool written = TakeMinute();
                      if (done) done(written);
                  });
}

bool MatchTime::TakeMinute() {
    return SetClock(std::max<int64_t>(int64_t{m_memory.ReadDWord(game::kMatchClock)} - kOneMinute, 0));
}

bool MatchTime::SetClock(int64_t value) {
    // A clock already near the word's limit stays at the limit rather than turning negative.
    const auto clamped = static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
    if (m_memory.WriteDWord(game::kMatchClock, clamped)) return true;
    m_dialogs.Warn("Could not set timer");
    return false;
}

void MatchTime::ResetGames(std::function<void()> declined) {
    m_dialogs.Ask(kResetGamesQuestion, [this, declined = std::move(declined)](bool yes) {
        if (yes)
            m_channel.SendServerCommand("command", "resetgames", {}, {}, SendNote{ActionKind::ResetGames, "", ""});
        else if (declined)
            declined();
    });
}

}  // namespace tovi
