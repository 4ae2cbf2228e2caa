#include "PollCycle.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "GameAddresses.h"
#include "MatchState.h"
#include "Windows1252.h"

namespace tovi {

namespace {

constexpr ServerControl kServerControls[] = {ServerControl::txtType,          ServerControl::cmdSendText,
                                             ServerControl::cmdHide,          ServerControl::cmdShow,
                                             ServerControl::cmdMapResetGames, ServerControl::cmdGameTimeInc,
                                             ServerControl::cmdGameTimeDec};

// What a tick reads: the match state, the server-wide values, the chat line and the pointer to
// the player slots.
constexpr std::pair<uint32_t, int> kTickRanges[] = {
    {game::kGameState, 1},
    {game::kDedicated, 1},
    {game::kMaxPlayers, 1},
    {game::kServerName, game::kServerNameLength},
    {game::kGameType, 1},
    {game::kMatchClock, 4},
    {game::kPlayerCount, 1},
    {game::kMapName, game::kMapNameLength},
    {game::kMapFile, game::kMapFileLength},
    {game::kServerMessage, game::kServerMessageLength},
    {game::kHostPlayer, game::kHostPlayerLength},
    {game::kCountryCode, game::kCountryCodeLength},
    {game::kExpansionText, game::kVersionLength},
    {game::kChatLine, game::kChatLineLength},
    {game::kSlotTablePointer, 4},
};

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The minimum player count the operator typed, when it is a whole number that fits 16 bits:
// blanks around it are allowed ("  5" is 5), then an optional sign and decimal digits only.
// Anything else ("5x", "", "5.5", "99999") is no number, and no number never holds the match's
// statistics back.
std::optional<int16_t> WholeNumber(std::string_view text) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    int32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 32768) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int16_t>::max()) return std::nullopt;
    return static_cast<int16_t>(value);
}

}  // namespace

PollCycle::PollCycle(MemoryClass& memory, ServerStatus& status, PollView& view, PollHooks& hooks,
                     Scheduler& scheduler)
    : m_memory(memory), m_status(status), m_view(view), m_hooks(hooks), m_scheduler(scheduler) {}

PollCycle::~PollCycle() {
    if (m_pause) m_scheduler.Cancel(*m_pause);
}

void PollCycle::SetPanel(int panel, const std::string& text) {
    if (panel == 3) m_panel3 = text;
    m_view.SetPanel(panel, text);
}

void PollCycle::SetPanel3(const std::string& text) {
    SetPanel(3, text);
}

bool PollCycle::Attach() {
    if (!m_view.UseTrackedProcess()) return m_memory.SetWindow(std::string(game::kDefaultCaption));
    // The process picked from the server list: check that it still runs and still has its window.
    return m_memory.SetProcID(m_memory.GetProcID());
}

void PollCycle::Timer_Timer() {
    // A tick that falls due while the previous one waits out its match-end pause is dropped.
    if (m_busy) return;
    m_busy = true;

    // Everything a tick may read, in one transfer: the reads below, the chat reader's and the
    // player reader's pointer answer from it. The transfer also tells whether the process is
    // still there and still lets itself be read.
    const bool attached = Attach();
    if (attached) m_memory.HoldReads(TickReads());
    if (!attached || m_memory.DropIfUnreachable()) {
        // PreviousState stays: a server that comes back is compared with what it last showed.
        ResetServerDisplay();
        SetPanel(2, "");
        SetPanel3(kGameNotRunning);
        FinishTick(false);
        return;
    }

    const uint8_t state = m_memory.ReadAByte(game::kGameState);
    m_status.State = state;
    const uint8_t previous = m_status.PreviousState;
    const bool fromMatch = previous == kStateHosting || previous == kStateScoring;

    if ((state == kStateLoading || state == kStateWaiting) && fromMatch) {
        // A new map cycle: what was counted and shown for the last map goes.
        m_status.PollTicks = 0;
        m_hooks.ClearPlayerTable();
        m_view.ClearDebugLog();
        m_view.ClearPlayerList();
        m_view.ClearPublicChat();
    } else if (state == kStateScoring && previous == kStateHosting) {
        if (m_view.ScoringTimeOn()) {
            // Seconds beyond what a 32-bit count of 1/62 s holds saturate instead of wrapping.
            const int64_t ticks = int64_t{m_view.ScoringSeconds()} * game::kTicksPerSecond;
            const auto clamped = std::clamp<int64_t>(ticks, std::numeric_limits<int32_t>::min(),
                                                     std::numeric_limits<int32_t>::max());
            m_memory.WriteDWord(game::kScoringTime, static_cast<int32_t>(clamped));
        }
        // The results are taken 200 ms after the switch to scoring. The wait is a continuation so
        // that the window stays responsive; ticks falling due meanwhile are skipped. What they
        // read then is read afresh.
        m_memory.ReleaseReads();
        if (CountsAsMatch()) m_hooks.MatchEnding(m_status.PollTicks);
        m_pause = m_scheduler.Schedule(kMatchEndPauseMs, [this, state] { EndOfPause(state); });
        return;
    }
    AfterStateMachine(state);
}

void PollCycle::EndOfPause(uint8_t state) {
    m_pause.reset();
    // A punt or ban sending now has the poll stopped: the match end waits for it.
    if (!m_running) {
        m_heldMatchEnd = state;
        return;
    }
    MatchEnd();
    AfterStateMachine(state);
}

void PollCycle::SetRunning(bool running) {
    m_running = running;
    if (!running || !m_heldMatchEnd) return;
    const uint8_t state = *m_heldMatchEnd;
    m_heldMatchEnd.reset();
    m_pause = m_scheduler.Schedule(0, [this, state] { EndOfPause(state); });
}

void PollCycle::MatchEnd() {
    if (++m_status.MatchEndCount >= 3) {
        m_status.MatchEndCount = 0;
        m_hooks.SendPeriodicChat();
    }
    // The server may have gone during the pause. Its reads would answer 0 and "", which must
    // not pass for the final scores or the result: the players stay as last read.
    const bool present = !m_memory.ReadMemory(game::kGameState, int16_t{1}).empty();
    if (present) {
        // Dedicated, MaxPlayers and PlayerCount are still those of the match's last hosting tick.
        m_hooks.ReadPlayers(m_status.Dedicated, m_status.MaxPlayers);
    } else {
        m_hooks.Log("The game server went away at the match end: its final scores and result could not be read");
    }
    if (CountsAsMatch()) {
        std::optional<uint8_t> result;
        if (const std::string byte = m_memory.ReadMemory(game::kResultByte, int16_t{1}); byte.size() == 1) {
            result = static_cast<uint8_t>(byte[0]);
        } else if (present) {
            m_hooks.Log("The match result could not be read: the match is written without it");
        }
        m_hooks.WriteStats(true, result, m_status.PollTicks);
    }
}

bool PollCycle::CountsAsMatch() const {
    const std::string minText = m_view.MinPlayersText();
    const std::optional<int16_t> minPlayers = WholeNumber(minText);
    return minText == "0" || !minPlayers || m_status.PlayerCount >= *minPlayers;
}

void PollCycle::AfterStateMachine(uint8_t state) {
    m_status.PreviousState = state;
    const std::string pidText = "PID: " + std::to_string(m_memory.GetProcID()) + " ";
    SetPanel(2, pidText);
    SetPanel3(StateText(state));

    if (IsHostingState(state)) {
        HostingTick();
    } else {
        ResetServerDisplay();
        SetPanel(2, pidText);
        SetPanel3(StateText(state));
    }
    FinishTick();
}

void PollCycle::HostingTick() {
    for (ServerControl control : kServerControls) m_view.SetControlEnabled(control, true);

    auto field = [this](uint32_t address, int length) {
        return m_memory.ReadMemory(address, static_cast<int16_t>(length));
    };
    ServerStatus& s = m_status;
    s.Dedicated = m_memory.ReadAByte(game::kDedicated) != 0;
    m_view.SetLabel(StatusLabel::lblDedicated, s.Dedicated ? "Dedicated: Yes" : "Dedicated: No");
    s.MaxPlayers = m_memory.ReadAByte(game::kMaxPlayers);
    // Blanks go first: those before the field's zero byte stay.
    s.ServerName = CutAtNull(std::string(TrimBlanks(field(game::kServerName, game::kServerNameLength))));
    s.GameType = m_memory.ReadAByte(game::kGameType);
    const int32_t clockSeconds = m_memory.ReadDWord(game::kMatchClock) / game::kTicksPerSecond;
    s.ClockSeconds = clockSeconds;
    s.PlayerCount = m_memory.ReadAByte(game::kPlayerCount);
    s.MapName = CutAtNull(field(game::kMapName, game::kMapNameLength));
    s.MapFile = CutAtNull(field(game::kMapFile, game::kMapFileLength));
    s.ServerMessage = CutAtNull(field(game::kServerMessage, game::kServerMessageLength));
    s.HostPlayer = std::string(TrimBlanks(CutAtNull(field(game::kHostPlayer, game::kHostPlayerLength))));
    s.CountryCode = field(game::kCountryCode, game::kCountryCodeLength);
    s.Expansion = CutAtNull(field(game::kExpansionText, game::kVersionLength));

    SetPanel(1, std::to_string(s.PlayerCount) + " of " + std::to_string(s.MaxPlayers));
    const std::string timer = "Timer: " + FormatDuration(clockSeconds, 1);
    SetPanel(4, timer);
    m_view.SetLabel(StatusLabel::lblGameTime, timer);

    // A game type the table does not know leaves the label as the last known type showed it.
    if (s.GameType < kGameTypeCount) {
        m_view.SetLabel(StatusLabel::lblServerName,
                        "Servername: " + s.ServerName + " (" + GameTypes()[s.GameType] + ")");
    }
    m_view.SetLabel(StatusLabel::lblCurrentMap, "Map: " + s.MapName + " (" + LowerCase1252(s.MapFile) + ")");
    m_view.SetLabel(StatusLabel::lblServerMessage, "Server message: " + s.ServerMessage);
    m_view.SetLabel(StatusLabel::lblCountryCode, "Country: " + s.CountryCode);
    m_view.SetLabel(StatusLabel::lblHostplayer, "Hostplayer: " + s.HostPlayer);

    ++s.PollTicks;
    // The counters every fifth tick, as the statistics count them; the names on every other tick,
    // so that a banned player is seen as he joins.
    if (s.PollTicks % 5 == 0) {
        m_hooks.ReadPlayers(s.Dedicated, s.MaxPlayers);
    } else {
        m_hooks.ReadNames(s.Dedicated, s.MaxPlayers);
    }
    const int minutes = m_view.AutoMessagesOn() ? m_view.AutoMessageMinutes() : 0;
    if (minutes > 0 && s.PollTicks % (int64_t{60} * minutes) == 0) m_hooks.SendNextAutoMessage();
    m_hooks.ReadChat();
    if (s.PollTicks % 30 == 0) m_hooks.SendStatusReport();
    m_view.SetTrayPicture(TrayPicture::Hosting);
}

ReadList PollCycle::TickReads() {
    ReadList reads;
    for (const auto& [address, length] : kTickRanges) reads.Add(address, static_cast<size_t>(length));
    m_memory.ReadAll(reads);
    return reads;
}

void PollCycle::FinishTick(bool attached) {
    m_memory.ReleaseReads();
    m_view.UpdateTray("Tovi status: " + m_panel3);
    m_busy = false;
    m_hooks.TickFinished(attached);
}

void PollCycle::ResetServerDisplay() {
    m_view.SetTrayPicture(TrayPicture::Idle);
    for (int panel = 1; panel <= 4; ++panel) SetPanel(panel, "");
    // lblGameTime keeps the last clock it showed.
    for (StatusLabel label :
         {StatusLabel::lblServerName, StatusLabel::lblCurrentMap, StatusLabel::lblDedicated,
          StatusLabel::lblCountryCode, StatusLabel::lblHostplayer, StatusLabel::lblServerMessage}) {
        m_view.SetLabel(label, "");
    }
    m_view.ClearLog();
    m_view.ClearChatInput();
    // cmdShow stays usable so that a hidden game window can still be shown again.
    for (ServerControl control : kServerControls) {
        if (control != ServerControl::cmdShow) m_view.SetControlEnabled(control, false);
    }
    m_view.ClearPlayerList();
}

}  // namespace tovi
