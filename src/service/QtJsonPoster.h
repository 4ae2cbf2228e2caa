#pragma once
// The notices' HTTP client over Qt's network module: one JSON POST at a time, through the
// system's proxy settings, never following a redirect, bounded by a deadline for the whole
// transfer. Each sink has one of its own, so that a slow receiver holds up no other.
#include <QObject>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "JsonPoster.h"
#include "PostTransfer.h"

class QNetworkReply;

namespace tovi {

class QtJsonPoster : public QObject, public JsonPoster {
    Q_OBJECT
public:
    explicit QtJsonPoster(QObject* parent = nullptr);
    ~QtJsonPoster() override;
    void Post(const JsonRequest& request, std::function<void(const JsonResult&)> done) override;
    void Cancel() override;

private:
    void Finished(QNetworkReply* reply);
    void Finish(const JsonResult& result);

    PostTransfer m_post;
    std::function<void(const JsonResult&)> m_done;
    uint64_t m_transfer = 0;
};

// HMAC-SHA256 of `body` with `key`, in lower-case hex (the webhook's signature).
std::string HmacSha256Hex(std::string_view key, std::string_view body);

}  // namespace tovi
