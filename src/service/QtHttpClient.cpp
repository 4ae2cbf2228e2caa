#include "QtHttpClient.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "GameText.h"
#include "ToviVersion.h"

namespace tovi {

QtHttpClient::QtHttpClient(QObject* parent) : QObject(parent) {
    // Operators behind a proxy reach the service the way their other programs do.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

QtHttpClient::~QtHttpClient() { Cancel(); }

void QtHttpClient::Post(const HttpRequest& request, std::function<void(const HttpResult&)> done) {
    Cancel();
    m_busy = true;
    m_done = std::move(done);
    const uint64_t transfer = ++m_transfer;

    const QString address = FromGameText(request.url);
    const QUrl target(address);
    if (!PostTransfer::Postable(target)) {
        // Answered later, as every transfer is, so that the caller never hears back from inside Post.
        const std::string error = address.isEmpty()
                                      ? std::string("no address is set")
                                      : "\"" + request.url + "\" is not an http or https address";
        QTimer::singleShot(0, this, [this, transfer, error] {
            if (transfer == m_transfer && m_busy) Finish({HttpOutcome::Failed, 0, {}, {}, error});
        });
        return;
    }

    QNetworkRequest http(target);
    http.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray::fromStdString(request.contentType));
    // The service's operator can tell which release reports, and Qt's default names a browser.
    http.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("tovistats/") + tovi::kVersionText);
    for (const auto& [name, value] : request.headers)
        http.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    // A redirect would turn the POST into a GET without the body, and the target's answer would
    // seem to confirm what it never received: the 3xx itself is the answer.
    const int timeoutMs = request.timeoutMs;
    m_post.Start(http, QByteArray(request.body.data(), static_cast<qsizetype>(request.body.size())), timeoutMs,
                 [this, address](QNetworkReply* reply) { Finished(reply, address); },
                 [this, timeoutMs] { DeadlinePassed(timeoutMs); });
}

void QtHttpClient::DeadlinePassed(int timeoutMs) {
    Finish({HttpOutcome::TimedOut, 0, {}, {},
            "no complete answer within " + std::to_string(timeoutMs / 1000) +
                (timeoutMs % 1000 == 0 ? " s" : "." + std::to_string(timeoutMs % 1000 / 100) + " s")});
}

void QtHttpClient::Finished(QNetworkReply* reply, const QString& address) {
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && PostTransfer::AnsweredByStatus(error)) {
        HttpResult result{HttpOutcome::Answered, status.toInt(), reply->rawHeader(kToviResponseHeader).toStdString(),
                          reply->rawHeader("Location").toStdString(), {}};
        // Why the service refused, in its own words, for the log.
        if (result.status >= 300) result.body = reply->read(kFailureBodyBytes).toStdString();
        Finish(result);
        return;
    }
    QString description = reply->errorString();
    if (error == QNetworkReply::RemoteHostClosedError) {
        description = status.isValid() ? QStringLiteral("the connection closed before the whole answer came")
                                        : QStringLiteral("the connection closed without an answer");
    }
    if (!description.contains(address)) description += QStringLiteral(" (%1)").arg(address);
    Finish({HttpOutcome::Failed, 0, {}, {}, ToGameText(description)});
}

void QtHttpClient::Finish(const HttpResult& result) {
    // The answer may start the next transfer, so this one is over before it is told.
    auto done = std::move(m_done);
    m_done = nullptr;
    m_busy = false;
    if (done) done(result);
}

void QtHttpClient::Cancel() {
    ++m_transfer;
    m_post.Abandon();
    m_done = nullptr;
    m_busy = false;
}

}  // namespace tovi
