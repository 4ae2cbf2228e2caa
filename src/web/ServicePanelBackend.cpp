#include "ServicePanelBackend.h"

#include <QDateTime>
#include <algorithm>
#include <charconv>

#include "BanSettings.h"
#include "MatchState.h"
#include "NoticeService.h"
#include "SettingsFile.h"
#include "StoreChoice.h"

namespace tovi {

namespace {

int Number(const std::string& text) {
    int value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

int64_t Now() {
    return QDateTime::currentSecsSinceEpoch();
}

PanelResult Refused(std::string why) {
    return {false, std::move(why), {}};
}

// The request's yes, or none: an unanswered question comes back to the browser to be asked there.
std::deque<bool> Confirmation(bool confirmed) {
    return confirmed ? std::deque<bool>{true} : std::deque<bool>{};
}

}  // namespace

ServicePanelBackend::ServicePanelBackend(Service& service, QObject* parent) : QObject(parent), m_service(service) {
    // The chat seen before the panel started, oldest first.
    for (auto it = service.RecentChat().rbegin(); it != service.RecentChat().rend(); ++it)
        m_chat.push_back({Now(), it->Player, it->Text, false});
    while (m_chat.size() > kChatLinesKept) m_chat.pop_front();

    connect(&service, &Service::playersUpdated, this, [this] {
        if (m_listener) m_listener->PlayersChanged();
    });
    connect(&service, &Service::tickFinished, this, [this] {
        if (m_listener) m_listener->StatusChanged();
    });
    connect(&service, &Service::chatLineAdded, this, [this](const ChatRow& row) {
        if (m_ownChat.ReadBack(row.Player, row.Text, Now())) return;
        m_chat.push_back({Now(), row.Player, row.Text, false});
        if (m_chat.size() > kChatLinesKept) m_chat.pop_front();
        if (m_listener) m_listener->ChatLineAdded(m_chat.back());
    });
    connect(&service, &Service::adminActionRecorded, this, [this](const AdminAction& action) {
        if (m_acting) m_recorded.push_back(action);
        if (m_listener) m_listener->AdminActionDone(action);
    });
    // What the operators said, to all or to one player; the program's own lines are not shown twice.
    connect(&service, &Service::chatSent, this, [this](const SendNote& note, const std::string& text) {
        // Every line sent is shown once, as sent, with who sent it; the game's read-back is passed over.
        m_ownChat.Sent(text, Now());
        const bool toOne = note.Action == ActionKind::Talk || note.Action == ActionKind::Warn;
        // Named as the record names who acted.
        const std::string by = note.Automatic      ? "the program"
                               : !note.Who.empty() ? note.Who
                                                   : kOperatorAtWindow;
        m_chat.push_back({Now(), toOne ? note.Target : "", text, true, by});
        if (m_chat.size() > kChatLinesKept) m_chat.pop_front();
        if (m_listener) m_listener->ChatLineAdded(m_chat.back());
    });
    connect(&service, &Service::transferEnded, this, [this] {
        if (m_listener) m_listener->StatusChanged();
    });
    connect(&service, &Service::banListChanged, this, [this] {
        if (m_listener) m_listener->StatusChanged();
    });
}

PanelStatus ServicePanelBackend::Status() {
    const ServerSnapshot& server = m_service.Snapshot();
    PanelStatus status;
    status.Attached = server.Found;
    status.Store = m_service.SharedStoreInUse();
    if (server.Found) {
        status.ServerName = m_service.Status().ServerName;
        status.MapName = m_service.Status().MapName;
    }
    status.State = m_service.PanelText(3);
    if (server.ClockSeconds) status.Clock = FormatDuration(*server.ClockSeconds, 1);
    status.Players = static_cast<int>(m_service.PlayerRows().size());
    status.MaxPlayers = server.Found ? m_service.Status().MaxPlayers : 0;
    auto outcome = [](const TransferOutcome& o) {
        return o.Time == 0 ? std::string() : o.Confirmed ? std::string("confirmed") : "not confirmed: " + o.Why;
    };
    status.LastReport = server.LastReport.Time;
    status.LastReportOutcome = outcome(server.LastReport);
    status.LastUpload = server.LastUpload.Time;
    status.LastUploadOutcome = outcome(server.LastUpload);
    return status;
}

std::vector<PanelPlayer> ServicePanelBackend::Players() {
    std::vector<PanelPlayer> players;
    for (const PlayerRow& row : m_service.PlayerRows()) {
        const std::optional<uint8_t> slot = SlotNumber(row.Slot);
        if (!slot) continue;
        players.push_back({*slot, row.Player, Number(row.Team), Number(row.Kills), Number(row.Deaths),
                           Number(row.Ping)});
    }
    return players;
}

std::vector<PanelChatLine> ServicePanelBackend::RecentChat(int maxLines) {
    const size_t count = std::min(m_chat.size(), static_cast<size_t>(std::max(maxLines, 0)));
    return {m_chat.end() - static_cast<std::ptrdiff_t>(count), m_chat.end()};
}

std::vector<BanEntry> ServicePanelBackend::Bans() {
    return m_service.Bans().Entries();
}

HistoryResult ServicePanelBackend::SearchHistory(const HistoryQuery& query) {
    HistoryStore& history = m_service.History();
    HistoryResult result{history.Search(query), {}};
    result.Error = history.ReadError();
    return result;
}

void ServicePanelBackend::SearchHistoryLater(const HistoryQuery& query, QObject* asker,
                                             std::function<void(HistoryResult)> done) {
    m_service.Reader().Search(asker, NextRead(), query, std::move(done));
}

std::vector<PanelServer> ServicePanelBackend::Servers() {
    HistoryStore& history = m_service.History();
    // The code the record writes under, which a save of the settings does not change in a run.
    const std::string own = m_service.OwnServerCode();
    std::vector<PanelServer> servers{{own, history.ServerName(own), true}};
    if (servers.front().Name.empty()) servers.front().Name = Status().ServerName;
    for (const std::string& code : history.Servers()) {
        if (code != own) servers.push_back({code, history.ServerName(code), false});
    }
    return servers;
}

PanelAutoMessages ServicePanelBackend::AutoMessages() {
    PanelAutoMessages messages;
    messages.Enabled = m_service.AutoMessageChoice().On;
    messages.IntervalMinutes = m_service.AutoMessageChoice().Minutes;
    const std::string text = m_service.AutoMessageText();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) messages.Lines.push_back(std::move(line));
        start = end + 1;
    }
    return messages;
}

PanelResult ServicePanelBackend::Order(const PanelActor& who, ActionOrder order) {
    order.Actor = who.Name;
    order.ActorRole = who.AccountRole;
    order.Unattended = true;
    const ActionKind kind = order.Kind;
    const int64_t seconds = order.Seconds;
    const ActionResult result = m_service.Act(std::move(order));
    PanelResult answer{result.Ok(), result.Why, result.Question};
    answer.Forbidden = !result.Ok() && !RoleRefusal(who.AccountRole, kind, seconds, m_service.ModeratorBanSeconds()).empty();
    return answer;
}

// A player of the list by the slot and name the browser showed.
std::optional<ListedPlayer> ServicePanelBackend::Seated(int slot, const std::string& name) const {
    for (const PlayerRow& row : m_service.PlayerRows()) {
        const std::optional<uint8_t> rowSlot = SlotNumber(row.Slot);
        if (rowSlot && *rowSlot == slot && row.Player == name) return ListedPlayer{row.Slot, row.Player, row.Position};
    }
    // None seated so: the slot as the browser named it, which the service then refuses.
    return ListedPlayer{std::to_string(slot), name, -1};
}

PanelResult ServicePanelBackend::Run(const std::function<bool()>& action, std::deque<bool> answers) {
    m_recorded.clear();
    m_acting = true;
    bool done = true;
    const Service::UnattendedOutcome outcome =
        m_service.RunUnattended([&] { done = action(); }, std::move(answers));
    m_acting = false;
    if (!outcome.Unanswered.empty()) {
        PanelResult result = Refused("Not done, it needs an answer first: " + outcome.Unanswered.front());
        result.Question = outcome.Unanswered.front();
        return result;
    }
    for (const AdminAction& recorded : m_recorded) {
        if (recorded.Result != Outcome::Sent)
            return Refused("Not done: " + (recorded.Why.empty() ? std::string(ActionName(recorded.Action)) : recorded.Why) + ".");
    }
    if (!outcome.Warnings.empty()) return Refused(outcome.Warnings.front());
    if (!done) return Refused("Not done (the program's log says why).");
    return {};
}

PanelResult ServicePanelBackend::Chat(const PanelActor& who, const std::string& text) {
    return Order(who, {.Kind = ActionKind::Chat, .Text = text});
}

PanelResult ServicePanelBackend::Command(const PanelActor& who, const std::string& line) {
    return Order(who, {.Kind = ActionKind::Command, .Text = line});
}

PanelResult ServicePanelBackend::Talk(const PanelActor& who, int slot, const std::string& name,
                                      const std::string& text) {
    return Order(who, {.Kind = ActionKind::Talk, .Player = Seated(slot, name), .Text = text});
}

PanelResult ServicePanelBackend::Warn(const PanelActor& who, int slot, const std::string& name,
                                      const std::string& text) {
    return Order(who, {.Kind = ActionKind::Warn, .Player = Seated(slot, name), .Text = text});
}

PanelResult ServicePanelBackend::Punt(const PanelActor& who, int slot, const std::string& name,
                                      const std::string& reason) {
    // The browser asked already: a punt without a reason is not asked about again.
    return Order(who, {.Kind = ActionKind::Punt, .Player = Seated(slot, name), .Text = reason, .Answers = {true}});
}

PanelResult ServicePanelBackend::Ban(const PanelActor& who, const std::string& name, const std::string& reason,
                                     int64_t seconds) {
    return Order(who, {.Kind = ActionKind::BanListed, .Text = reason, .Name = name, .Seconds = seconds});
}

PanelResult ServicePanelBackend::LiftBan(const PanelActor& who, int64_t banId, const std::string& reason) {
    return Order(who, {.Kind = ActionKind::BanLifted, .Text = reason, .BanId = banId});
}

PanelResult ServicePanelBackend::EditBan(const PanelActor& who, int64_t banId, const std::string& reason,
                                         int64_t seconds) {
    return Order(who, {.Kind = ActionKind::BanEdited, .Text = reason, .BanId = banId, .Seconds = seconds});
}

PanelResult ServicePanelBackend::ImportBans(const std::string& who, const std::string& csv) {
    std::string report;
    PanelResult result = Run([&] { return m_service.ImportBans(csv, "sent to the web panel", report, who); });
    // What was taken and what was passed over, for whoever sent the file.
    if (result.Ok) result.Why = report;
    return result;
}

PanelResult ServicePanelBackend::ExportBans(const std::string& who, std::string& csv) {
    m_service.ExportBans(
        "downloaded from the web panel",
        [&csv](const std::string& text) {
            csv = text;
            return true;
        },
        who);
    return {};
}

PanelResult ServicePanelBackend::MatchTime(const PanelActor& who, bool more, bool confirmed) {
    // A minute less that would end the match asks first: the request's confirmation answers it.
    return Order(who, {.Kind = ActionKind::MatchTime, .More = more, .Answers = Confirmation(confirmed)});
}

PanelResult ServicePanelBackend::ResetGames(const PanelActor& who, bool confirmed) {
    return Order(who, {.Kind = ActionKind::ResetGames, .Answers = Confirmation(confirmed)});
}

PanelResult ServicePanelBackend::SetAutoMessages(const std::string& who, const PanelAutoMessages& messages) {
    if (!kAutoMessageMinutes.Holds(messages.IntervalMinutes))
        return Refused("The interval must be " + std::to_string(kAutoMessageMinutes.min) + " to " +
                       std::to_string(kAutoMessageMinutes.max) + " minutes.");
    std::string text;
    for (const std::string& line : messages.Lines) {
        if (std::any_of(line.begin(), line.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }))
            return Refused("A message holds control characters: nothing was saved.");
        text += line + "\r\n";
    }
    PanelResult result = Run([&] { return m_service.SaveAutoMessages(text, messages.IntervalMinutes, who); });
    if (!result.Ok) return result;
    if (m_service.AutoMessageChoice().On != messages.Enabled) {
        return Run([&] {
            m_service.SwitchAutoMessages(messages.Enabled, who);
            return true;
        });
    }
    return result;
}

PanelSettings ServicePanelBackend::Settings() {
    PanelSettings s;
    const Service& service = m_service;
    s.Status = {service.CurrentSettings().ServerCode, service.CurrentSettings().UpdateURL,
                service.CurrentSettings().ImportURL};
    const OtherSettings& other = service.Other();
    s.Other = {other.ScoringTimeOn, other.ScoringSeconds, other.DisplayNextMap, other.KeepArchive,
               other.MinPlayers,    other.HistoryDays,    service.SavedSharedStore(), other.PeriodicChatOn,
               other.PeriodicChatText};
    s.Notices = m_service.Notices().Current();
    const BanSettings bans = service.BanSettingsInUse();
    s.Bans = {BanPresetsText(bans.Presets), bans.Ladder.On, WarningStepsText(bans.Ladder.Steps),
              bans.Ladder.WindowMinutes};
    return s;
}

PlayerActivity ServicePanelBackend::Activity(int64_t from, const std::string& server) {
    return m_service.History().Activity(from, server);
}

void ServicePanelBackend::ActivityLater(int64_t from, const std::string& server, QObject* asker,
                                        std::function<void(PlayerActivity)> done) {
    m_service.Reader().Activity(asker, NextRead(), from, server, std::move(done));
}

PanelResult ServicePanelBackend::SaveSettings(const std::string& who, const PanelSettingsChange& change) {
    // The settings as the service would keep them, each group given in place of its own.
    std::optional<tovi::Settings> server;
    if (const auto& st = change.Status) server = tovi::Settings{st->ServerCode, st->UpdateURL, st->ImportURL};
    std::optional<OtherSettings> other;
    if (const auto& o = change.Other) {
        other = OtherSettings{o->MinPlayers,  o->ScoringTimeOn, o->ScoringSeconds, o->DisplayNextMap,
                              o->KeepArchive, o->HistoryDays,   o->SharedStore.value_or(m_service.SavedSharedStore()),
                              o->PeriodicChatOn.value_or(m_service.Other().PeriodicChatOn),
                              o->PeriodicChatText.value_or(m_service.Other().PeriodicChatText)};
    }
    // Every group is checked before any is saved, by the rules the service saves by: a refusal
    // leaves all as they were.
    if (server) {
        if (const std::string problem = ServerSettingsProblem(*server); !problem.empty())
            return Refused(problem + " Nothing was saved.");
    }
    if (other) {
        if (const std::string problem = m_service.OtherSettingsRefusal(*other); !problem.empty())
            return Refused(problem + " Nothing was saved.");
    }
    if (const auto& b = change.Bans) {
        std::string why;
        if (!ParseBanSettings(b->Presets, b->WarningsOn, b->WarningSteps, b->WarningWindowMinutes, why))
            return Refused(why);
    }
    PanelResult result;
    if (server) {
        result = Run([&] { return m_service.SaveServerSettings(*server, who); });
        if (!result.Ok) return result;
    }
    if (other) {
        result = Run([&] { return m_service.SaveOtherSettings(*other, who); });
        if (!result.Ok) return result;
    }
    if (const auto& n = change.Notices) {
        result = Run([&] { return m_service.SaveNoticeSettings(*n, who); });
        if (!result.Ok) return result;
    }
    if (const auto& b = change.Bans) {
        result = Run([&] {
            return m_service.SaveBanSettings(b->Presets, b->WarningsOn, b->WarningSteps,
                                             b->WarningWindowMinutes, who);
        });
    }
    return result;
}

void ServicePanelBackend::RecordLogin(const std::string& who, ActionKind action,
                                      const std::string& address, const std::string& why) {
    m_service.RecordFaceAction(who, action, "from " + address, why.empty(), why);
}

}  // namespace tovi
