#include "PostTransfer.h"

#include <QNetworkRequest>
#include <QUrl>
#include <algorithm>

namespace tovi {

PostTransfer::PostTransfer(QObject* parent) : QObject(parent) {
    m_deadline.setSingleShot(true);
    m_deadline.setTimerType(Qt::PreciseTimer);
    // A service that sends a byte now and then must not hold the transfer open for ever.
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (!m_reply) return;
        Abandon();
        // Whoever hears it may start the next transfer, which sets a new `m_late`.
        auto late = std::move(m_late);
        m_late = nullptr;
        if (late) late();
    });
}

PostTransfer::~PostTransfer() { Abandon(); }

void PostTransfer::Start(QNetworkRequest request, const QByteArray& body, int timeoutMs,
                         std::function<void(QNetworkReply*)> finished, std::function<void()> late) {
    Abandon();
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = m_network.post(request, body);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply, finished = std::move(finished)] {
        reply->deleteLater();
        if (reply != m_reply) return;
        m_reply = nullptr;
        m_deadline.stop();
        finished(reply);
    });
    m_late = std::move(late);
    m_deadline.start(std::max(timeoutMs, 0));
}

void PostTransfer::Abandon() {
    m_deadline.stop();
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        reply->deleteLater();
    }
}

bool PostTransfer::Postable(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

bool PostTransfer::AnsweredByStatus(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    return error == QNetworkReply::NoError || (code >= 201 && code <= 299) || (code >= 401 && code <= 499);
}

}  // namespace tovi
