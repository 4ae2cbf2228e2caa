#include "Simulator.h"

#include <algorithm>

#include "GameAddresses.h"

namespace tovi::gamesim {

namespace {

constexpr int64_t kTicks = game::kTicksPerSecond;

std::string Stamp(int64_t ms) {
    std::string fraction = std::to_string(ms % 1000);
    fraction.insert(0, 3 - fraction.size(), '0');
    return std::to_string(ms / 1000) + "." + fraction;
}

const char* StateName(uint8_t state) {
    switch (state) {
        case 1: return "loading";
        case 2: return "waiting for players";
        case 3: return "hosting";
        case 4: return "scoring";
        default: return "not hosting";
    }
}

}  // namespace

Simulator::Simulator(image::GameImage& image, Scenario scenario, Transcript transcript)
    : m_image(image), m_scenario(std::move(scenario)), m_transcript(std::move(transcript)) {
    m_image.onConsoleAction = [this](const std::string& action) { Log(action); };
    m_image.onResetGames = [this] { RestartRound(); };
    ApplyServerSettings();
    if (m_scenario.rounds.empty()) {
        EnterIdle();
    } else {
        StartRound(0);
    }
    Settle();
}

Simulator::~Simulator() {
    m_image.onConsoleAction = nullptr;
    m_image.onResetGames = nullptr;
}

uint8_t Simulator::State() const { return m_image.Byte(game::kGameState); }

void Simulator::ApplyServerSettings() {
    const ServerSettings& s = m_scenario.server;
    m_image.Initialise(s.version);
    m_image.SetByte(game::kDedicated, s.dedicated ? 1 : 0);
    m_image.SetByte(game::kMaxPlayers, static_cast<uint8_t>(s.maxPlayers));
    m_image.SetText(game::kServerName, game::kServerNameLength, s.name);
    // The country code fills its two bytes with no zero byte after it.
    auto country = m_image.Bytes(game::kCountryCode, game::kCountryCodeLength);
    std::fill(country.begin(), country.end(), uint8_t{0});
    std::copy_n(s.country.begin(), std::min(s.country.size(), country.size()), country.begin());
    m_image.SetText(game::kServerMessage, game::kServerMessageLength, s.message);
    m_image.SetByte(game::kGameType, static_cast<uint8_t>(s.gameType));
    const std::string host = s.dedicated ? "" : (s.host.empty() ? "Host" : s.host);
    m_image.SetText(game::kHostPlayer, game::kHostPlayerLength, host);
    m_image.SetText(game::kExpansionText, kMaxExpansionLength + 1, s.expansion);
    if (s.result) m_image.SetByte(game::kResultByte, *s.result);
    if (s.scoringTicks) m_image.SetDWord(game::kScoringTime, *s.scoringTicks);
    m_image.SetByte(game::kGameState, 0);
    UpdatePlayerCount();
}

void Simulator::StartRound(int index) {
    m_round = index;
    m_roundStart = m_now;
    m_nextEvent = 0;
    const Round& round = CurrentRound();
    Log("round " + std::to_string(index + 1) + " " + image::Quote(round.mapName) + " " +
        image::Quote(round.mapFile));
    m_image.SetText(game::kMapName, game::kMapNameLength, round.mapName);
    m_image.SetText(game::kMapFile, game::kMapFileLength, round.mapFile);
    ZeroCounters();
    EnterPhase(Phase::Loading);
}

void Simulator::RestartRound() {
    if (m_round < 0) return;
    StartRound(m_round);
    Settle();
}

void Simulator::NextRound() {
    const int count = static_cast<int>(m_scenario.rounds.size());
    if (m_round + 1 < count) {
        StartRound(m_round + 1);
    } else if (m_scenario.repeat) {
        StartRound(0);
    } else {
        EnterIdle();
    }
}

void Simulator::EnterPhase(Phase phase) {
    const Round& round = CurrentRound();
    m_phaseStart = m_now;
    m_phase = phase;
    switch (phase) {
        case Phase::Loading:
            if (round.loadingMs <= 0) return EnterPhase(Phase::Waiting);
            SetState(1);
            break;
        case Phase::Waiting:
            if (round.waitingMs <= 0) return EnterPhase(Phase::Hosting);
            SetState(2);
            break;
        case Phase::Hosting:
            // The clock is set before the state, so that whoever sees state 3 sees the clock too.
            if (round.matchTicks) {
                m_image.SetDWord(game::kMatchClock, *round.matchTicks);
                m_clockRemainder = 0;
            }
            SetState(3);
            break;
        case Phase::Scoring: {
            const auto result = round.result ? round.result : m_scenario.server.result;
            if (result) m_image.SetByte(game::kResultByte, *result);
            SetState(4);
            break;
        }
        case Phase::Halted:
        case Phase::Idle:
            break;
    }
}

void Simulator::EndPhase() {
    switch (m_phase) {
        case Phase::Loading: return EnterPhase(Phase::Waiting);
        case Phase::Waiting: return EnterPhase(Phase::Hosting);
        case Phase::Hosting: return EnterPhase(Phase::Scoring);
        case Phase::Scoring: return NextRound();
        case Phase::Halted:
        case Phase::Idle: return;
    }
}

void Simulator::Halt(uint8_t state) {
    m_phase = Phase::Halted;
    m_phaseStart = m_now;
    SetState(state);
}

void Simulator::EnterIdle() {
    m_phase = Phase::Idle;
    m_phaseStart = m_now;
    SetState(0);
}

void Simulator::SetState(uint8_t state) {
    if (m_image.Byte(game::kGameState) == state) return;
    m_image.SetByte(game::kGameState, state);
    Log("state " + std::to_string(state));
}

int64_t Simulator::PhaseDueAt() const {
    switch (m_phase) {
        case Phase::Loading: return m_phaseStart + CurrentRound().loadingMs;
        case Phase::Waiting: return m_phaseStart + CurrentRound().waitingMs;
        case Phase::Hosting: {
            if (!CurrentRound().matchTicks) return kNever;
            // Read afresh: the clock may have been moved since the last step.
            const int64_t clock = m_image.DWord(game::kMatchClock);
            if (clock <= 0) return m_now;
            // The first millisecond at which the remainder reaches `clock` whole ticks.
            return m_now + (clock * 1000 - m_clockRemainder + kTicks - 1) / kTicks;
        }
        case Phase::Scoring: {
            // Read afresh: the scoring time is commonly written once scoring has begun. Scoring
            // lasts at least a millisecond, so that a round can't end the instant it started.
            const int64_t ticks = m_image.DWord(game::kScoringTime);
            const int64_t ms = std::max<int64_t>(1, (ticks * 1000 + kTicks - 1) / kTicks);
            return m_phaseStart + ms;
        }
        case Phase::Halted:
        case Phase::Idle: return kNever;
    }
    return kNever;
}

int64_t Simulator::EventDueAt() const {
    if (m_phase == Phase::Idle || m_round < 0) return kNever;
    const auto& events = CurrentRound().events;
    if (m_nextEvent >= events.size()) return kNever;
    return m_roundStart + events[m_nextEvent].atMs;
}

// Carries out everything due now: phase ends first, then the round's events, so that events at
// the very instant a round ends are dropped with it.
void Simulator::Settle() {
    UpdatePlayerCount();
    while (!m_exited) {
        if (PhaseDueAt() <= m_now) {
            EndPhase();
        } else if (EventDueAt() <= m_now) {
            const Event& event = CurrentRound().events[m_nextEvent++];
            Fire(event);
        } else {
            break;
        }
    }
}

void Simulator::Run(int64_t ms) {
    if (ms <= 0) return;
    m_now += ms;
    if (m_phase != Phase::Hosting || !CurrentRound().matchTicks) return;
    m_clockRemainder += ms * kTicks;
    const int64_t ticks = m_clockRemainder / 1000;
    m_clockRemainder %= 1000;
    if (ticks == 0) return;
    const int64_t clock = m_image.DWord(game::kMatchClock) - ticks;
    m_image.SetDWord(game::kMatchClock, static_cast<int32_t>(std::max<int64_t>(clock, INT32_MIN)));
}

void Simulator::Advance(int64_t ms) {
    const int64_t target = m_now + std::max<int64_t>(ms, 0);
    Settle();
    while (!m_exited) {
        const int64_t next = std::min(PhaseDueAt(), EventDueAt());
        if (next > target) {
            Run(target - m_now);
            return;
        }
        Run(next - m_now);
        Settle();
    }
}

void Simulator::PressKey(GameKeystroke key) {
    m_image.PressKey(key);
    // A punt or ban empties a slot behind the console's back.
    UpdatePlayerCount();
}

void Simulator::Fire(const Event& event) {
    switch (event.kind) {
        case EventKind::Join: return Join(event);
        case EventKind::Leave: return Leave(event.slot);
        case EventKind::Set:
        case EventKind::Add:
            for (const FieldValue& value : event.values) Apply(event.slot, value, event.kind == EventKind::Add);
            return;
        case EventKind::Chat:
            m_image.SetText(game::kChatLine, game::kChatLineLength, event.text);
            Log("chat " + image::Quote(event.text));
            return;
        case EventKind::State: {
            const auto state = static_cast<uint8_t>(event.state);
            if (event.hold || state < 1 || state > 4) return Halt(state);
            static constexpr Phase kPhases[] = {Phase::Loading, Phase::Waiting, Phase::Hosting, Phase::Scoring};
            return EnterPhase(kPhases[state - 1]);
        }
        case EventKind::Console:
            m_image.SetConsoleWorks(event.on);
            Log(event.on ? "console on" : "console off");
            return;
        case EventKind::Exit:
            m_exited = true;
            Log("exit");
            return;
    }
}

void Simulator::Join(const Event& event) {
    const std::string who = std::to_string(event.slot) + " " + image::Quote(event.text);
    if (m_image.IsBanned(event.text)) {
        Log("join " + who + " refused");
        return;
    }
    const std::string current = SlotName(event.slot);
    // Still connected from an earlier round: nothing changes.
    if (current == event.text) return;
    // A player is connected once: joining another slot moves him (as when a round replays).
    for (int slot = 0; slot < image::kSlotCapacity; ++slot) {
        if (slot != event.slot && SlotName(slot) == event.text) Leave(slot);
    }
    if (!current.empty()) Leave(event.slot);
    m_image.ClearSlot(event.slot);
    for (const FieldValue& value : event.values) Apply(event.slot, value, false);
    // The name goes in last: it is what makes the slot taken.
    m_image.SetText(image::GameImage::SlotAddress(event.slot) + game::slot::kName, game::slot::kNameLength,
                    event.text);
    UpdatePlayerCount();
    Log("join " + who);
}

void Simulator::Leave(int slot) {
    const std::string name = SlotName(slot);
    if (name.empty()) return;
    m_image.ClearSlot(slot);
    UpdatePlayerCount();
    Log("leave " + std::to_string(slot) + " " + image::Quote(name));
}

void Simulator::Apply(int slot, const FieldValue& value, bool add) {
    const FieldInfo& info = Field(value.field);
    const uint32_t address = image::GameImage::SlotAddress(slot) + info.offset;
    if (info.isByte) {
        const int32_t base = add ? m_image.Byte(address) : 0;
        m_image.SetByte(address, static_cast<uint8_t>(base + value.value));
        return;
    }
    // Adding wraps like the game's own 32-bit counters instead of overflowing.
    const uint32_t base = add ? static_cast<uint32_t>(m_image.DWord(address)) : 0;
    m_image.SetDWord(address, static_cast<int32_t>(base + static_cast<uint32_t>(value.value)));
}

void Simulator::ZeroCounters() {
    for (int slot = 0; slot < image::kSlotCapacity; ++slot) {
        for (const FieldInfo& info : PlayerFields()) {
            if (info.isCounter) m_image.SetDWord(image::GameImage::SlotAddress(slot) + info.offset, 0);
        }
    }
}

void Simulator::UpdatePlayerCount() {
    int count = 0;
    for (int slot = 0; slot < image::kSlotCapacity; ++slot) {
        if (m_image.Byte(image::GameImage::SlotAddress(slot) + game::slot::kName) != 0) ++count;
    }
    m_image.SetByte(game::kPlayerCount, static_cast<uint8_t>(count));
}

std::string Simulator::SlotName(int slot) const {
    return m_image.Text(image::GameImage::SlotAddress(slot) + game::slot::kName, game::slot::kNameLength);
}

void Simulator::Log(const std::string& action) {
    if (m_transcript) m_transcript(Stamp(m_now) + " " + action);
}

std::vector<std::string> Simulator::Status() const {
    const uint8_t state = State();
    std::vector<std::string> lines;
    lines.push_back("State " + std::to_string(state) + ": " + StateName(state));
    if (m_round >= 0) {
        lines.push_back("Round " + std::to_string(m_round + 1) + " of " + std::to_string(m_scenario.rounds.size()) +
                        ": " + m_image.Text(game::kMapName, game::kMapNameLength) + " (" +
                        m_image.Text(game::kMapFile, game::kMapFileLength) + ")");
    }
    if (state == 3 && m_round >= 0) {
        const int32_t seconds = std::max(0, m_image.DWord(game::kMatchClock)) / game::kTicksPerSecond;
        std::string secs = std::to_string(seconds % 60);
        if (secs.size() < 2) secs.insert(0, "0");
        lines.push_back("Clock: " + std::to_string(seconds / 60) + ":" + secs +
                        (CurrentRound().matchTicks ? " left" : " (no time limit)"));
    }
    lines.push_back("Players: " + std::to_string(m_image.Byte(game::kPlayerCount)) + " of " +
                    std::to_string(m_image.Byte(game::kMaxPlayers)));
    const std::string chat = m_image.Text(game::kChatLine, game::kChatLineLength);
    if (!chat.empty()) lines.push_back("Chat: " + chat);
    lines.push_back("Time: " + std::to_string(m_now / 1000) + " s" + (m_exited ? " (exited)" : ""));
    return lines;
}

}  // namespace tovi::gamesim
