#pragma once
// The web reporting's HTTP client over Qt's network module: one POST at a time, through the
// system's proxy settings, http or https, never following a redirect, bounded by a deadline for
// the whole transfer.
#include <QObject>
#include <cstdint>
#include <functional>

#include "HttpClient.h"
#include "PostTransfer.h"

class QNetworkReply;

namespace tovi {

class QtHttpClient : public QObject, public HttpClient {
    Q_OBJECT
public:
    explicit QtHttpClient(QObject* parent = nullptr);
    ~QtHttpClient() override;

    void Post(const HttpRequest& request, std::function<void(const HttpResult&)> done) override;
    void Cancel() override;
    bool Busy() const override { return m_busy; }

private:
    void Finish(const HttpResult& result);
    void Finished(QNetworkReply* reply, const QString& address);
    void DeadlinePassed(int timeoutMs);

    PostTransfer m_post;
    std::function<void(const HttpResult&)> m_done;
    bool m_busy = false;
    uint64_t m_transfer = 0;  // tells the running transfer from one that was cancelled
};

}  // namespace tovi
