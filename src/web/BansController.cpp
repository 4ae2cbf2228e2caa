#include "BansController.h"

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <optional>

#include "Windows1252.h"

namespace tovi {

ApiReply BansController::List(const ApiCall& call) {
    // A page of the list, in its own order (as the window and the file keep it) or newest first: a
    // list of thousands is never sent whole.
    const std::optional<int64_t> limit = QueryInteger(call.Query, "limit", 100, 1, kQueryNumberMax);
    const std::optional<int64_t> offset = QueryInteger(call.Query, "offset", 0, 0, kQueryNumberMax);
    if (!limit || !offset)
        return ApiReply::Error(400, QStringLiteral("limit is a number from 1, offset from 0."));
    const QString order = call.Query.queryItemValue(QStringLiteral("order"));
    if (!order.isEmpty() && order != QLatin1String("list") && order != QLatin1String("newest"))
        return ApiReply::Error(400, QStringLiteral("order is list or newest."));
    const QString wanted = call.Query.queryItemValue(QStringLiteral("state"));
    if (!wanted.isEmpty() && wanted != QLatin1String("active") && wanted != QLatin1String("expired") &&
        wanted != QLatin1String("lifted"))
        return ApiReply::Error(400, QStringLiteral("state is one of active, expired, lifted."));
    // Part of the name, the reason or who banned, letter case ignored.
    const std::string text = LowerCase1252(
        GameBytes(call.Query.queryItemValue(QStringLiteral("text"), QUrl::FullyDecoded)).substr(0, 200));
    const auto holds = [&text](const std::string& field) {
        return LowerCase1252(field).find(text) != std::string::npos;
    };
    const int64_t now = m_unixNow();
    std::vector<BanEntry> all = m_backend.Bans();
    if (order == QLatin1String("newest"))
        std::stable_sort(all.begin(), all.end(),
                         [](const BanEntry& a, const BanEntry& b) { return a.IssuedAt > b.IssuedAt; });
    QJsonArray bans;
    int64_t total = 0;
    for (const BanEntry& e : all) {
        const char* state = BanStateText(StateOf(e, now));
        if (!wanted.isEmpty() && wanted != QLatin1String(state)) continue;
        if (!text.empty() && !holds(e.Name) && !holds(e.Reason) && !holds(e.IssuedBy)) continue;
        if (total++ < *offset || bans.size() >= *limit) continue;
        bans.append(QJsonObject{{QStringLiteral("id"), static_cast<qint64>(e.Id)},
                                {QStringLiteral("name"), GameText(e.Name)},
                                {QStringLiteral("reason"), GameText(e.Reason)},
                                {QStringLiteral("issuedBy"), GameText(e.IssuedBy)},
                                {QStringLiteral("issuedAt"), static_cast<qint64>(e.IssuedAt)},
                                {QStringLiteral("expiresAt"), static_cast<qint64>(e.ExpiresAt)},
                                {QStringLiteral("liftedAt"), static_cast<qint64>(e.LiftedAt)},
                                {QStringLiteral("liftedBy"), GameText(e.LiftedBy)},
                                {QStringLiteral("state"), QString::fromLatin1(state)}});
    }
    // The presets the window offers under "Ban for", for a ban from a player's row.
    QJsonArray presets;
    for (const BanPreset& p : ParseBanPresets(m_backend.Settings().Bans.Presets))
        presets.append(QJsonObject{{QStringLiteral("reason"), GameText(p.Reason)},
                                   {QStringLiteral("minutes"), static_cast<qint64>(p.Seconds / 60)}});
    return ApiReply::Json({{QStringLiteral("bans"), bans},
                           {QStringLiteral("total"), static_cast<qint64>(total)},
                           {QStringLiteral("presets"), presets}});
}

namespace {

// Ids as exact as a JSON number carries them.
constexpr int64_t kMaxId = int64_t{1} << 53;

// Whole minutes, 0 to a hundred years.
std::optional<int64_t> Minutes(const QJsonObject& body) {
    return IntegerField(body, "minutes", 0, int64_t{100} * 365 * 24 * 60);
}

}  // namespace

ApiReply BansController::Add(const ApiCall& call) {
    std::string name, reason;
    const std::optional<int64_t> minutes = Minutes(call.Body);
    if (!TextField(call.Body, "name", 64, false, name) ||
        !TextField(call.Body, "reason", 200, false, reason) || !minutes)
        return ApiReply::Error(400, QStringLiteral("Give name, reason and minutes (0: for good)."));
    const PanelResult r = m_backend.Ban(Actor(call), name, reason, *minutes * 60);
    return ActionReply(r);
}

ApiReply BansController::Lift(const ApiCall& call) {
    std::string reason;
    const std::optional<int64_t> id = IntegerField(call.Body, "id", 1, kMaxId);
    if (!id || !TextField(call.Body, "reason", 200, true, reason))
        return ApiReply::Error(400, QStringLiteral("Give the ban's id and a reason."));
    const PanelResult r = m_backend.LiftBan(Actor(call), *id, reason);
    return ActionReply(r);
}

ApiReply BansController::Edit(const ApiCall& call) {
    std::string reason;
    const std::optional<int64_t> id = IntegerField(call.Body, "id", 1, kMaxId);
    const std::optional<int64_t> minutes = Minutes(call.Body);
    if (!id || !TextField(call.Body, "reason", 200, false, reason) || !minutes)
        return ApiReply::Error(
            400, QStringLiteral("Give the ban's id, a reason and minutes from now (0: for good)."));
    const PanelResult r = m_backend.EditBan(Actor(call), *id, reason, *minutes * 60);
    return ActionReply(r);
}

ApiReply BansController::Import(const ApiCall& call) {
    // The CSV form is UTF-8 as it stands; the request's size limit bounds it.
    const QJsonValue csv = call.Body.value(QStringLiteral("csv"));
    if (!csv.isString() || csv.toString().isEmpty())
        return ApiReply::Error(400, QStringLiteral("Give the ban list's CSV text as csv."));
    const PanelResult r = m_backend.ImportBans(call.Account, csv.toString().toStdString());
    if (!r.Ok) return ApiReply::Error(409, GameText(r.Why));
    return ApiReply::Json({{QStringLiteral("ok"), true}, {QStringLiteral("report"), GameText(r.Why)}});
}

ApiReply BansController::Export(const ApiCall& call) {
    std::string csv;
    const PanelResult r = m_backend.ExportBans(call.Account, csv);
    if (!r.Ok) return ApiReply::Error(409, GameText(r.Why));
    return ApiReply::Json({{QStringLiteral("csv"), QString::fromStdString(csv)}});
}

}  // namespace tovi
