#pragma once
// Delivery of notices: each notice goes into the durable queue once for every sink that wants
// it, and each sink takes its own entries oldest first, one transfer at a time. A sink that
// fails waits, doubling its wait up to a cap; it never holds up another sink, and nothing here
// ever waits for a transfer, so the poll goes on whatever the receivers do. Notices older than
// the set age are dropped with a line in the log.
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "LogSink.h"
#include "NoticeQueue.h"
#include "NoticeSink.h"
#include "Scheduler.h"

namespace tovi {

struct NotifierSettings {
    int64_t maxAgeMs = 24 * 3600 * 1000;  // older notices are dropped
    int64_t firstRetryMs = 5000;          // the first wait after a failure; doubled at each further one
    int64_t maxRetryMs = 10 * 60 * 1000;  // the cap of the wait
};

class Notifier {
public:
    // `nowMs` is the Unix time in ms (the tests' virtual clock).
    Notifier(NoticeQueue& queue, Scheduler& scheduler, std::function<int64_t()> nowMs, LogSink& log,
             NotifierSettings settings = {});
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void SetSettings(NotifierSettings settings) { m_settings = settings; }
    // The sinks, replaced as a whole when Settings change; each starts on what the queue holds
    // for it (what a stopped program left too). The Notifier does not own them.
    void SetSinks(std::vector<NoticeSink*> sinks);
    // Queues the notice for every sink that wants it (given id and time when it has none) and
    // answers its id, or "" when no sink wants it or the queue refused it.
    std::string Post(Notice notice);
    // Sends a test notice to the named sink only.
    std::string SendTest(const std::string& sink);
    // A sink's deliveries fail, or a notice about trouble was the last word: the tray's warning.
    bool Trouble() const;
    std::function<void()> troubleChanged;

private:
    struct SinkState {
        NoticeSink* sink = nullptr;
        bool busy = false;
        Scheduler::TimerId timer = 0;
        int64_t retryMs = 0;  // the next back-off; 0 after a success
        int failures = 0;     // in a row
    };
    std::string Queue(Notice notice, const std::vector<std::string>& sinks);
    void Wake(const std::string& sink, int64_t afterMs);
    void Pump(const std::string& sink);
    void Delivered(const std::string& sink, const QueuedNotice& entry, const Delivery& delivery);
    void DropExpired();
    void NoteTrouble();

    NoticeQueue& m_queue;
    Scheduler& m_scheduler;
    std::function<int64_t()> m_now;
    LogSink& m_log;
    NotifierSettings m_settings;
    std::map<std::string, SinkState> m_sinks;
    Scheduler::TimerId m_expiryTimer = 0;
    bool m_serverTrouble = false;  // the server was lost or idle, and has not hosted since
    bool m_reportTrouble = false;  // the web reporting fails, and has not recovered since
    bool m_trouble = false;
    std::mt19937_64 m_random{std::random_device{}()};
    uint64_t m_counter = 0;
};

}  // namespace tovi
