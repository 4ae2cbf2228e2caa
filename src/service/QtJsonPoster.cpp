#include "QtJsonPoster.h"

#include <QMessageAuthenticationCode>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "ToviVersion.h"

namespace tovi {

namespace {

constexpr qint64 kMaxAnswerBytes = 64 * 1024;  // a receiver's answer matters only for its rate limit

std::optional<double> Seconds(const QByteArray& value) {
    bool ok = false;
    const double seconds = value.trimmed().toDouble(&ok);
    if (!ok || seconds < 0) return std::nullopt;
    return seconds;
}

}  // namespace

QtJsonPoster::QtJsonPoster(QObject* parent) : QObject(parent) {}

QtJsonPoster::~QtJsonPoster() {
    Cancel();
}

void QtJsonPoster::Post(const JsonRequest& request, std::function<void(const JsonResult&)> done) {
    Cancel();
    m_done = std::move(done);
    const uint64_t transfer = m_transfer;
    const QUrl target(QString::fromStdString(request.url));
    if (!PostTransfer::Postable(target)) {
        const std::string error = request.url.empty() ? "no address is set" : "not an http or https address";
        QTimer::singleShot(0, this, [this, transfer, error] {
            if (transfer == m_transfer && m_done) Finish({HttpOutcome::Failed, 0, {}, {}, {}, {}, error});
        });
        return;
    }
    QNetworkRequest http(target);
    http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    http.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("tovistats/") + tovi::kVersionText);
    for (const auto& [name, value] : request.headers)
        http.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    // A redirect is an answer, never followed: the body and its signature go where they were set to.
    m_post.Start(http, QByteArray::fromStdString(request.body), request.timeoutMs,
                 [this](QNetworkReply* reply) { Finished(reply); },
                 [this] { Finish({HttpOutcome::TimedOut, 0, {}, {}, {}, {}, "no complete answer in time"}); });
}

void QtJsonPoster::Finished(QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    const int code = static_cast<int>(error);
    if (!status.isValid() || !PostTransfer::AnsweredByStatus(error)) {
        // Qt's own wording names the whole address, and a Discord webhook's address is its key:
        // the log and the record get the host only.
        const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
        Finish({HttpOutcome::Failed,
                0,
                {},
                {},
                {},
                {},
                std::string(name ? name : "network error") + " at " + reply->url().host().toStdString()});
        return;
    }
    JsonResult result;
    result.outcome = HttpOutcome::Answered;
    result.status = status.toInt();
    result.body = reply->read(kMaxAnswerBytes).toStdString();
    if (reply->hasRawHeader("Retry-After")) result.retryAfterS = Seconds(reply->rawHeader("Retry-After"));
    if (reply->hasRawHeader("X-RateLimit-Remaining")) {
        bool ok = false;
        const int remaining = reply->rawHeader("X-RateLimit-Remaining").trimmed().toInt(&ok);
        if (ok) result.rateLimitRemaining = remaining;
    }
    if (reply->hasRawHeader("X-RateLimit-Reset-After"))
        result.rateLimitResetAfterS = Seconds(reply->rawHeader("X-RateLimit-Reset-After"));
    Finish(result);
}

void QtJsonPoster::Finish(const JsonResult& result) {
    auto done = std::move(m_done);
    m_done = nullptr;
    if (done) done(result);
}

void QtJsonPoster::Cancel() {
    ++m_transfer;
    m_post.Abandon();
    m_done = nullptr;
}

std::string HmacSha256Hex(std::string_view key, std::string_view body) {
    return QMessageAuthenticationCode::hash(QByteArray(body.data(), static_cast<qsizetype>(body.size())),
                                            QByteArray(key.data(), static_cast<qsizetype>(key.size())),
                                            QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

}  // namespace tovi
