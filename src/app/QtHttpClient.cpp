#include "QtHttpClient.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "QtSupport.h"

namespace tovi {

QtHttpClient::QtHttpClient(QObject* parent) : QObject(parent) {
    // Operators behind a proxy reach the service the way their other programs do.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
}

QtHttpClient::~QtHttpClient() { Cancel(); }

void QtHttpClient::Post(const std::string& url, const std::string& body, const std::string& contentType,
                        int timeoutMs, std::function<void(const HttpResult&)> done) {
    Cancel();
    m_busy = true;
    m_done = std::move(done);
    const uint64_t transfer = ++m_transfer;

    const QString address = FromGameText(url);
    const QUrl target(address);
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        target.host().isEmpty()) {
        // Answered later, as every transfer is, so that the caller never hears back from inside Post.
        const std::string error = address.isEmpty()
                                      ? std::string("no address is set")
                                      : "\"" + url + "\" is not an http or https address";
        QTimer::singleShot(0, this, [this, transfer, error] {
            if (transfer == m_transfer && m_busy) Finish({HttpOutcome::Failed, {}, error});
        });
        return;
    }

    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray::fromStdString(contentType));
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = m_network.post(request, QByteArray(body.data(), static_cast<qsizetype>(body.size())));
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, address, timeoutMs] { Finished(reply, address, timeoutMs); });
}

void QtHttpClient::Finished(QNetworkReply* reply, const QString& address, int timeoutMs) {
    reply->deleteLater();
    if (reply != m_reply) return;
    m_reply = nullptr;

    const QNetworkReply::NetworkError error = reply->error();
    // Our own Cancel disconnects before it aborts, so a cancelled reply here is the time-out's.
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        Finish({HttpOutcome::TimedOut, {},
                "no answer from " + ToGameText(address) + " within " + std::to_string(timeoutMs) + " ms"});
        return;
    }
    // An answer with any status code counts: only the header is looked at.
    if (error == QNetworkReply::NoError || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        Finish({HttpOutcome::Answered, reply->rawHeader(kToviResponseHeader).toStdString(), {}});
        return;
    }
    QString description = reply->errorString();
    if (!description.contains(address)) description += QStringLiteral(" (%1)").arg(address);
    Finish({HttpOutcome::Failed, {}, ToGameText(description)});
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
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
    m_done = nullptr;
    m_busy = false;
}

}  // namespace tovi
