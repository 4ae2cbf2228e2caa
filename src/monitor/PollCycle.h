#pragma once
// One tick of the poll (Timer_Timer): re-attach to the game's server, follow the match-state
// machine (map-cycle reset, match end), read the server-wide values, show them, and hand work
// on at its ticks. A tick never blocks: the pause at a match end is a scheduled continuation,
// and a tick that falls due while the previous one is unfinished is skipped.
#include <cstdint>
#include <optional>
#include <string>

#include "MemoryClass.h"
#include "PollView.h"
#include "Scheduler.h"
#include "ServerStatus.h"

namespace tovi {

class PollCycle {
public:
    PollCycle(MemoryClass& memory, ServerStatus& status, PollView& view, PollHooks& hooks,
              Scheduler& scheduler);
    // Cancels a match-end pause still pending, so that it never runs on a poll that is gone.
    ~PollCycle();
    PollCycle(const PollCycle&) = delete;
    PollCycle& operator=(const PollCycle&) = delete;

    void Timer_Timer();
    // The poll timer was stopped or started again (punts and bans stop it while they send). A
    // match-end pause that ends while the poll is stopped carries on once it runs again.
    void SetRunning(bool running);
    // Blanks the server display and switches the server controls off.
    void ResetServerDisplay();
    // True from the start of a tick until its last step has run.
    bool Busy() const { return m_busy; }
    // The text of panel 3 after the latest tick.
    const std::string& Panel3() const { return m_panel3; }

    static constexpr int kMatchEndPauseMs = 200;

private:
    bool Attach();
    void EndOfPause(uint8_t state);
    void MatchEnd();
    // Whether the match has the players the operator asks for before its statistics are written.
    bool CountsAsMatch() const;
    void AfterStateMachine(uint8_t state);
    void HostingTick();
    void FinishTick(bool attached = true);
    ReadList TickReads();
    void SetPanel(int panel, const std::string& text);
    void SetPanel3(const std::string& text);

    MemoryClass& m_memory;
    ServerStatus& m_status;
    PollView& m_view;
    PollHooks& m_hooks;
    Scheduler& m_scheduler;
    bool m_busy = false;
    std::optional<Scheduler::TimerId> m_pause;  // the match-end pause while it is pending
    bool m_running = true;
    std::optional<uint8_t> m_heldMatchEnd;  // the state of a match end waiting for the poll to run
    std::string m_panel3;
};

}  // namespace tovi
