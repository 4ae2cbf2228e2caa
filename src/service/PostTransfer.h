#pragma once
// One POST at a time over Qt's network module, for the program's HTTP clients: a redirect is
// never followed (the 3xx is the answer), a deadline bounds the whole transfer, and a transfer
// dropped is never heard of again.
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

class QNetworkRequest;
class QUrl;

namespace tovi {

class PostTransfer : public QObject {
public:
    explicit PostTransfer(QObject* parent = nullptr);
    ~PostTransfer() override;

    // Drops the running transfer, then posts `body`. `finished` hears the reply once it is
    // complete (it is deleted later); `late` is told instead when `timeoutMs` pass first.
    void Start(QNetworkRequest request, const QByteArray& body, int timeoutMs,
               std::function<void(QNetworkReply*)> finished, std::function<void()> late);
    // Drops the running transfer, if any: neither of its callbacks is called.
    void Abandon();

    // An http or https address with a host.
    static bool Postable(const QUrl& url);
    // Errors Qt derives from the answer's status code: the service did answer, completely.
    static bool AnsweredByStatus(QNetworkReply::NetworkError error);

private:
    QNetworkAccessManager m_network;
    QPointer<QNetworkReply> m_reply;
    QTimer m_deadline;
    std::function<void()> m_late;
};

}  // namespace tovi
