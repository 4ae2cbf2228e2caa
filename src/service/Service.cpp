#include "Service.h"

#include <QDateTime>
#include <QDir>
#include <filesystem>
#include <QTime>
#include <charconv>
#include <utility>

#include "BanCsv.h"
#include "BanSettings.h"
#include "GameText.h"
#include "MatchState.h"
#include "NoticeService.h"
#include "PeriodicChat.h"
#include "StoreChoice.h"

#if defined(TOVI_HISTORY_SQLITE)
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"
#if defined(TOVI_STORE_POSTGRES)
#include <QSocketNotifier>

#include "PgBanStore.h"
#include "PgHistoryStore.h"
#endif
#endif
#if defined(TOVI_NOTICES_SQLITE)
#include "SqliteNoticeQueue.h"
#endif

namespace tovi {

namespace {

std::string TrimmedStore(std::string store) {
    store.erase(0, std::min(store.size(), store.find_first_not_of(' ')));
    store.erase(store.find_last_not_of(' ') + 1);
    return store;
}

// The messages are lines: their ends are the only control bytes they may hold.
bool HasControlBytesBesideLineEnds(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 && c != '\r' && c != '\n') return true;
    return false;
}

}  // namespace

// The face's dialogs, but an action that brings its own answers has its questions answered from
// them, at once and in order.
class Service::AnsweringDialogs : public Dialogs {
public:
    explicit AnsweringDialogs(Dialogs& face) : m_face(face) {}
    Dialogs& Face() { return m_face; }
    std::deque<bool> answers;
    std::deque<std::string> inputs;

    // Set while an action runs for someone away from the desktop: what would reach the face.
    UnattendedOutcome* unattended = nullptr;
    std::deque<bool> unattendedAnswers;

    void Ask(const std::string& question, std::function<void(bool yes)> answer) override {
        if (answers.empty() && unattended && !unattendedAnswers.empty()) {
            answers.push_back(unattendedAnswers.front());
            unattendedAnswers.pop_front();
        }
        if (answers.empty() && unattended) {
            unattended->Unanswered.push_back(question);
            return answer(false);
        }
        if (answers.empty()) return m_face.Ask(question, std::move(answer));
        const bool yes = answers.front();
        answers.pop_front();
        answer(yes);
    }
    void Warn(const std::string& text) override {
        if (unattended) return unattended->Warnings.push_back(text);
        m_face.Warn(text);
    }
    void Inform(const std::string& text) override {
        if (unattended) return unattended->Notes.push_back(text);
        m_face.Inform(text);
    }
    void InputBox(const std::string& prompt, const std::string& title,
                  std::function<void(std::optional<std::string> text)> answer) override {
        if (inputs.empty() && unattended) {
            unattended->Unanswered.push_back(prompt);
            return answer(std::nullopt);
        }
        if (inputs.empty()) return m_face.InputBox(prompt, title, std::move(answer));
        std::string text = std::move(inputs.front());
        inputs.pop_front();
        answer(std::move(text));
    }
    void LimitedInputBox(const std::string& prompt, const std::string& title, size_t maxLength,
                         std::function<void(std::optional<std::string> text)> answer) override {
        if (inputs.empty() && unattended) {
            unattended->Unanswered.push_back(prompt);
            return answer(std::nullopt);
        }
        if (inputs.empty()) return m_face.LimitedInputBox(prompt, title, maxLength, std::move(answer));
        std::string text = std::move(inputs.front());
        inputs.pop_front();
        answer(std::move(text));
    }

private:
    Dialogs& m_face;
};

// For the length of one action: who acts (what the console sends and the record name), the
// player it is for, and the answers it brought. Answers it did not use do not reach the next one.
class Service::Acting {
public:
    Acting(Service& service, const std::string& actor, std::optional<ListedPlayer> player = {},
           std::deque<bool> answers = {}, std::deque<std::string> inputs = {})
        : m_service(service) {
        m_service.m_actor = actor;
        m_service.m_channel->SetActor(actor);
        m_service.m_chosen = std::move(player);
        m_service.m_dialogs->answers = std::move(answers);
        m_service.m_dialogs->inputs = std::move(inputs);
    }
    Acting(Service& service, ActionRequest& request)
        : Acting(service, request.Actor, std::move(request.Player), std::move(request.Answers),
                 std::move(request.Inputs)) {}
    ~Acting() {
        m_service.m_actor.clear();
        m_service.m_channel->SetActor({});
        m_service.m_chosen.reset();
        m_service.m_dialogs->answers.clear();
        m_service.m_dialogs->inputs.clear();
    }
    Acting(const Acting&) = delete;
    Acting& operator=(const Acting&) = delete;

private:
    Service& m_service;
};

// The player an action names, or else the one selected in the face's list.
class Service::ChosenPlayerLookup : public PlayerRowLookup {
public:
    ChosenPlayerLookup(PlayerListLookup& list, const std::optional<ListedPlayer>& chosen)
        : m_list(list), m_chosen(chosen) {}
    std::optional<ListedPlayer> SelectedPlayer() override {
        return m_chosen ? m_chosen : m_list.SelectedPlayer();
    }
    bool HasPlayerRow(const ListedPlayer& player) override { return m_list.HasPlayerRow(player); }

private:
    PlayerListLookup& m_list;
    const std::optional<ListedPlayer>& m_chosen;
};

Service::Service(MemoryClass& memory, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                 QString dataDir, QObject* parent)
    : QObject(parent),
      m_memory(memory),
      m_scheduler(scheduler),
      m_dataDir(std::move(dataDir)),
      m_dialogs(std::make_unique<AnsweringDialogs>(dialogs)),
      m_poll(memory, m_status, *this, *this, scheduler),
      m_http(http),
      m_history(*m_historyStore, [] { return QDateTime::currentSecsSinceEpoch(); }),
      m_playerList([this] { return m_view ? m_view->PlayerList() : nullptr; }),
      m_chatList([this] { return m_view ? m_view->PublicChat() : nullptr; }) {
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer"));
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &Service::Timer_Timer);

    const std::filesystem::path folder(m_dataDir.toStdU16String());
    m_history.SetActionObserver([this](const AdminAction& action) { emit adminActionRecorded(action); });
    m_chatList.SetOnAdded([this](const ChatRow& row) { emit chatLineAdded(row); });
    m_playerReader = std::make_unique<PlayerReader>(m_memory, m_status, m_playerTable, m_playerList, *this);
    m_chatReader = std::make_unique<ChatReader>(m_memory, m_status, m_chatList, [] {
        return QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString();
    });
    m_chatReader->SetOnNewLine([this](const std::string& sender, const std::string& text) {
        m_history.ChatRead(sender, text);
        m_notices->Events().ChatRead(sender, text);
    });
    m_notices = std::make_unique<NoticeService>(m_scheduler, *this, *m_dialogs, folder / "settings.ini");
    m_settingsFile = std::make_unique<SettingsFile>(folder, m_settings, *m_dialogs);
    m_reporter = std::make_unique<WebReporter>(folder, m_settings, m_status, m_http, *this, Sha256Hex);
    m_reporter->SetOnDelivered([this](int matches) { m_history.StatsUploaded(matches); });
    // Kept before any face hears of it: a face reads the snapshot when told.
    connect(this, &Service::transferEnded, this, [this](const std::string& what, bool confirmed, const std::string& why) {
        (what == "Status report" ? m_snapshot.LastReport : m_snapshot.LastUpload) =
            TransferOutcome{QDateTime::currentSecsSinceEpoch(), confirmed, confirmed ? std::string() : why};
    });
    m_reporter->SetOnOutcome([this](const std::string& what, bool confirmed, const std::string& why) {
        m_notices->Events().ReportOutcome(what, confirmed, why);
        emit transferEnded(what, confirmed, why);
    });
    m_statsFile = std::make_unique<StatsFile>(folder, m_settings, m_status, m_playerTable, m_other, *m_reporter,
                                              *this, *m_dialogs, m_scheduler);
    m_channel = std::make_unique<ConsoleChannel>(m_memory, m_scheduler, *this);
    m_channel->SetObserver([this](const FinishedSend& send) {
        m_history.SendFinished(send);
        m_notices->Events().SendFinished(send);
    });
    m_playerLookup = std::make_unique<ChosenPlayerLookup>(m_listLookup, m_chosen);
    m_puntBan = std::make_unique<PuntBan>(m_memory, *m_channel, m_scheduler, *this, *m_dialogs,
                                          *m_playerLookup, *this);
    m_puntBan->SetObserver([this](UnsentAction action) {
        if (action.Who.empty()) action.Who = m_actor;
        m_history.ActionNotSent(action);
    });
    m_autoMessages = std::make_unique<AutoMessages>(folder, *m_channel, *m_dialogs, *this, *this);
    m_matchTime = std::make_unique<MatchTime>(m_memory, *m_channel, *m_dialogs);

    auto now = [] { return QDateTime::currentSecsSinceEpoch(); };
    m_banEnforcer =
        std::make_unique<BanEnforcer>(m_banList, m_memory, *m_channel, *m_puntBan, m_scheduler, *this, now);
    m_banActions = std::make_unique<BanActions>(
        m_banList, *m_banEnforcer, *m_puntBan, *m_channel, *m_dialogs, *m_playerLookup, *this, m_scheduler,
        now,
        [this](const std::string& action, const std::string& target, const std::string& reason,
               const std::string& detail, bool done, const std::string& why,
               const std::string& who) { RecordBanAction(action, target, reason, detail, done, why, who); });
    m_banActions->SetIssuer([this] { return m_actor.empty() ? std::string(kOperatorAtWindow) : m_actor; });
    m_banActions->SetOnUnsent(
        [this](const std::string& action, const std::string& target, bool refused, const std::string& why) {
            m_history.ActionNotSent({action, target, "", refused, why, m_actor});
        });
    m_notices->Load();
}

Service::~Service() {
    // The scheduler outlives the service.
    if (m_forgetTimer) m_scheduler.Cancel(*m_forgetTimer);
#if defined(TOVI_STORE_POSTGRES)
    if (m_banRereadTimer) m_scheduler.Cancel(*m_banRereadTimer);
#endif
    // The record's last writes may log, and the log reaches the recorder and the password filter:
    // the record closes while they still stand, with nothing left to record what it says then.
    std::unique_ptr<HistoryStore> store = std::move(m_historyStore);
    m_historyStore = std::make_unique<NoHistory>();
    m_history.SetStore(*m_historyStore);
    store.reset();
}

Dialogs& Service::ServiceDialogs() {
    return *m_dialogs;
}

void Service::SetView(ServiceView* view) {
    m_view = view;
}

// ---- start and stop -----------------------------------------------------------------------

void Service::OpenRecord() {
#if defined(TOVI_HISTORY_SQLITE)
    // SQLite takes file names in UTF-8 on every platform.
    const std::string file = QDir(m_dataDir).filePath(QStringLiteral("tovistats.db")).toStdString();
#if defined(TOVI_STORE_POSTGRES)
    const StoreChoice choice = ReadStoreChoice(std::filesystem::path(m_dataDir.toStdU16String()));
    m_storeInUse = choice.Postgres;
    if (choice.Shared()) {
        // The server's own file keeps the notices, and the history the shared database has not
        // confirmed yet.
        auto local = SqliteHistoryStore::Open(file, {});
        if (!local.Store) {
            m_dialogs->Warn(local.Error);
            return;
        }
        local.Store.reset();
        OpenSharedRecord(choice, file);
        OpenNoticeQueue(file);
        return;
    }
#endif
    auto opened = SqliteHistoryStore::Open(file, [this](const std::string& line) { Log(line); });
    if (!opened.Store) {
        m_dialogs->Warn(opened.Error);
        return;
    }
    UseHistory(std::move(opened.Store));
    // The ban list lives in the same file; without it the list is kept in memory only.
    auto bans = SqliteBanStore::Open(file);
    if (!bans.Store) {
        m_dialogs->Warn(bans.Error + ": bans are kept only until the program ends.");
        return;
    }
    UseBanStore(std::move(bans.Store));
    OpenNoticeQueue(file);
#endif
}

void Service::OpenNoticeQueue([[maybe_unused]] const std::string& file) {
#if defined(TOVI_NOTICES_SQLITE)
    // Notices wait in the same file, so that none is lost when the program stops or is killed.
    auto notices = SqliteNoticeQueue::Open(file);
    if (!notices.Queue) {
        Log(notices.Error + ": notices wait in memory only.");
        return;
    }
    m_notices->UseQueue(std::move(notices.Queue));
#endif
}

#if defined(TOVI_STORE_POSTGRES)
void Service::OpenSharedRecord(const StoreChoice& choice, const std::string& outbox) {
    if (const std::string problem = ConninfoProblem(choice.Postgres); !problem.empty()) {
        m_dialogs->Warn(problem + " It is named in settings.ini ([store] postgres=). No history is kept, and bans "
                        "are kept only until the program ends.");
        return;
    }
    if (choice.ServerCode.empty()) {
        m_dialogs->Warn("The record is kept in a shared database, where each server is known by its server code: "
                        "set the server code in settings.ini. No history is kept meanwhile.");
    } else {
        auto opened = PgHistoryStore::Open(
            choice.Postgres, choice.ServerCode, [this](const std::string& line) { Log(line); },
            PgHistoryStore::kSchemaVersion, outbox);
        // Without the history the shared ban list is still enforced.
        if (opened.Store) {
            UseHistory(std::move(opened.Store));
            m_recordServerCode = choice.ServerCode;
        } else {
            m_dialogs->Warn(WithoutStorePasswords(opened.Error));
        }
    }
    auto bans = PgBanStore::Open(choice.Postgres, outbox);
    if (!bans.Store) {
        m_dialogs->Warn(WithoutStorePasswords(bans.Error) + ": bans are kept only until the program ends.");
        return;
    }
    m_sharedBans = bans.Store.get();
    UseBanStore(std::move(bans.Store));
    if (m_sharedBans->Offline()) {
        Log("The shared database cannot be reached: the bans last read from it are enforced");
        m_sharedBansFailing = true;
    }
    WatchSharedBans();
}

// A change made on any server is announced by the database; the announcement wakes the event
// loop through the connection's socket, and the list is read again. Should an announcement be
// missed (the connection broke, or it came in while another statement ran), the list is read
// again every kBanRereadMs anyway, connecting again when needed. A connection is never waited
// for: one being made is carried on whenever its socket is ready, and once it stands the list is
// read from the database and its announcements listened to.
void Service::WatchSharedBans() {
    DropBanNotifier();
    if (m_sharedBans->Listen()) {
        m_banNotifier =
            std::make_unique<QSocketNotifier>(m_sharedBans->Socket(), QSocketNotifier::Read, this);
        connect(m_banNotifier.get(), &QSocketNotifier::activated, this, [this] {
            if (m_sharedBans->TakeChanged()) ReloadSharedBans();
            // A broken connection: the notifier goes; the next re-read connects again.
            if (m_sharedBans->Socket() < 0) DropBanNotifier();
        });
    } else if (m_sharedBans->Connecting()) {
        WatchSharedBansConnecting();
    }
    if (m_banRereadTimer) m_scheduler.Cancel(*m_banRereadTimer);
    m_banRereadTimer = m_scheduler.Schedule(kBanRereadMs, [this] {
        m_banRereadTimer.reset();
        // Off the watch while the connection may be made anew.
        DropBanNotifier();
        ReloadSharedBans();
        WatchSharedBans();
    });
}

void Service::WatchSharedBansConnecting() {
    DropBanNotifier();
    const int socket = m_sharedBans->Socket();
    const bool write = m_sharedBans->WantsWrite();
    m_banNotifier = std::make_unique<QSocketNotifier>(
        socket, write ? QSocketNotifier::Write : QSocketNotifier::Read, this);
    connect(m_banNotifier.get(), &QSocketNotifier::activated, this, [this, socket, write] {
        if (m_sharedBans->Advance()) {
            ReloadSharedBans();
            WatchSharedBans();
        } else if (!m_sharedBans->Connecting()) {
            DropBanNotifier();  // refused: the next re-read tries again
        } else if (m_sharedBans->Socket() != socket || m_sharedBans->WantsWrite() != write) {
            WatchSharedBansConnecting();
        }
    });
}

// The notifier may be the one whose signal is being handled: it goes once that is over (or with
// the service, its parent).
void Service::DropBanNotifier() {
    if (!m_banNotifier) return;
    m_banNotifier->setEnabled(false);
    m_banNotifier.release()->deleteLater();
}

void Service::ReloadSharedBans() {
    std::string error;
    const std::vector<BanEntry> before = m_banList.Entries();
    const size_t warningsBefore = m_banList.Warnings().size();
    // A list that cannot be read stays as last read: those bans are still enforced.
    bool loaded = m_banList.Load(error);
    // Announcements that came in while it was read may be of changes it did not see.
    for (int again = 0; loaded && again < 3 && m_sharedBans->TakeChanged(); ++again) loaded = m_banList.Load(error);
    if (!loaded) {
        if (!m_sharedBansFailing)
            Log("The shared ban list cannot be read (" + error + "): the bans last read are enforced");
        m_sharedBansFailing = true;
        return;
    }
    if (m_sharedBans->Offline()) {
        if (!m_sharedBansFailing)
            Log("The shared database cannot be reached: the bans last read from it are enforced");
        m_sharedBansFailing = true;
    } else {
        if (m_sharedBansFailing) Log("The shared ban list is read again");
        m_sharedBansFailing = false;
    }
    if (m_banList.Entries() != before || m_banList.Warnings().size() != warningsBefore) emit banListChanged();
}
#endif

void Service::UseHistory(std::unique_ptr<HistoryStore> store) {
    m_history.SetStore(*store);
    m_historyStore = std::move(store);
    m_historyKept = true;
}

void Service::UseBanStore(std::unique_ptr<BanStore> store) {
    m_banList.SetStore(store.get());
    m_banStore = std::move(store);
    std::string error;
    if (!m_banList.Load(error))
        m_dialogs->Warn("The ban list could not be read (" + error + "): it starts empty.");
    emit banListChanged();
}

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
    m_settingsFile->LoadServerSettings();
    m_autoMessages->LoadAutoMessages();
    OtherSettings other;
    AutoMessageSettings autoMessages;
    m_settingsFile->LoadOtherSettings(other, autoMessages);
    other.HistoryDays = LoadHistoryDays();
    other.SharedStore = m_settingsFile->ReadSettingValue("store", "postgres", "", kMaxConninfoBytes + 1);
    m_other = m_savedOther = other;
    m_savedAutoMessageMinutes = autoMessages.Minutes;
    m_autoMessageChoice.Minutes = autoMessages.Minutes;
    // Switched as the operator's click switches it, unrecorded.
    if (autoMessages.On != m_autoMessageChoice.On) m_autoMessages->chkEnableAutoMessages_Click(autoMessages.On);
    LoadBanSettings();
    for (SettingsGroup group : {SettingsGroup::Server, SettingsGroup::Other, SettingsGroup::AutoMessages,
                                SettingsGroup::Bans, SettingsGroup::Notices})
        emit settingsChanged(group);
    m_statsFile->Recover();
    m_periodicChatText = DecipherHexText(kPeriodicChatCipher, kPeriodicChatKey);
    m_timer->start();
    ScheduleForgetting(0);
}

void Service::Stop() {
    // A game window the operator hid must not stay hidden once this tool is gone.
    ShowGameWindow(true);
    m_timer->stop();
    if (m_forgetTimer) {
        m_scheduler.Cancel(*m_forgetTimer);
        m_forgetTimer.reset();
    }
}

int Service::LoadHistoryDays() {
    const std::string stored = m_settingsFile->ReadSettingValue("history", "keepdays", "0", 16);
    int days = 0;
    const auto [end, error] = std::from_chars(stored.data(), stored.data() + stored.size(), days);
    // Anything but a number of days in range keeps everything: forgetting is never a guess.
    if (error != std::errc() || end != stored.data() + stored.size() || !kHistoryDays.Holds(days)) days = 0;
    return days;
}

void Service::LoadBanSettings() {
    std::vector<std::string> problems;
    const BanSettings loaded = tovi::LoadBanSettings(m_settingsFile->Path(), &problems);
    for (const std::string& problem : problems) Log("settings.ini, [bans]: " + problem);
    m_banActions->SetPresets(loaded.Presets);
    m_banActions->SetLadder(loaded.Ladder);
}

BanSettings Service::BanSettingsInUse() const {
    return {m_banActions->Presets(), m_banActions->Ladder()};
}

bool Service::SetOther(const OtherSettings& other) {
    if (!OtherSettingsProblem(other).empty()) return false;
    if (other == m_other) return true;
    m_other = other;
    emit settingsChanged(SettingsGroup::Other);
    return true;
}

void Service::SetAutoMessageMinutes(int minutes) {
    if (!kAutoMessageMinutes.Holds(minutes) || minutes == m_autoMessageChoice.Minutes) return;
    m_autoMessageChoice.Minutes = minutes;
    emit settingsChanged(SettingsGroup::AutoMessages);
}

void Service::SetAutoMesControlsEnabled(bool enabled) {
    if (m_autoMessageChoice.On == enabled) return;
    m_autoMessageChoice.On = enabled;
    emit settingsChanged(SettingsGroup::AutoMessages);
}

void Service::ScheduleForgetting(int delayMs) {
    if (m_forgetTimer) m_scheduler.Cancel(*m_forgetTimer);
    m_forgetTimer = m_scheduler.Schedule(delayMs, [this] {
        m_forgetTimer.reset();
        ForgetOldHistory();
    });
}

void Service::ForgetOldHistory() {
    const int days = m_other.HistoryDays;
    if (days <= 0 || !m_historyKept) return ScheduleForgetting(kForgetCheckMs);
    const int64_t before = QDateTime::currentSecsSinceEpoch() - int64_t{days} * 24 * 60 * 60;
    const int gone = m_history.Store().ForgetBefore(before, kForgetBatchRows);
    ScheduleForgetting(gone > 0 ? kForgetPauseMs : kForgetCheckMs);
}

void Service::Timer_Timer() {
    m_poll.Timer_Timer();
    // Said once: the operator can fix this, and repeating it every second helps nobody.
    if (!m_permissionExplained && m_memory.GetProcID() == -1 &&
        m_memory.LastFailure() == AccessFailure::PermissionDenied) {
        m_permissionExplained = true;
        m_dialogs->Warn("The game server was found, but reading its memory was refused. " +
                        m_memory.Backend().AccessRefusedAdvice());
    }
}

// ---- operator actions ---------------------------------------------------------------------

Service::UnattendedOutcome Service::RunUnattended(const std::function<void()>& action, std::deque<bool> answers) {
    UnattendedOutcome outcome;
    UnattendedOutcome* const outer = m_dialogs->unattended;
    std::deque<bool> outerAnswers = std::exchange(m_dialogs->unattendedAnswers, std::move(answers));
    m_dialogs->unattended = &outcome;
    action();
    m_dialogs->unattended = outer;
    m_dialogs->unattendedAnswers = std::move(outerAnswers);
    return outcome;
}

void Service::SendChatLine(const std::string& text, const std::string& actor) {
    Acting acting(*this, actor);
    if (auto command = ChatLineCommand(text))
        m_channel->SendServerCommand(command->Command, command->Argument);
}

void Service::Punt(ActionRequest request) {
    Acting acting(*this, request);
    m_puntBan->mnuPlayersPunt_Click();
}

void Service::Ban(ActionRequest request) {
    Acting acting(*this, request);
    m_puntBan->mnuPlayersBan_Click();
}

void Service::PuntWithReason(ActionRequest request) {
    Acting acting(*this, request);
    m_puntBan->mnuPlayersPuntReason_Click();
}

void Service::BanWithReason(ActionRequest request) {
    Acting acting(*this, request);
    m_puntBan->mnuPlayersBanReason_Click();
}

void Service::Talk(ActionRequest request) {
    Acting acting(*this, request);
    m_puntBan->mnuPlayersTalk_Click();
}

void Service::Warn(ActionRequest request) {
    Acting acting(*this, request);
    m_banActions->mnuPlayersWarn_Click();
}

void Service::BanFor(size_t preset, ActionRequest request) {
    Acting acting(*this, request);
    m_banActions->mnuPlayersBanFor_Click(preset);
}

void Service::BanForOther(ActionRequest request) {
    Acting acting(*this, request);
    m_banActions->mnuPlayersBanForOther_Click();
}

std::vector<SeatedPlayer> Service::SeatedPlayers() const {
    std::vector<SeatedPlayer> seated;
    for (const PlayerRow& row : m_playerList.Rows()) {
        const std::optional<uint8_t> slot = SlotNumber(row.Slot);
        if (slot && row.Position >= 0) seated.push_back({row.Player, *slot, row.Position});
    }
    return seated;
}

bool Service::AddBan(const std::string& name, const std::string& reason, int64_t seconds,
                     const std::string& actor) {
    BanEntry entry;
    entry.Name = name;
    entry.Reason = reason;
    return AddBan(entry, seconds, actor);
}

bool Service::AddBan(const BanEntry& written, int64_t seconds, const std::string& actor) {
    Acting acting(*this, actor);
    // Who issued it and when, and whether it was lifted, are the service's to say.
    BanEntry entry;
    entry.Name = written.Name;
    entry.ExactCase = written.ExactCase;
    entry.Reason = written.Reason;
    entry.Notes = written.Notes;
    entry.IssuedBy = actor;
    const bool added = m_banActions->AddBan(std::move(entry), seconds, SeatedPlayers());
    emit banListChanged();
    return added;
}

bool Service::LiftBan(int64_t id, const std::string& reason, const std::string& actor) {
    const BanEntry* entry = m_banList.Find(id);
    if (!entry || entry->LiftedAt != 0) return false;
    const std::string name = entry->Name;
    std::string error;
    const bool done = m_banList.Lift(id, QDateTime::currentSecsSinceEpoch(), actor, reason, error);
    RecordBanAction("ban lifted", name, reason, "", done, error, actor);
    if (!done) m_dialogs->Warn("The ban of " + name + " could not be lifted: " + error);
    emit banListChanged();
    return done;
}

void Service::RecordClock(const std::string& what, bool written, const std::string& actor) {
    m_history.WindowAction("match time", what, written, written ? "" : "the clock could not be written",
                           actor);
}

void Service::RecordDeclined(const std::string& action, const std::string& detail, const std::string& actor) {
    // As a punt that was not confirmed: whoever waits on the action learns it ended.
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), actor.empty() ? kOperatorAtWindow : actor,
                          action, "", "", detail, Outcome::Skipped, "not confirmed"});
}

bool Service::MatchTimeMore(const std::string& actor) {
    Acting acting(*this, actor);
    const bool written = m_matchTime->cmdGameTimeInc_Click();
    RecordClock("one minute more", written, actor);
    return written;
}

void Service::MatchTimeLess(const std::string& actor) {
    Acting acting(*this, actor);
    // A clock that holds no more than a minute asks first; nothing is recorded on No.
    m_matchTime->cmdGameTimeDec_Click(
        [this, actor](bool written) { RecordClock("one minute less", written, actor); },
        [this, actor] { RecordDeclined("match time", "one minute less", actor); });
}

void Service::ResetGames(const std::string& actor) {
    Acting acting(*this, actor);
    m_matchTime->cmdMapResetGames_Click([this, actor] { RecordDeclined("reset games", "", actor); });
}

void Service::SwitchAutoMessages(bool on, const std::string& actor) {
    if (m_autoMessageChoice.On != on) m_autoMessages->chkEnableAutoMessages_Click(on);
    m_history.WindowAction("automatic messages changed", on ? "switched on" : "switched off", true, "",
                           actor);
}

bool Service::SaveAutoMessages(const std::string& text, int minutes, const std::string& actor) {
    Acting acting(*this, actor);
    if (!kAutoMessageMinutes.Holds(minutes) || HasControlBytesBesideLineEnds(text)) {
        const std::string why = "The automatic messages take " + std::to_string(kAutoMessageMinutes.min) + " to " +
                                std::to_string(kAutoMessageMinutes.max) +
                                " minutes and no control characters but line ends.";
        m_history.WindowAction("automatic messages changed", text, false, why, actor);
        m_dialogs->Warn(why + " Nothing was saved.");
        return false;
    }
    // The file and the interval are what the save writes; the rotation starts over from them.
    const std::string before = m_autoMessageText;
    const int minutesBefore = m_autoMessageChoice.Minutes;
    m_autoMessageText = text;
    m_autoMessageChoice.Minutes = minutes;
    const bool saved = m_autoMessages->cmdSaveSettingsAutoMes_Click();
    if (saved) {
        m_savedAutoMessageMinutes = minutes;
    } else {
        m_autoMessageText = before;
        m_autoMessageChoice.Minutes = minutesBefore;
    }
    m_history.WindowAction("automatic messages changed", text, saved,
                           saved ? "" : "the file could not be written", actor);
    emit settingsChanged(SettingsGroup::AutoMessages);
    return saved;
}

bool Service::SaveServerSettings(const Settings& typed, const std::string& actor) {
    Acting acting(*this, actor);
    if (const std::string problem = ServerSettingsProblem(typed); !problem.empty()) {
        m_history.WindowAction("settings saved", "status update settings", false, problem, actor);
        m_dialogs->Warn(problem + " Nothing was saved.");
        return false;
    }
    const std::string before = m_settings.ServerCode;
    const bool saved = m_settingsFile->SaveServerSettings(typed);
    // The server code is the server's password at the web service: it stays out of the record.
    m_history.WindowAction("settings saved", "status update settings", saved,
                           saved ? "" : "the file could not be written", actor);
    // The shared record's rows would be split between two codes in one run: it keeps its own.
    if (saved && m_recordServerCode && m_settings.ServerCode != before &&
        m_settings.ServerCode != *m_recordServerCode) {
        const std::string note =
            "The server code was changed: the stats service hears the new one now, but the shared record "
            "keeps this server's rows under the code it was opened with until the program starts again.";
        Log(note);
        m_dialogs->Inform(note);
    }
    if (saved) emit settingsChanged(SettingsGroup::Server);
    return saved;
}

std::string Service::OtherSettingsRefusal(const OtherSettings& other) const {
    if (std::string problem = OtherSettingsProblem(other); !problem.empty()) return problem;
    // A new store that cannot be used is refused before anything is saved: it would fail only at the
    // next start. One already saved is left to the operator (the start says what is wrong with it).
    const std::string store = TrimmedStore(other.SharedStore);
    return store != m_savedOther.SharedStore ? ConninfoProblem(store) : std::string();
}

bool Service::SaveOtherSettings(const OtherSettings& typed, const std::string& actor) {
    Acting acting(*this, actor);
    if (const std::string problem = OtherSettingsRefusal(typed); !problem.empty()) {
        m_history.WindowAction("settings saved", "other settings", false, problem, actor);
        m_dialogs->Warn(problem + " Nothing was saved.");
        return false;
    }
    OtherSettings other = typed;
    other.SharedStore = TrimmedStore(typed.SharedStore);
    const bool storeChanged = other.SharedStore != m_savedOther.SharedStore;
    const std::string& store = other.SharedStore;
    bool saved = m_settingsFile->SaveOtherSettings(other);
    saved = saved && m_settingsFile->WriteSetting("history", "keepdays", std::to_string(other.HistoryDays));
    saved = saved && (!storeChanged || m_settingsFile->WriteSetting("store", "postgres", store));
    m_history.WindowAction("settings saved", "other settings", saved,
                           saved ? "" : "the file could not be written", actor);
    // In effect whether or not the file took them, as an edit at the window is.
    m_other = other;
    if (saved) m_savedOther = other;
    emit settingsChanged(SettingsGroup::Other);
    if (saved && storeChanged) {
        // The connection string may carry a password: the record names only the place.
        m_history.WindowAction("record store changed", StoreDescription(store), true, "", actor);
        Log(store == m_storeInUse ? "The record stays in " + StoreDescription(store) + "."
                                  : "The record moves to " + StoreDescription(store) +
                                        " when the program starts again; until then it is kept in " +
                                        StoreDescription(m_storeInUse) + ".");
    }
    // A shorter time takes effect now, not at the next hourly look.
    if (saved) ScheduleForgetting(0);
    return saved;
}

bool Service::SetScoreScreenTime(std::optional<int> seconds, const std::string& actor) {
    OtherSettings other = m_savedOther;
    if (seconds) other.ScoringSeconds = *seconds;
    other.ScoringTimeOn = seconds.has_value();
    return SaveOtherSettings(other, actor);
}

bool Service::SaveNoticeSettings(const NoticeSettings& settings, const std::string& actor) {
    Acting acting(*this, actor);
    const bool saved = m_notices->Save(settings);
    // The addresses and the webhook's key are secrets: they stay out of the record.
    m_history.WindowAction("settings saved", "notice settings", saved,
                           saved ? "" : "the file could not be written", actor);
    if (saved) emit settingsChanged(SettingsGroup::Notices);
    return saved;
}

bool Service::SaveBanSettings(const std::string& presets, bool warningsOn, const std::string& steps,
                              int windowMinutes, const std::string& actor) {
    Acting acting(*this, actor);
    std::string why;
    const std::optional<BanSettings> parsed =
        ParseBanSettings(presets, warningsOn, steps, windowMinutes, why);
    if (!parsed) {
        m_dialogs->Warn(why);
        return false;
    }
    std::string error;
    const bool saved = tovi::SaveBanSettings(m_settingsFile->Path(), *parsed, error);
    RecordBanAction("settings saved", "", "", "ban settings", saved, error, actor);
    if (!saved) {
        m_dialogs->Warn("The ban settings could not be saved: " + error);
        return false;
    }
    m_banActions->SetPresets(parsed->Presets);
    m_banActions->SetLadder(parsed->Ladder);
    emit settingsChanged(SettingsGroup::Bans);
    m_dialogs->Inform("Settings saved");
    return true;
}

bool Service::EditBan(int64_t id, const std::string& reason, int64_t seconds, const std::string& actor) {
    const BanEntry* entry = m_banList.Find(id);
    if (!entry) return false;
    BanEntry changed = *entry;
    changed.Reason = reason;
    return EditBan(changed, seconds, actor);
}

bool Service::EditBan(const BanEntry& edited, int64_t seconds, const std::string& actor) {
    if (seconds < 0) return false;
    BanEntry changed = edited;
    changed.ExpiresAt = seconds == 0 ? 0 : QDateTime::currentSecsSinceEpoch() + seconds;
    std::string error;
    const bool done = m_banList.Edit(changed, error);
    RecordBanAction("ban edited", changed.Name, changed.Reason, "for " + DurationText(seconds), done, error,
                    actor);
    if (!done) m_dialogs->Warn("The ban could not be kept: " + error);
    return done;
}

bool Service::ImportBans(std::string_view csv, const std::string& source, std::string& report,
                         const std::string& actor) {
    const bool done = ImportBanCsv(m_banList, csv, report);
    RecordBanAction("ban list imported", "", "", source + ": " + report, done, done ? "" : report, actor);
    if (done) {
        m_dialogs->Inform(report);
    } else {
        m_dialogs->Warn(report);
    }
    return done;
}

bool Service::ExportBans(const std::string& destination,
                         const std::function<bool(const std::string& csv)>& deliver, const std::string& actor) {
    const bool done = deliver(WriteBanCsv(m_banList.Entries()));
    RecordBanAction("ban list exported", "", "", destination, done, done ? "" : "it could not be written", actor);
    if (!done) m_dialogs->Warn("The ban list could not be written to " + destination + ".");
    return done;
}

void Service::RecordFaceAction(const std::string& who, const std::string& action, const std::string& detail,
                               bool done, const std::string& why) {
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), who, action, "", "", detail,
                          done ? Outcome::Sent : Outcome::Refused, why});
}

std::vector<ServerRow> Service::GameServers() {
    return ListGameServers(m_memory, m_memory.Backend());
}

TrackOutcome Service::TrackServer(const ServerRow& row) {
    return tovi::TrackServer(m_memory, row);
}

void Service::ShowGameWindow(bool shown) {
    m_memory.ShowGameWindow(shown);
}

void Service::RecordBanAction(const std::string& action, const std::string& target, const std::string& reason,
                              const std::string& detail, bool done, const std::string& why,
                              const std::string& actor) {
    const std::string who = !actor.empty()     ? actor
                            : !m_actor.empty() ? m_actor
                                               : std::string(kOperatorAtWindow);
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), who, action, target, reason, detail,
                          done ? Outcome::Sent : Outcome::Refused, why});
    m_notices->Events().BanListAction(action, target, reason, done, who);
    emit banListChanged();
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
    emit playersUpdated();
}

void Service::ReadChat() {
    m_chatReader->ReadChat();
}
void Service::SendStatusReport() {
    m_reporter->SendStatusReport();
}

void Service::WriteStats(bool upload, std::optional<uint8_t> resultByte, int32_t pollTicks) {
    const bool written = m_statsFile->WriteStats(upload, resultByte, pollTicks);
    m_history.StatsWritten(written, written ? "" : "the stats file could not be written");
    m_notices->Events().StatsWritten(resultByte);
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
    m_history.TickDone(attached, m_status, m_playerTable);
    m_notices->Events().TickDone(attached, m_status, m_playerTable);
    emit tickFinished(attached);
}

void Service::SendNextAutoMessage() {
    m_autoMessages->SendNextAutoMessage();
}

void Service::SendPeriodicChat() {
    m_channel->SendServerCommand("gtalk", m_periodicChatText, {}, {},
                                 SendNote{"periodic chat", "", "", true});
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

void Service::Log(const std::string& text) {
    // A driver's error may quote the connection string.
    const std::string message = WithoutStorePasswords(text);
    // The face keeps a few lines; the record keeps them all (reports, uploads, refusals).
    emit logLine(message);
    m_history.ServerEvent("log", message);
}

std::string Service::WithoutStorePasswords(std::string text) const {
    return WithoutPasswords(WithoutPasswords(std::move(text), m_storeInUse), m_savedOther.SharedStore);
}

void Service::DebugLog(const std::string& message) {
    emit debugLogLine(WithoutStorePasswords(message));
}

}  // namespace tovi
