#include "SettingsController.h"

#include <QJsonArray>
#include <QUrl>

#include "SettingsFile.h"
#include "StoreChoice.h"

namespace tovi {

namespace {

constexpr const char* kMask = "********";

QJsonArray EventsJson(const std::set<NoticeEvent>& events) {
    QJsonArray keys;
    for (NoticeEvent e : events) keys.append(QString::fromLatin1(EventKey(e)));
    return keys;
}

// Lines as the browser sends them ("\n" between), each free of control characters, joined as
// the settings file keeps them (CR LF).
bool LinesField(const QJsonObject& body, const char* key, size_t maxBytes, std::string& out) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isString()) return false;
    out.clear();
    for (QString line : value.toString().split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        std::string bytes;
        if (!TextField(QJsonObject{{QStringLiteral("l"), line}}, "l", maxBytes, true, bytes)) return false;
        if (bytes.empty()) continue;
        out += bytes + "\r\n";
    }
    return out.size() <= maxBytes;
}

bool IntField(const QJsonObject& body, const char* key, int low, int high, int& out) {
    const std::optional<int64_t> number = IntegerField(body, key, low, high);
    if (!number) return false;
    out = static_cast<int>(*number);
    return true;
}

bool BoolField(const QJsonObject& body, const char* key, bool& out) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isBool()) return false;
    out = value.toBool();
    return true;
}

bool EventsField(const QJsonObject& body, const char* key, std::set<NoticeEvent>& out) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isArray() || value.toArray().size() > 64) return false;
    out.clear();
    for (const QJsonValue& item : value.toArray()) {
        NoticeEvent event{};
        if (!item.isString() || !EventFromKey(item.toString().toStdString(), event)) return false;
        out.insert(event);
    }
    return true;
}

// A secret as sent back: the mask of the stored one keeps it; anything else is the new value
// (for a text of the game's code page, or UTF-8 for an address).
bool SecretField(const QJsonObject& body, const char* key, size_t maxBytes, const std::string& stored,
                 bool utf8, std::string& out) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isString()) return false;
    if (!stored.empty() && value.toString() == SettingsController::Masked(stored)) {
        out = stored;
        return true;
    }
    if (!TextField(body, key, maxBytes, true, out)) return false;
    if (utf8) out = value.toString().trimmed().toStdString();
    return out.size() <= maxBytes;
}

bool WebAddress(const std::string& url) {
    return url.empty() || url.starts_with("http://") || url.starts_with("https://");
}

}  // namespace

QString SettingsController::Masked(const std::string& secret) {
    if (secret.empty()) return {};
    const QUrl url(QString::fromStdString(secret), QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty() && !url.host().isEmpty())
        return url.scheme() + QStringLiteral("://") + url.host() + QStringLiteral("/") + QLatin1String(kMask);
    return QString::fromLatin1(kMask);
}

ApiReply SettingsController::Get(const ApiCall&) {
    const PanelSettings s = m_backend.Settings();
    QJsonArray events;
    QJsonObject titles;
    for (NoticeEvent e : AllEvents()) {
        events.append(QString::fromLatin1(EventKey(e)));
        titles.insert(QString::fromLatin1(EventKey(e)), QString::fromLatin1(EventTitle(e)));
    }
    const NoticeSettings& n = s.Notices;
    return ApiReply::Json({
        {QStringLiteral("statusUpdate"),
         QJsonObject{{QStringLiteral("serverCode"), Masked(s.Status.ServerCode)},
                     {QStringLiteral("updateUrl"), GameText(s.Status.UpdateURL)},
                     {QStringLiteral("importUrl"), GameText(s.Status.ImportURL)}}},
        {QStringLiteral("other"), QJsonObject{{QStringLiteral("scoringTimeOn"), s.Other.ScoringTimeOn},
                                              {QStringLiteral("scoringSeconds"), s.Other.ScoringSeconds},
                                              {QStringLiteral("displayNextMap"), s.Other.DisplayNextMap},
                                              {QStringLiteral("keepArchive"), s.Other.KeepArchive},
                                              {QStringLiteral("minPlayers"), s.Other.MinPlayers},
                                              {QStringLiteral("historyDays"), s.Other.HistoryDays},
                                              {QStringLiteral("sharedStore"),
                                               Masked(s.Other.SharedStore.value_or(std::string()))},
                                              {QStringLiteral("periodicChatOn"), s.Other.PeriodicChatOn.value_or(true)},
                                              {QStringLiteral("periodicChatText"),
                                               GameText(s.Other.PeriodicChatText.value_or(std::string()))}}},
        {QStringLiteral("notices"),
         QJsonObject{{QStringLiteral("discordUrl"), Masked(n.discord.url)},
                     {QStringLiteral("discordEvents"), EventsJson(n.discord.events)},
                     {QStringLiteral("webhookUrl"), Masked(n.webhook.url)},
                     {QStringLiteral("webhookSecret"), Masked(n.webhook.secret)},
                     {QStringLiteral("webhookEvents"), EventsJson(n.webhook.events)},
                     {QStringLiteral("desktop"), n.desktop.on},
                     {QStringLiteral("desktopEvents"), EventsJson(n.desktop.events)},
                     {QStringLiteral("watched"),
                      GameText(n.watched).replace(QStringLiteral("\r\n"), QStringLiteral("\n"))},
                     {QStringLiteral("notHostingMinutes"), n.notHostingMinutes},
                     {QStringLiteral("reportFailures"), n.reportFailures},
                     {QStringLiteral("maxAgeHours"), n.maxAgeHours}}},
        {QStringLiteral("bans"),
         QJsonObject{{QStringLiteral("presets"),
                      GameText(s.Bans.Presets).replace(QStringLiteral("\r\n"), QStringLiteral("\n"))},
                     {QStringLiteral("warningsOn"), s.Bans.WarningsOn},
                     {QStringLiteral("warningSteps"), GameText(s.Bans.WarningSteps)},
                     {QStringLiteral("warningWindowMinutes"), s.Bans.WarningWindowMinutes}}},
        {QStringLiteral("events"), events},
        {QStringLiteral("eventTitles"), titles},
    });
}

ApiReply SettingsController::Save(const ApiCall& call) {
    const PanelSettings stored = m_backend.Settings();
    PanelSettingsChange change;
    const QJsonValue statusValue = call.Body.value(QStringLiteral("statusUpdate"));
    if (statusValue.isObject()) {
        const QJsonObject b = statusValue.toObject();
        PanelStatusSettings st;
        if (!SecretField(b, "serverCode", 29, stored.Status.ServerCode, false, st.ServerCode) ||
            !TextField(b, "updateUrl", kSettingsUrlBytes, true, st.UpdateURL) ||
            !TextField(b, "importUrl", kSettingsUrlBytes, true, st.ImportURL))
            return ApiReply::Error(400,
                                   QStringLiteral("Give serverCode (at most 29 characters), updateUrl and "
                                                  "importUrl (at most 2000 each)."));
        change.Status = st;
    }
    const QJsonValue otherValue = call.Body.value(QStringLiteral("other"));
    if (otherValue.isObject()) {
        const QJsonObject b = otherValue.toObject();
        PanelOtherSettings o;
        if (!BoolField(b, "scoringTimeOn", o.ScoringTimeOn) ||
            !IntField(b, "scoringSeconds", kScoringSeconds.min, kScoringSeconds.max, o.ScoringSeconds) ||
            !BoolField(b, "displayNextMap", o.DisplayNextMap) ||
            !BoolField(b, "keepArchive", o.KeepArchive) ||
            !IntField(b, "minPlayers", kMinPlayers.min, kMinPlayers.max, o.MinPlayers) ||
            !IntField(b, "historyDays", 0, 36500, o.HistoryDays))
            return ApiReply::Error(
                400, QStringLiteral("Give scoringTimeOn, scoringSeconds (10 to 80), displayNextMap, "
                                    "keepArchive, minPlayers (0 to 15) and historyDays."));
        // Left out, the store stays as saved.
        if (b.contains(QStringLiteral("sharedStore"))) {
            std::string store;
            if (!SecretField(b, "sharedStore", kMaxConninfoBytes, stored.Other.SharedStore.value_or(std::string()),
                             true, store))
                return ApiReply::Error(400, QStringLiteral("Give sharedStore as a text of at most 1023 characters."));
            o.SharedStore = store;
        }
        if (b.contains(QStringLiteral("periodicChatOn")) || b.contains(QStringLiteral("periodicChatText"))) {
            bool on = true;
            std::string text;
            if (!BoolField(b, "periodicChatOn", on) ||
                !TextField(b, "periodicChatText", kPeriodicChatBytes, true, text))
                return ApiReply::Error(400, QStringLiteral("Give periodicChatOn and periodicChatText (at most 123 "
                                                           "characters) together."));
            o.PeriodicChatOn = on;
            o.PeriodicChatText = text;
        }
        change.Other = o;
    }
    const QJsonValue noticesValue = call.Body.value(QStringLiteral("notices"));
    if (noticesValue.isObject()) {
        const QJsonObject b = noticesValue.toObject();
        NoticeSettings n = stored.Notices;
        const bool ok =
            SecretField(b, "discordUrl", 500, stored.Notices.discord.url, true, n.discord.url) &&
            EventsField(b, "discordEvents", n.discord.events) &&
            SecretField(b, "webhookUrl", 500, stored.Notices.webhook.url, true, n.webhook.url) &&
            SecretField(b, "webhookSecret", 200, stored.Notices.webhook.secret, true, n.webhook.secret) &&
            EventsField(b, "webhookEvents", n.webhook.events) && BoolField(b, "desktop", n.desktop.on) &&
            EventsField(b, "desktopEvents", n.desktop.events) && LinesField(b, "watched", 4000, n.watched) &&
            IntField(b, "notHostingMinutes", 0, 24 * 60, n.notHostingMinutes) &&
            IntField(b, "reportFailures", 0, 1000, n.reportFailures) &&
            IntField(b, "maxAgeHours", 1, 24 * 30, n.maxAgeHours) && WebAddress(n.discord.url) &&
            WebAddress(n.webhook.url);
        if (!ok)
            return ApiReply::Error(400,
                                   QStringLiteral("Give every notice setting: addresses empty or http(s), "
                                                  "known events, numbers in range."));
        // A web sink is on when it has an address, as in the window.
        n.discord.on = !n.discord.url.empty();
        n.webhook.on = !n.webhook.url.empty();
        change.Notices = n;
    }
    const QJsonValue bansValue = call.Body.value(QStringLiteral("bans"));
    if (bansValue.isObject()) {
        const QJsonObject b = bansValue.toObject();
        PanelBanSettings bans;
        if (!LinesField(b, "presets", 4000, bans.Presets) || !BoolField(b, "warningsOn", bans.WarningsOn) ||
            !TextField(b, "warningSteps", 200, true, bans.WarningSteps) ||
            !IntField(b, "warningWindowMinutes", 0, 1'000'000, bans.WarningWindowMinutes))
            return ApiReply::Error(400, QStringLiteral("Give presets, warningsOn, warningSteps and "
                                                       "warningWindowMinutes."));
        change.Bans = bans;
    }
    if (!change.Status && !change.Other && !change.Notices && !change.Bans)
        return ApiReply::Error(400,
                               QStringLiteral("Give one or more of statusUpdate, other, notices and bans."));
    const PanelResult r = m_backend.SaveSettings(call.Account, change);
    return ActionReply(r);
}

}  // namespace tovi
