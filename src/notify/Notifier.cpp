#include "Notifier.h"

#include <algorithm>

namespace tovi {

namespace {

constexpr int64_t kExpiryCheckMs = 10 * 60 * 1000;

}  // namespace

Notifier::Notifier(NoticeQueue& queue, Scheduler& scheduler, std::function<int64_t()> nowMs, LogSink& log,
                   NotifierSettings settings)
    : m_queue(queue), m_scheduler(scheduler), m_now(std::move(nowMs)), m_log(log), m_settings(settings) {
    DropExpired();
}

Notifier::~Notifier() {
    SetSinks({});
    if (m_expiryTimer) m_scheduler.Cancel(m_expiryTimer);
}

void Notifier::SetSinks(std::vector<NoticeSink*> sinks) {
    for (auto& [name, state] : m_sinks) {
        if (state.busy) state.sink->Cancel();
        if (state.timer) m_scheduler.Cancel(state.timer);
    }
    m_sinks.clear();
    for (NoticeSink* sink : sinks) {
        SinkState& state = m_sinks[sink->Name()];
        state.sink = sink;
        Wake(sink->Name(), 0);
    }
    NoteTrouble();
}

std::string Notifier::Post(Notice notice) {
    switch (notice.event) {
        case NoticeEvent::ServerLost:
        case NoticeEvent::NotHosting:
            m_serverTrouble = true;
            break;
        case NoticeEvent::ServerFound:
        case NoticeEvent::MatchEnd:
            m_serverTrouble = false;
            break;
        case NoticeEvent::ReportFailing:
            m_reportTrouble = true;
            break;
        case NoticeEvent::ReportRecovered:
            m_reportTrouble = false;
            break;
        default:
            break;
    }
    NoteTrouble();
    std::vector<std::string> sinks;
    for (const auto& [name, state] : m_sinks)
        if (notice.event != NoticeEvent::Test && state.sink->Wants(notice.event)) sinks.push_back(name);
    return Queue(std::move(notice), sinks);
}

std::string Notifier::SendTest(const std::string& sink) {
    if (!m_sinks.count(sink)) return {};
    return Queue(TestNotice(), {sink});
}

std::string Notifier::Queue(Notice notice, const std::vector<std::string>& sinks) {
    if (sinks.empty()) return {};
    if (notice.createdMs == 0) notice.createdMs = m_now();
    if (notice.id.empty()) {
        auto hex = [](uint64_t value, int digits) {
            static constexpr char kHex[] = "0123456789abcdef";
            std::string text(static_cast<size_t>(digits), '0');
            for (int i = digits - 1; i >= 0; --i, value >>= 4)
                text[static_cast<size_t>(i)] = kHex[value & 15];
            return text;
        };
        // Time, a counter and chance: unique across restarts and across copies of the program.
        notice.id = hex(static_cast<uint64_t>(notice.createdMs), 11) + "-" + hex(++m_counter, 4) + "-" +
                    hex(m_random(), 12);
    }
    std::string error;
    if (!m_queue.Add(notice, sinks, error)) {
        m_log.Log("Notice \"" + notice.title + "\" not sent: " + error);
        return {};
    }
    for (const std::string& sink : sinks) Wake(sink, 0);
    return notice.id;
}

bool Notifier::Trouble() const {
    if (m_serverTrouble || m_reportTrouble) return true;
    return std::any_of(m_sinks.begin(), m_sinks.end(), [](const auto& s) { return s.second.failures > 0; });
}

void Notifier::NoteTrouble() {
    const bool trouble = Trouble();
    if (trouble == m_trouble) return;
    m_trouble = trouble;
    if (troubleChanged) troubleChanged();
}

// Runs the sink's next step from the scheduler, never from inside the caller: a sink that
// answers at once cannot recurse, and Post never waits for a transfer.
void Notifier::Wake(const std::string& sink, int64_t afterMs) {
    auto it = m_sinks.find(sink);
    if (it == m_sinks.end() || it->second.busy || it->second.timer) return;
    const int delay = static_cast<int>(std::clamp<int64_t>(afterMs, 0, 24 * 3600 * 1000));
    it->second.timer = m_scheduler.Schedule(delay, [this, sink] {
        auto found = m_sinks.find(sink);
        if (found == m_sinks.end()) return;
        found->second.timer = 0;
        Pump(sink);
    });
}

void Notifier::Pump(const std::string& sink) {
    SinkState& state = m_sinks.at(sink);
    if (state.busy || state.timer) return;
    std::optional<QueuedNotice> entry = m_queue.Next(sink);
    if (entry && entry->notice.createdMs < m_now() - m_settings.maxAgeMs) {
        DropExpired();
        entry = m_queue.Next(sink);
    }
    if (!entry) return;
    state.busy = true;
    state.sink->Send(
        entry->notice, [this, sink, seq = entry->seq, id = entry->notice.id](const Delivery& delivery) {
            auto found = m_sinks.find(sink);
            if (found == m_sinks.end()) return;
            found->second.busy = false;
            Delivered(sink, QueuedNotice{seq, sink, Notice{id, NoticeEvent::Test, 0, {}, {}}}, delivery);
        });
}

void Notifier::Delivered(const std::string& sink, const QueuedNotice& entry, const Delivery& delivery) {
    SinkState& state = m_sinks.at(sink);
    int64_t next = 0;
    switch (delivery.outcome) {
        case Delivery::Outcome::Delivered:
            m_queue.Remove(entry.seq);
            if (state.failures > 0) m_log.Log("Notices reach the " + sink + " again.");
            state.failures = 0;
            state.retryMs = 0;
            next = std::max<int64_t>(delivery.waitMs, 0);
            break;
        case Delivery::Outcome::Refused:
            m_queue.Remove(entry.seq);
            m_log.Log("The " + sink + " refused notice " + entry.notice.id + " (" + delivery.error +
                      "): it is dropped.");
            break;
        case Delivery::Outcome::Retry:
            if (++state.failures == 1)
                m_log.Log("Notices do not reach the " + sink + " (" + delivery.error + "): retrying.");
            m_log.DebugLog("Notice " + entry.notice.id + " to the " + sink + ": " + delivery.error);
            if (delivery.waitMs >= 0) {
                next = delivery.waitMs;
            } else {
                state.retryMs = state.retryMs == 0 ? m_settings.firstRetryMs
                                                   : std::min(state.retryMs * 2, m_settings.maxRetryMs);
                next = state.retryMs;
            }
            break;
    }
    NoteTrouble();
    Wake(sink, next);
}

void Notifier::DropExpired() {
    if (m_expiryTimer) m_scheduler.Cancel(m_expiryTimer);
    const int64_t minutes = m_settings.maxAgeMs / 60000;
    const std::string age =
        minutes % 60 == 0 ? std::to_string(minutes / 60) + " h" : std::to_string(minutes) + " min";
    for (const QueuedNotice& old : m_queue.RemoveOlderThan(m_now() - m_settings.maxAgeMs)) {
        m_log.Log("Notice \"" + old.notice.title + "\" (" + old.notice.id + ") for the " + old.sink +
                  " was not delivered within " + age + " and is dropped.");
    }
    m_expiryTimer = m_scheduler.Schedule(static_cast<int>(kExpiryCheckMs), [this] {
        m_expiryTimer = 0;
        DropExpired();
    });
}

}  // namespace tovi
