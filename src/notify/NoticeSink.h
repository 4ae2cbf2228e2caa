#pragma once
// A place notices go: Discord, a webhook, the desktop. A sink takes one notice at a time and
// says how it went; the Notifier keeps the queue, the retries and the pauses.
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "JsonPoster.h"
#include "Notice.h"
#include "Scheduler.h"

namespace tovi {

struct Delivery {
    enum class Outcome {
        Delivered,  // the receiver confirmed it
        Retry,      // not taken; the same notice again later
        Refused,    // the receiver will never take this notice: it is dropped
    };
    Outcome outcome = Outcome::Retry;
    int64_t waitMs = -1;  // Retry: when the receiver said when (else the back-off decides); Delivered:
                          // a pause the receiver asks for before the next one
    std::string error;    // Retry and Refused: why, in plain words
};

class NoticeSink {
public:
    virtual ~NoticeSink() = default;
    // The sink's name in settings.ini and the queue: "discord", "webhook", "desktop".
    virtual std::string Name() const = 0;
    virtual bool Wants(NoticeEvent event) const {
        return event == NoticeEvent::Test || m_events.count(event) > 0;
    }
    // Sends one notice; `done` runs once, later, never from inside Send, unless Cancel comes first.
    virtual void Send(const Notice& notice, std::function<void(const Delivery&)> done) = 0;
    virtual void Cancel() = 0;

    void SetEvents(std::set<NoticeEvent> events) { m_events = std::move(events); }

private:
    std::set<NoticeEvent> m_events;
};

// Reads a web receiver's answer. 2xx delivers; 429 and 5xx and no answer retry (429 after the
// time it names); other 4xx but 408 refuse the notice for good, except that 401, 403 and 404 (a
// wrong or removed address the operator can mend) retry.
Delivery WebDelivery(const JsonResult& result, std::optional<double> bodyRetryAfterS);

// Discord's webhook: one embed per notice, the game's texts made inert, nothing allowed to ping.
class DiscordSink final : public NoticeSink {
public:
    DiscordSink(std::string url, JsonPoster& poster) : m_url(std::move(url)), m_poster(poster) {}
    std::string Name() const override { return "discord"; }
    void Send(const Notice& notice, std::function<void(const Delivery&)> done) override;
    void Cancel() override { m_poster.Cancel(); }
    static std::string Body(const Notice& notice);

private:
    std::string m_url;
    JsonPoster& m_poster;
};

// Any receiver of JSON: the body is documented in the README; with a secret it is signed.
class WebhookSink final : public NoticeSink {
public:
    WebhookSink(std::string url, std::string secret, JsonPoster& poster, BodySigner hmac)
        : m_url(std::move(url)), m_secret(std::move(secret)), m_poster(poster), m_hmac(std::move(hmac)) {}
    std::string Name() const override { return "webhook"; }
    void Send(const Notice& notice, std::function<void(const Delivery&)> done) override;
    void Cancel() override { m_poster.Cancel(); }
    static std::string Body(const Notice& notice);

private:
    std::string m_url, m_secret;
    JsonPoster& m_poster;
    BodySigner m_hmac;
};

// The desktop: the tray icon's message balloon, shown by the program.
class DesktopNotices {
public:
    virtual ~DesktopNotices() = default;
    virtual void ShowNotice(const std::string& titleUtf8, const std::string& textUtf8, bool trouble) = 0;
};

class DesktopSink final : public NoticeSink {
public:
    DesktopSink(DesktopNotices& desktop, Scheduler& scheduler) : m_desktop(desktop), m_scheduler(scheduler) {}
    ~DesktopSink() override { Cancel(); }
    std::string Name() const override { return "desktop"; }
    void Send(const Notice& notice, std::function<void(const Delivery&)> done) override;
    void Cancel() override;

private:
    DesktopNotices& m_desktop;
    Scheduler& m_scheduler;
    Scheduler::TimerId m_shown = 0;
};

}  // namespace tovi
