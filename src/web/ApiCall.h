#pragma once
// One authorised call of the JSON API as a controller sees it, and its answer.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrlQuery>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AccountStore.h"
#include "PanelBackend.h"
#include "Windows1252.h"

namespace tovi {

struct ApiCall {
    std::string Account;  // empty for the public login
    Role AccountRole = Role::Viewer;
    std::string SessionId;  // empty when a token authorised the call
    QJsonObject Body;       // the request's JSON object; empty when there was none
    QUrlQuery Query;
    std::string Address;  // the client's address
};

struct ApiReply {
    int Status = 200;
    QJsonDocument Body;
    std::vector<std::pair<QByteArray, QByteArray>> Headers;

    static ApiReply Json(QJsonObject object, int status = 200) { return {status, QJsonDocument(object), {}}; }
    static ApiReply Error(int status, const QString& why) {
        return {status, QJsonDocument(QJsonObject{{QStringLiteral("error"), why}}), {}};
    }
    static ApiReply Ok() { return Json({{QStringLiteral("ok"), true}}); }
};

// How a call that reads the record is answered: once, on the event loop, now or later.
using ApiAnswer = std::function<void(ApiReply)>;

// The game's bytes for the browser, and what the browser sent for the game.
inline QString GameText(const std::string& bytes) {
    return QString::fromStdString(Windows1252ToUtf8(bytes));
}
inline std::string GameBytes(const QString& text) {
    return Utf8ToWindows1252(text.toStdString());
}

}  // namespace tovi

namespace tovi {

// A text field of the request as the game's bytes: false when it is missing, too long or holds
// a control character (which must never reach the game's console).
inline bool TextField(const QJsonObject& body, const char* key, size_t maxBytes, bool mayBeEmpty,
                      std::string& out) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isString()) return false;
    out = GameBytes(value.toString());
    if (out.size() > maxBytes || (!mayBeEmpty && out.empty())) return false;
    for (char c : out) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
    }
    return true;
}

// A whole number of the body within [low, high]: 1.9, "1" or true is none.
inline std::optional<int64_t> IntegerField(const QJsonObject& body, const char* key, int64_t low,
                                           int64_t high) {
    const QJsonValue value = body.value(QLatin1String(key));
    if (!value.isDouble()) return std::nullopt;
    const double number = value.toDouble();
    if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high)) ||
        number != std::floor(number))
        return std::nullopt;
    return static_cast<int64_t>(number);
}

// A query parameter as a whole number within [low, high]: `fallback` when it is not given, nothing
// when it is given as anything but digits (a sign, spaces, "abc", "1.5", "") or out of range.
inline constexpr int64_t kQueryNumberMax = 999'999'999'999'999'999;
inline std::optional<int64_t> QueryInteger(const QUrlQuery& query, const char* key, int64_t fallback,
                                           int64_t low, int64_t high) {
    if (!query.hasQueryItem(QLatin1String(key))) return fallback;
    const QString text = query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    if (text.isEmpty() || text.size() > 18) return std::nullopt;
    int64_t value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

inline ApiReply ActionReply(bool ok, const std::string& why) {
    if (ok) return ApiReply::Ok();
    return ApiReply::Error(409, GameText(why));
}

// An action's answer: refused for the account's role is forbidden, any other refusal a conflict
// with the server's state.
inline ApiReply ActionReply(const PanelResult& r) {
    if (!r.Ok && r.Forbidden) return ApiReply::Error(403, GameText(r.Why));
    return ActionReply(r.Ok, r.Why);
}

inline PanelActor Actor(const ApiCall& call) {
    return {call.Account, call.AccountRole};
}

}  // namespace tovi
