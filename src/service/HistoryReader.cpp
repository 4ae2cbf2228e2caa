#include "HistoryReader.h"

#include <QMetaObject>

namespace tovi {

HistoryReader::HistoryReader(std::function<HistoryStore&()> own)
    : m_own(std::move(own)), m_home(std::make_unique<QObject>()) {}

HistoryReader::~HistoryReader() {
    Stop();
}

void HistoryReader::Start(Opener open, std::function<void()> handOver, std::function<void()> settle) {
    Stop();
    m_handOver = std::move(handOver);
    m_settle = std::move(settle);
    m_stop = false;
    m_failed = false;
    m_thread = std::thread([this, open = std::move(open)]() mutable { Run(std::move(open)); });
}

void HistoryReader::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_waiting.clear();
    }
    m_wake.notify_one();
    m_thread.join();
    // Answers already on their way belong to the store that was: they are dropped with the home
    // they were sent to.
    m_home = std::make_unique<QObject>();
    m_latest.clear();
    m_handOver = m_settle = nullptr;
}

void HistoryReader::Post(QObject* asker, int slot, Job job) {
    Request request{{asker, slot}, ++m_tickets, QPointer<QObject>(asker), std::move(job)};
    m_latest[request.Slot] = request.Ticket;
    if (!Threaded()) {
        Deliver(request, request.Read(m_own()));
        return;
    }
    if (m_handOver) m_handOver();
    {
        std::lock_guard lock(m_mutex);
        // A question still waiting in this slot is overtaken: never read.
        for (auto it = m_waiting.begin(); it != m_waiting.end();) {
            it = it->Slot == request.Slot ? m_waiting.erase(it) : it + 1;
        }
        m_waiting.push_back(std::move(request));
    }
    m_wake.notify_one();
}

void HistoryReader::Deliver(const Request& request, const std::function<void()>& answer) {
    const auto latest = m_latest.find(request.Slot);
    if (latest == m_latest.end() || latest->second != request.Ticket) return;  // overtaken
    m_latest.erase(latest);
    if (request.Asker) answer();
}

void HistoryReader::Run(Opener open) {
    // Opened and closed on this thread: a database connection is used by one thread only.
    std::unique_ptr<HistoryStore> store = open ? open() : nullptr;
    if (!store) m_failed = true;
    QObject* home = m_home.get();
    for (;;) {
        Request request;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
            if (m_stop) return;
            request = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        if (!store) {
            // Asked before the store was found missing: read on the event loop after all.
            QMetaObject::invokeMethod(
                home, [this, request] { Deliver(request, request.Read(m_own())); }, Qt::QueuedConnection);
            continue;
        }
        if (m_settle) m_settle();
        std::function<void()> answer = request.Read(*store);
        QMetaObject::invokeMethod(
            home, [this, request, answer] { Deliver(request, answer); }, Qt::QueuedConnection);
    }
}

void HistoryReader::Search(QObject* asker, int slot, const HistoryQuery& query,
                           std::function<void(HistoryResult)> done) {
    Ask<HistoryResult>(
        asker, slot,
        [query](HistoryStore& store) {
            HistoryResult result{store.Search(query), {}};
            result.Error = store.ReadError();
            return result;
        },
        std::move(done));
}

void HistoryReader::PlayerRecord(QObject* asker, int slot, const std::string& name,
                                 std::function<void(HistoryRead<PlayerHistory>)> done) {
    Ask<HistoryRead<PlayerHistory>>(
        asker, slot,
        [name](HistoryStore& store) {
            HistoryRead<PlayerHistory> read{store.PlayerRecord(name), {}};
            read.Error = store.ReadError();
            return read;
        },
        std::move(done));
}

void HistoryReader::Size(QObject* asker, int slot, std::function<void(HistoryRead<HistorySize>)> done) {
    Ask<HistoryRead<HistorySize>>(
        asker, slot,
        [](HistoryStore& store) {
            HistoryRead<HistorySize> read{store.Size(), {}};
            read.Error = store.ReadError();
            return read;
        },
        std::move(done));
}

void HistoryReader::Activity(QObject* asker, int slot, int64_t from, const std::string& server,
                             std::function<void(PlayerActivity)> done) {
    Ask<PlayerActivity>(
        asker, slot, [from, server](HistoryStore& store) { return store.Activity(from, server); },
        [this, server, done = std::move(done)](PlayerActivity activity) {
            // Said as the program knows it when the answer comes.
            if (const std::optional<bool> open = m_underWay ? m_underWay(server) : std::nullopt) {
                for (size_t i = 0; i < activity.Matches.size(); ++i) {
                    ActivityMatch& m = activity.Matches[i];
                    m.UnderWay = *open && i + 1 == activity.Matches.size() && m.Ended == 0;
                }
            }
            done(std::move(activity));
        });
}

}  // namespace tovi
