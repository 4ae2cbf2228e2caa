#include "NoticeSink.h"

#include <cmath>
#include <cstdlib>

#include "NoticeText.h"

namespace tovi {

namespace {

// A number member of a small JSON object, such as Discord's {"retry_after": 1.5, ...}; enough
// for the answers read here, which hold no nested strings with that name.
std::optional<double> JsonNumber(const std::string& body, const std::string& name) {
    const size_t key = body.find("\"" + name + "\"");
    if (key == std::string::npos) return std::nullopt;
    size_t at = body.find_first_not_of(" \t\r\n", key + name.size() + 2);
    if (at == std::string::npos || body[at] != ':') return std::nullopt;
    at = body.find_first_not_of(" \t\r\n", at + 1);
    if (at == std::string::npos) return std::nullopt;
    const char* start = body.c_str() + at;
    char* end = nullptr;
    const double value = std::strtod(start, &end);
    if (end == start || !std::isfinite(value) || value < 0) return std::nullopt;
    return value;
}

int64_t Ms(double seconds) {
    // A receiver's word is taken up to an hour: a larger one is a mistake we would wait out for ever.
    return static_cast<int64_t>(std::ceil(std::min(seconds, 3600.0) * 1000.0));
}

uint32_t Colour(NoticeEvent event) {
    switch (event) {
        case NoticeEvent::ServerLost:
        case NoticeEvent::NotHosting:
        case NoticeEvent::ReportFailing:
        case NoticeEvent::UploadRejected:
        case NoticeEvent::ServerCodeInUse:
            return 0xD83C3E;
        case NoticeEvent::PlayerBanned:
        case NoticeEvent::BanEnforced:
        case NoticeEvent::PlayerPunted:
        case NoticeEvent::PlayerWarned:
        case NoticeEvent::WatchedWord:
            return 0xE8A33D;
        default:
            return 0x3BA55C;
    }
}

}  // namespace

Delivery WebDelivery(const JsonResult& result, std::optional<double> bodyRetryAfterS) {
    Delivery d;
    if (result.outcome != HttpOutcome::Answered) {
        d.error = result.error.empty() ? "no answer" : result.error;
        return d;
    }
    const int status = result.status;
    if (status >= 200 && status <= 299) {
        d.outcome = Delivery::Outcome::Delivered;
        if (result.rateLimitRemaining && *result.rateLimitRemaining <= 0 && result.rateLimitResetAfterS)
            d.waitMs = Ms(*result.rateLimitResetAfterS);
        return d;
    }
    d.error = "HTTP " + std::to_string(status);
    if (status == 429) {
        if (bodyRetryAfterS) {
            d.waitMs = Ms(*bodyRetryAfterS);
        } else if (result.retryAfterS) {
            d.waitMs = Ms(*result.retryAfterS);
        } else if (result.rateLimitResetAfterS) {
            d.waitMs = Ms(*result.rateLimitResetAfterS);
        }
        return d;
    }
    if (status >= 500 || status == 408 || status == 401 || status == 403 || status == 404) {
        if (status == 503 && result.retryAfterS) d.waitMs = Ms(*result.retryAfterS);
        return d;
    }
    // Anything else (400, 413, a redirect) says this notice will never be taken.
    d.outcome = Delivery::Outcome::Refused;
    return d;
}

std::string DiscordSink::Body(const Notice& notice) {
    std::string fields;
    for (const NoticeField& f : notice.fields) {
        if (!fields.empty()) fields += ',';
        // Discord refuses an empty value; a field holds at most 1024 characters.
        const std::string value = f.value.empty() ? "-" : DiscordPlain(f.value, 400);
        fields += "{\"name\":" + JsonString(DiscordPlain(f.name, 200)) + ",\"value\":" + JsonString(value) +
                  ",\"inline\":" + (f.value.find('\n') == std::string::npos ? "true" : "false") + "}";
    }
    return "{\"username\":\"Tovi stats\",\"allowed_mentions\":{\"parse\":[]},\"embeds\":[{\"title\":" +
           JsonString(DiscordPlain(notice.title, 200)) +
           ",\"color\":" + std::to_string(Colour(notice.event)) + ",\"timestamp\":\"" +
           IsoTime(notice.createdMs) + "\",\"fields\":[" + fields +
           "],\"footer\":{\"text\":" + JsonString(notice.id) + "}}]}";
}

void DiscordSink::Send(const Notice& notice, std::function<void(const Delivery&)> done) {
    JsonRequest request;
    request.url = m_url;
    request.body = Body(notice);
    m_poster.Post(request, [done = std::move(done)](const JsonResult& result) {
        done(WebDelivery(result,
                         result.status == 429 ? JsonNumber(result.body, "retry_after") : std::nullopt));
    });
}

std::string WebhookSink::Body(const Notice& notice) {
    std::string fields;
    for (const NoticeField& f : notice.fields) {
        if (!fields.empty()) fields += ',';
        fields += "{\"name\":" + JsonString(PlainUtf8(f.name)) +
                  ",\"value\":" + JsonString(PlainUtf8(f.value)) + "}";
    }
    return "{\"id\":" + JsonString(notice.id) + ",\"event\":\"" + EventKey(notice.event) + "\",\"time\":\"" +
           IsoTime(notice.createdMs) + "\",\"title\":" + JsonString(PlainUtf8(notice.title)) +
           ",\"fields\":[" + fields + "]}";
}

void WebhookSink::Send(const Notice& notice, std::function<void(const Delivery&)> done) {
    JsonRequest request;
    request.url = m_url;
    request.body = Body(notice);
    request.headers.emplace_back("X-Tovi-Event", EventKey(notice.event));
    request.headers.emplace_back("Idempotency-Key", notice.id);
    if (!m_secret.empty() && m_hmac)
        request.headers.emplace_back("X-Tovi-Signature", "sha256=" + m_hmac(m_secret, request.body));
    m_poster.Post(request, [done = std::move(done)](const JsonResult& result) {
        done(WebDelivery(result, std::nullopt));
    });
}

void DesktopSink::Send(const Notice& notice, std::function<void(const Delivery&)> done) {
    Cancel();
    m_shown = m_scheduler.Schedule(0, [this, notice, done = std::move(done)] {
        m_shown = 0;
        m_desktop.ShowNotice(PlainUtf8(notice.title), PlainUtf8(PlainText(notice)), IsTrouble(notice.event));
        done(Delivery{Delivery::Outcome::Delivered, -1, {}});
    });
}

void DesktopSink::Cancel() {
    if (m_shown) m_scheduler.Cancel(m_shown);
    m_shown = 0;
}

}  // namespace tovi
