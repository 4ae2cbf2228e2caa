#pragma once
// The game server's behaviour over a game image: the match state going through its phases, the
// match clock counting down, players joining, scoring, chatting and leaving, all on virtual time
// that moves only when Advance is called. The console itself is the image's.
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "Scenario.h"
#include "image/GameImage.h"

namespace tovi::gamesim {

class Simulator {
public:
    // Told of everything that happens, one line each: "<seconds, 3 decimals> <action>".
    using Transcript = std::function<void(const std::string&)>;

    // Lays out the server's settings and starts the first round at time 0 (its events at 0
    // included). Takes over the image's console hooks until destroyed.
    Simulator(image::GameImage& image, Scenario scenario, Transcript transcript = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Moves virtual time on by `ms`, going through every phase end and event on the way, in order.
    // Values written into the image since the last call (match clock, scoring time) count.
    void Advance(int64_t ms);
    // Virtual milliseconds since the start.
    int64_t Now() const { return m_now; }
    // The match state byte.
    uint8_t State() const;
    // An "exit" event has happened: the server is gone and time no longer moves.
    bool Exited() const { return m_exited; }
    // A key reaching the game's window.
    void PressKey(GameKeystroke key);
    // A few lines telling where the server is, for its window.
    std::vector<std::string> Status() const;

private:
    enum class Phase { Loading, Waiting, Hosting, Scoring, Halted, Idle };
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

    const Round& CurrentRound() const { return m_scenario.rounds[static_cast<size_t>(m_round)]; }
    void ApplyServerSettings();
    void StartRound(int index);
    void RestartRound();
    void NextRound();
    void EnterPhase(Phase phase);
    void EndPhase();
    void Halt(uint8_t state);
    void EnterIdle();
    void SetState(uint8_t state);

    int64_t PhaseDueAt() const;
    int64_t EventDueAt() const;
    void Settle();
    void Run(int64_t ms);

    void Fire(const Event& event);
    void Join(const Event& event);
    void Leave(int slot);
    void Apply(int slot, const FieldValue& value, bool add);
    void ZeroCounters();
    void UpdatePlayerCount();
    std::string SlotName(int slot) const;
    void Log(const std::string& action);

    image::GameImage& m_image;
    const Scenario m_scenario;
    Transcript m_transcript;

    int64_t m_now = 0;
    int m_round = -1;            // index of the current (or, when idle, the last) round
    int64_t m_roundStart = 0;    // when the round began, for its events
    size_t m_nextEvent = 0;      // the round's next event to fire
    Phase m_phase = Phase::Idle;
    int64_t m_phaseStart = 0;
    int64_t m_clockRemainder = 0;  // elapsed ms * 62 not yet taken off the match clock, below 1000
    bool m_exited = false;
};

}  // namespace tovi::gamesim
