#include "QtHttpClient.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "GameText.h"

namespace tovi {

namespace {

// Errors Qt derives from the answer's status code: the service did answer, completely.
bool AnsweredByStatus(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    return error == QNetworkReply::NoError || (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
}

}  // namespace

QtHttpClient::QtHttpClient(QObject* parent) : QObject(parent) {
    // Operators behind a proxy reach the service the way their other programs do.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
}

QtHttpClient::~QtHttpClient() { Cancel(); }

void QtHttpClient::Post(const HttpRequest& request, std::function<void(const HttpResult&)> done) {
    Cancel();
    m_busy = true;
    m_done = std::move(done);
    const uint64_t transfer = ++m_transfer;

    const QString address = FromGameText(request.url);
    const QUrl target(address);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        target.host().isEmpty()) {
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
    for (const auto& [name, value] : request.headers)
        http.setRawHeader(QByteArray::fromStdString(name), QByteArray::fromStdString(value));
    // A redirect would turn the POST into a GET without the body, and the target's answer would
    // seem to confirm what it never received: the 3xx itself is the answer.
    http.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_network.post(http, QByteArray(request.body.data(), static_cast<qsizetype>(request.body.size())));
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply, address] { Finished(reply, address); });
    // A deadline for the whole transfer: a service that sends a byte now and then must not hold
    // it open for ever.
    const int timeoutMs = request.timeoutMs;
    m_deadline.disconnect();
    connect(&m_deadline, &QTimer::timeout, this, [this, timeoutMs] { DeadlinePassed(timeoutMs); });
    m_deadline.start(std::max(timeoutMs, 0));
}

void QtHttpClient::DeadlinePassed(int timeoutMs) {
    if (!m_reply) return;
    Abandon();
    Finish({HttpOutcome::TimedOut, 0, {}, {},
            "no complete answer within " + std::to_string(timeoutMs / 1000) +
                (timeoutMs % 1000 == 0 ? " s" : "." + std::to_string(timeoutMs % 1000 / 100) + " s")});
}

void QtHttpClient::Finished(QNetworkReply* reply, const QString& address) {
    reply->deleteLater();
    if (reply != m_reply) return;
    m_reply = nullptr;
    m_deadline.stop();

    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && AnsweredByStatus(error)) {
        HttpResult result{HttpOutcome::Answered, status.toInt(), reply->rawHeader(kToviResponseHeader).toStdString(),
                          reply->rawHeader("Location").toStdString(), {}};
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

void QtHttpClient::Abandon() {
    m_deadline.stop();
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

void QtHttpClient::Cancel() {
    ++m_transfer;
    Abandon();
    m_done = nullptr;
    m_busy = false;
}

}  // namespace tovi
