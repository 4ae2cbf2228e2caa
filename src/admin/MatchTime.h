#pragma once
// The Map tab's buttons that steer the running match: a minute more or less on the match clock,
// and resetting the games.
#include "ConsoleChannel.h"
#include "Dialogs.h"
#include "MemoryClass.h"

namespace tovi {

class MatchTime {
public:
    MatchTime(MemoryClass& memory, ConsoleChannel& channel, Dialogs& dialogs);

    // Each answers whether the clock was written.
    bool cmdGameTimeInc_Click();
    // Never sets the clock below 0.
    bool cmdGameTimeDec_Click();
    void cmdMapResetGames_Click();

    // One minute in the game's 1/62 s.
    static constexpr int32_t kOneMinute = 60 * 62;

private:
    bool SetClock(int64_t value);

    MemoryClass& m_memory;
    ConsoleChannel& m_channel;
    Dialogs& m_dialogs;
};

}  // namespace tovi
