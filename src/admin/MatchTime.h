#pragma once
// The Map tab's buttons that steer the running match: a minute more or less on the match clock,
// and resetting the games.
#include <functional>

#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "MemoryClass.h"

namespace tovi {

class MatchTime {
public:
    MatchTime(MemoryClass& memory, ConsoleChannel& channel, Dialogs& dialogs);

    // Answers whether the clock was written.
    bool OneMinuteMore();
    // Never sets the clock below 0. A minute off a clock that holds no more than that ends the
    // match, so the operator is asked first; `done` hears whether the clock was written, and
    // nothing when he says No (`declined` does).
    void OneMinuteLess(std::function<void(bool written)> done = {},
                              std::function<void()> declined = {});
    // Ends the match under way: asked first, sent only on Yes; `declined` hears a No.
    void ResetGames(std::function<void()> declined = {});

    static constexpr const char* kEndMatchByClockQuestion =
        "No more than a minute is left in this match. This ends the current match now.\r\n"
        "Take a minute off the match clock?";
    static constexpr const char* kResetGamesQuestion =
        "This ends the current match now and starts the map's games again.\r\nReset games?";

    // One minute in the game's 1/62 s.
    static constexpr int32_t kOneMinute = 60 * 62;

private:
    bool SetClock(int64_t value);
    bool TakeMinute();

    MemoryClass& m_memory;
    ConsoleChannel& m_channel;
    Dialogs& m_dialogs;
};

}  // namespace tovi
