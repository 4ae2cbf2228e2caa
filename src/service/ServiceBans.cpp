// The ban list's administration: adding, editing, lifting, importing and exporting, each recorded
// in the name of whoever did it and told to the notices.
#include <QDateTime>

#include "BanCsv.h"
#include "NoticeService.h"
#include "Service.h"

namespace tovi {

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
    ActionContext::Acting acting(*m_context, actor);
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
    RecordBanAction(ActionKind::BanLifted, name, reason, "", done, error, actor);
    if (!done) m_context->Questions().Warn("The ban of " + name + " could not be lifted: " + error);
    emit banListChanged();
    return done;
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
    RecordBanAction(ActionKind::BanEdited, changed.Name, changed.Reason, ForDuration(seconds), done, error,
                    actor);
    if (!done) m_context->Questions().Warn("The ban could not be kept: " + error);
    return done;
}

bool Service::ImportBans(std::string_view csv, const std::string& source, std::string& report,
                         const std::string& actor) {
    const bool done = ImportBanCsv(m_banList, csv, report);
    RecordBanAction(ActionKind::BanListImported, "", "", source + ": " + report, done, done ? "" : report, actor);
    if (done) {
        m_context->Questions().Inform(report);
    } else {
        m_context->Questions().Warn(report);
    }
    return done;
}

bool Service::ExportBans(const std::string& destination,
                         const std::function<bool(const std::string& csv)>& deliver, const std::string& actor) {
    const bool done = deliver(WriteBanCsv(m_banList.Entries()));
    RecordBanAction(ActionKind::BanListExported, "", "", destination, done, done ? "" : "it could not be written", actor);
    if (!done) m_context->Questions().Warn("The ban list could not be written to " + destination + ".");
    return done;
}

void Service::RecordBanAction(ActionKind action, const std::string& target, const std::string& reason,
                              const std::string& detail, bool done, const std::string& why,
                              const std::string& actor) {
    const std::string& acting = m_context->Actor();
    const std::string who = !actor.empty()    ? actor
                            : !acting.empty() ? acting
                                              : std::string(kOperatorAtWindow);
    m_history.ActionDone({QDateTime::currentSecsSinceEpoch(), who, action, target, reason, detail,
                          done ? Outcome::Sent : Outcome::Refused, why});
    if (done && action == ActionKind::BanLifted)
        Log("Ban of " + target + " lifted" + (reason.empty() ? "" : ": " + reason) + ByWhom(who));
    if (done && action == ActionKind::BanEdited)
        Log("Ban of " + target + " changed, " + detail + ": " + reason + ByWhom(who));
    // The game's ban sent from the player menu has had its notice: its listing is the same ban.
    if (!m_listingGameBan) m_notices->Events().BanListAction(action, target, reason, done, who);
    emit banListChanged();
}

}  // namespace tovi
