#include "Service.h"

#include <QDateTime>
#include <filesystem>
#include <charconv>
#include <utility>

#include "GameText.h"
#include "MatchState.h"
#include "NoticeService.h"
#include "PeriodicChat.h"
#include "StoreChoice.h"

namespace tovi {

Service::Service(MemoryClass& memory, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                 QString dataDir, QObject* parent, std::unique_ptr<FileWork> fileWork)
    : QObject(parent),
      m_memory(memory),
      m_scheduler(scheduler),
      m_dataDir(std::move(dataDir)),
      m_context(std::make_unique<ActionContext>(dialogs, m_listLookup,
                                                [this](const std::string& actor) {
                                                    if (m_channel) m_channel->SetActor(actor);
                                                })),
      m_poll(memory, m_status, *this, *this, scheduler),
      m_http(http),
      m_history(*m_historyStore, [] { return QDateTime::currentSecsSinceEpoch(); }),
      m_playerList([this] { return m_view ? m_view->PlayerList() : nullptr; }),
      m_chatList([this] { return m_view ? m_view->PublicChat() : nullptr; }),
      m_retention(
          m_history, scheduler, [this] { return m_other.HistoryDays; }, [this] { return m_historyKept; },
          [] { return QDateTime::currentSecsSinceEpoch(); }) {
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer"));
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &Service::Timer_Timer);

    const std::filesystem::path folder(m_dataDir.toStdU16String());
    m_history.SetActionObserver([this](const AdminAction& action) {
        if (m_recording) m_recording->push_back(action);
        emit adminActionRecorded(action);
    });
    m_chatList.SetOnAdded([this](const ChatRow& row) { emit chatLineAdded(row); });
    m_playerReader = std::make_unique<PlayerReader>(m_memory, m_status, m_playerTable, m_playerList, *this);
    m_chatReader =
        std::make_unique<ChatReader>(m_memory, m_status, m_chatList, [this] { return m_timeOfDay.Now(); });
    m_chatReader->SetOnNewLine([this](const std::string& sender, const std::string& text) {
        m_history.ChatRead(sender, text);
        m_notices->Events().ChatRead(sender, text);
    });
    m_notices = std::make_unique<NoticeService>(m_scheduler, *this, m_context->Questions(), folder / "settings.ini");
    m_settingsFile = std::make_unique<SettingsFile>(folder, m_settings, m_context->Questions());
    m_fileWork = fileWork ? std::move(fileWork) : std::make_unique<InlineFileWork>();
    m_reporter = std::make_unique<WebReporter>(folder, m_settings, m_status, m_http, *this, Sha256Hex, *m_fileWork);
    m_reporter->SetOnDelivered([this](int matches) { m_history.StatsUploaded(matches); });
    // Kept before any face hears of it: a face reads the snapshot when told.
    connect(this, &Service::transferEnded, this, [this](const std::string& what, bool confirmed, const std::string& why) {
        (what == "Status report" ? m_snapshot.LastReport : m_snapshot.LastUpload) =
            TransferOutcome{QDateTime::currentSecsSinceEpoch(), confirmed, confirmed ? std::string() : why};
    });
    connect(this, &Service::uploadRejected, this, [this](const std::string& reason, const std::string&) {
        ++m_snapshot.RejectedMatches;
        m_snapshot.LastRejection = reason;
    });
    m_reporter->SetOnOutcome([this](const std::string& what, bool confirmed, const std::string& why) {
        m_notices->Events().ReportOutcome(what, confirmed, why);
        emit transferEnded(what, confirmed, why);
    });
    m_reporter->SetOnRejected([this](const std::string& reason, const std::string& where) {
        m_notices->Events().UploadRejected(reason, where);
        emit uploadRejected(reason, where);
    });
    m_statsFile = std::make_unique<StatsFile>(folder, m_settings, m_status, m_playerTable, m_other, *m_reporter,
                                              *this, m_context->Questions(), m_scheduler, SystemLocalTime,
                                              *m_fileWork);
    m_statsFile->SetOnSavedLater(
        [this](size_t matches) { m_history.StatsSavedLater(static_cast<int>(matches)); });
    m_channel = std::make_unique<ConsoleChannel>(m_memory, m_scheduler, *this);
    m_channel->SetObserver([this](const FinishedSend& send) {
        m_history.SendFinished(send);
        m_notices->Events().SendFinished(send);
        if (send.Command == "gtalk" && send.Outcome == SendOutcome::Sent) emit chatSent(send.Note, send.Argument);
        if (send.Command == "command" && send.Note.Action == ActionKind::Ban && send.Outcome == SendOutcome::Sent)
            ListGameBan(send.Note);
    });
    m_puntBan = std::make_unique<PuntBan>(m_memory, *m_channel, m_scheduler, *this, m_context->Questions(),
                                          *m_context, *this);
    m_puntBan->SetObserver([this](UnsentAction action) {
        if (action.Who.empty()) action.Who = m_context->Actor();
        m_history.ActionNotSent(action);
    });
    m_autoMessages = std::make_unique<AutoMessages>(folder, *m_channel, m_context->Questions(), *this, *this);
    m_matchTime = std::make_unique<MatchTime>(m_memory, *m_channel, m_context->Questions());

    auto now = [] { return QDateTime::currentSecsSinceEpoch(); };
    m_banEnforcer =
        std::make_unique<BanEnforcer>(m_banList, m_memory, *m_channel, *m_puntBan, m_scheduler, *this, now);
    m_banActions = std::make_unique<BanActions>(
        m_banList, *m_banEnforcer, *m_puntBan, *m_channel, m_context->Questions(), *m_context, *this, m_scheduler,
        now,
        [this](ActionKind action, const std::string& target, const std::string& reason,
               const std::string& detail, bool done, const std::string& why,
               const std::string& who) { RecordBanAction(action, target, reason, detail, done, why, who); });
    m_banActions->SetIssuer(
        [this] { return m_context->Actor().empty() ? std::string(kOperatorAtWindow) : m_context->Actor(); });
    m_banActions->SetOnUnsent(
        [this](ActionKind action, const std::string& target, bool refused, const std::string& why) {
            m_history.ActionNotSent({action, target, "", refused, why, m_context->Actor()});
        });
    m_notices->Load();
}

Service::~Service() {
    // Its read under way may wait for the record's writer: it ends before the record closes.
    m_reader.Stop();
#if defined(TOVI_STORE_POSTGRES)
    m_banWatcher.reset();
#endif
    // The record's last writes may log, and the log reaches the recorder and the password filter:
    // the record closes while they still stand, with nothing left to record what it says then.
    std::unique_ptr<HistoryStore> store = std::move(m_historyStore);
    m_historyStore = std::make_unique<NoHistory>();
    m_history.SetStore(*m_historyStore);
    store.reset();
}

Dialogs& Service::ServiceDialogs() {
    return m_context->Questions();
}

void Service::SetView(ServiceView* view) {
    m_view = view;
}

// ---- start and stop -----------------------------------------------------------------------

void Service::Load() {
    m_settings.ServerCode.clear();
    m_status.State = 0;
    m_status.ServerName.clear();
    m_status.MapName.clear();
    m_status.PlayerCount = 0;
    m_status.PlayerNames.clear();
    m_poll.ResetServerDisplay();
    m_status.MaxPlayers = 0;
    m_status.PollTicks = 0;
    m_status.MatchEndCount = 0;
    LoadSettings();
    m_statsFile->Recover();
    m_statsFile->UploadIfQueued();
    m_periodicChatText = DecipherHexText(kPeriodicChatCipher, kPeriodicChatKey);
    m_timer->start();
    m_retention.Schedule(0);
}

void Service::Stop() {
    // A game window the operator hid must not stay hidden once this tool is gone.
    ShowGameWindow(true);
    m_timer->stop();
    m_statsFile->KeepBeforeStop();
    m_retention.Stop();
}

void Service::Timer_Timer() {
    m_poll.Timer_Timer();
    // Said once: the operator can fix this, and repeating it every second helps nobody.
    if (!m_permissionExplained && m_memory.GetProcID() == -1 &&
        m_memory.LastFailure() == AccessFailure::PermissionDenied) {
        m_permissionExplained = true;
        m_context->Questions().Warn("The game server was found, but reading its memory was refused. " +
                        m_memory.Backend().AccessRefusedAdvice());
    }
}

// ---- what the poll shows ------------------------------------------------------------------

std::string Service::LabelText(StatusLabel label) const {
    const auto found = m_labels.find(label);
    return found != m_labels.end() ? found->second : std::string();
}

std::string Service::PanelText(int panel) const {
    return panel >= 1 && panel <= 4 ? m_panels[static_cast<size_t>(panel)] : std::string();
}

void Service::SetPanel(int panel, const std::string& text) {
    if (panel >= 1 && panel <= 4) m_panels[static_cast<size_t>(panel)] = text;
    if (m_view) m_view->SetPanel(panel, text);
    emit panelChanged(panel, text);
}

void Service::SetLabel(StatusLabel label, const std::string& text) {
    m_labels[label] = text;
    if (m_view) m_view->SetLabel(label, text);
    emit labelChanged(label, text);
}

void Service::SetControlEnabled(ServerControl control, bool enabled) {
    if (control == ServerControl::txtType) m_snapshot.ConsoleReady = enabled;
    if (m_view) m_view->SetControlEnabled(control, enabled);
    emit controlEnabledChanged(control, enabled);
}

void Service::UpdateTray(const std::string& tip) {
    m_trayTip = tip;
    if (m_view) m_view->UpdateTray(tip);
    emit trayTipChanged(tip);
}

void Service::ClearPlayerList() {
    m_playerList.ClearRows();
    if (m_view) m_view->ClearPlayerList();
    emit playersUpdated();
}

void Service::ClearPublicChat() {
    m_chatList.Clear();
    if (m_view) m_view->ClearPublicChat();
}

// ---- work the poll hands on ---------------------------------------------------------------

void Service::ClearPlayerTable() {
    m_playerReader->Clear();
    m_seatedNow.clear();
    m_banActions->MatchStarted();
}

void Service::ReadPlayers(bool Dedicated, uint8_t MaxPlayers) {
    m_playerReader->ReadPlayers(Dedicated, MaxPlayers);
    auto number = [](const std::string& text) {
        int value = -1;
        std::from_chars(text.data(), text.data() + text.size(), value);
        return value;
    };
    std::vector<PresentPlayer> present;
    std::vector<SeatedPlayer> seated;
    for (const PlayerRow& row : m_playerList.Rows()) {
        present.push_back({row.Player, number(row.Slot), number(row.Team)});
        if (const std::optional<uint8_t> slot = SlotNumber(row.Slot))
            seated.push_back({row.Player, *slot, row.Position});
    }
    m_history.PlayersRead(present);
    m_banEnforcer->PlayersRead(seated);
    m_seatedNow = std::move(seated);
    emit playersUpdated();
}

void Service::ReadNames(bool Dedicated, uint8_t MaxPlayers) {
    m_seatedNow.clear();
    for (PlayerReader::SlotName& name : m_playerReader->ReadNames(Dedicated, MaxPlayers))
        m_seatedNow.push_back({std::move(name.Name), name.Slot, name.Position});
    m_banEnforcer->PlayersRead(m_seatedNow);
}

void Service::ReadChat() {
    m_chatReader->ReadChat();
}
void Service::SendStatusReport() {
    m_reporter->SendStatusReport();
}

void Service::WriteStats(bool upload, std::optional<uint8_t> resultByte, int32_t pollTicks) {
    // Recorded once the block is on the disk, or known to be kept in memory.
    m_statsFile->WriteStats(upload, resultByte, pollTicks, [this, resultByte](bool written) {
        m_history.StatsWritten(written,
                               written                         ? ""
                               : m_statsFile->LastBlockKept() ? kStatsKeptInMemory
                                                              : "the stats file could not be written",
                               resultByte);
        m_notices->Events().StatsWritten(resultByte);
    });
}

void Service::ListGameBan(const SendNote& note) {
    // The game forgets its own bans when it restarts: the name goes on the program's list too,
    // for good, unless a ban there holds it already.
    if (note.Target.empty() || m_banList.ActiveBanFor(note.Target, QDateTime::currentSecsSinceEpoch())) return;
    BanEntry entry;
    entry.Name = note.Target;
    entry.Reason = note.Reason.empty() ? "banned from the player menu" : note.Reason;
    entry.IssuedBy = note.Who.empty() ? std::string(kOperatorAtWindow) : note.Who;
    m_listingGameBan = true;
    m_banActions->AddBan(std::move(entry), 0, {});
    m_listingGameBan = false;
    emit banListChanged();
}

void Service::MatchEnding(int32_t pollTicks) {
    m_statsFile->NoteMatchEnd(pollTicks);
}

void Service::TickFinished(bool attached) {
    using Phase = ServerSnapshot::Phase;
    const uint8_t state = m_status.State;
    m_snapshot.Ticked = true;
    m_snapshot.Found = attached;
    m_snapshot.State = !attached                  ? Phase::None
                       : state == kStateLoading   ? Phase::Loading
                       : state == kStateWaiting   ? Phase::Waiting
                       : state == kStateHosting   ? Phase::Hosting
                       : state == kStateScoring   ? Phase::Scoring
                                                  : Phase::None;
    m_snapshot.ClockSeconds = attached ? std::optional<int32_t>(m_status.ClockSeconds) : std::nullopt;
    m_snapshot.AccessRefused =
        m_memory.GetProcID() == -1 && m_memory.LastFailure() == AccessFailure::PermissionDenied;
    if (!attached) m_snapshot.ConsoleReady = false;
    // Lost while its process can still be opened: only the window went.
    ServerLoss loss = ServerLoss::Process;
    if (!attached && m_attachedPid > 0 && m_memory.Backend().CanOpen(m_attachedPid)) loss = ServerLoss::Window;
    m_attachedPid = attached ? m_memory.GetProcID() : 0;
    m_history.TickDone(attached, m_status, m_playerTable);
    m_notices->Events().TickDone(attached, m_status, m_playerTable, loss);
    CheckServerCode();
    emit tickFinished(attached);
}

void Service::SendNextAutoMessage() {
    m_autoMessages->SendNextAutoMessage();
}

void Service::SendPeriodicChat() {
    if (!m_other.PeriodicChatOn) return;
    const std::string& text = m_other.PeriodicChatText.empty() ? m_periodicChatText : m_other.PeriodicChatText;
    m_channel->SendServerCommand("gtalk", text, {}, {},
                                 SendNote{ActionKind::PeriodicChat, "", "", true});
}

void Service::SetPollEnabled(bool enabled) {
    m_poll.SetRunning(enabled);
    if (enabled) {
        m_timer->start();
    } else {
        m_timer->stop();
    }
}

void Service::WriteSetting(const std::string& section, const std::string& key, const std::string& value) {
    m_settingsFile->WriteSetting(section, key, value);
}

namespace {

// A log line is one line: a name or an answer that holds line breaks must not make lines of its
// own, in the box or in the record; other control bytes show as "?", as the headless log shows them.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            c = ' ';
        } else if (static_cast<unsigned char>(c) < 32) {
            c = '?';
        }
    }
    return text;
}

}  // namespace

void Service::Log(const std::string& text) {
    // A driver's error may quote the connection string.
    const std::string message = OneLine(WithoutStorePasswords(text));
    // The face keeps a few lines; the record keeps them all (reports, uploads, refusals).
    emit logLine(message);
    m_history.ServerEvent("log", message);
}

std::string Service::WithoutStorePasswords(std::string text) const {
    return WithoutPasswords(WithoutPasswords(std::move(text), m_storeInUse), m_savedOther.SharedStore);
}

void Service::DebugLog(const std::string& message) {
    emit debugLogLine(OneLine(WithoutStorePasswords(message)));
}

}  // namespace tovi
