#pragma once
// The operator's reads of the record (searches, a player's record, the size, the players chart)
// run on a thread of their own, through a read-only store of their own, so that a search over a
// large record never holds the event loop: the window and the panel ask, and their answer comes
// later, on the event loop, to the asker if it still stands.
//
// Reads run one at a time, in the order asked. A face asks under a slot of its own (the strip's
// search, its size line): a newer question in a slot takes the place of one still waiting, and
// an answer that a newer question in its slot has overtaken is never delivered.
//
// Without a read-only store (no record, a store that cannot be opened twice, tests), a read runs
// on the event loop at once through the program's own store, as before.
#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "HistoryStore.h"

namespace tovi {

// A read's answer, or why it could not be read whole (then no answer is shown).
template <class T>
struct HistoryRead {
    T Value{};
    std::string Error;
};

class HistoryReader {
public:
    using Opener = std::function<std::unique_ptr<HistoryStore>()>;
    // `own` is the program's store as it stands, for reads on the event loop.
    explicit HistoryReader(std::function<HistoryStore&()> own);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    // From now on, reads run on a thread that opens its store with `open` (null: none could be
    // opened, and reads run on the event loop). `handOver` runs on the event loop as a read is
    // asked, and `settle` on the reader's thread before each read: together they let a read see
    // what the program's own store was given until then (its writes go to the disk on a thread
    // of their own; the read store sees them once written).
    void Start(Opener open, std::function<void()> handOver = {}, std::function<void()> settle = {});
    // Waits for the read under way; what waits is dropped, and reads run on the event loop again.
    void Stop();
    // Whether the newest match of the server with this code is under way, as the program knows
    // it (a read store knows only what is written, not whether the match it holds still runs);
    // none for a server whose rows alone tell.
    void SetUnderWay(std::function<std::optional<bool>(const std::string& server)> underWay) {
        m_underWay = std::move(underWay);
    }
    // Whether reads run away from the event loop: started, and a read store opened (or still
    // being opened).
    bool Threaded() const { return m_thread.joinable() && !m_failed.load(); }

    void Search(QObject* asker, int slot, const HistoryQuery& query, std::function<void(HistoryResult)> done);
    void PlayerRecord(QObject* asker, int slot, const std::string& name,
                      std::function<void(HistoryRead<PlayerHistory>)> done);
    void Size(QObject* asker, int slot, std::function<void(HistoryRead<HistorySize>)> done);
    void Activity(QObject* asker, int slot, int64_t from, const std::string& server,
                  std::function<void(PlayerActivity)> done);

    // Any read: `read` runs on the reader's thread with its store (or on the event loop with the
    // program's own), `done` on the event loop with its answer, if `asker` still stands and no
    // newer question in its slot overtook it.
    template <class R>
    void Ask(QObject* asker, int slot, std::function<R(HistoryStore&)> read, std::function<void(R)> done) {
        Post(asker, slot, [read = std::move(read), done = std::move(done)](HistoryStore& store) {
            auto answer = std::make_shared<R>(read(store));
            return std::function<void()>([answer, done] { done(std::move(*answer)); });
        });
    }

private:
    // Reads; answers what delivers the result.
    using Job = std::function<std::function<void()>(HistoryStore&)>;
    using Key = std::pair<const QObject*, int>;
    struct Request {
        Key Slot;
        uint64_t Ticket = 0;
        QPointer<QObject> Asker;
        Job Read;
    };
    void Post(QObject* asker, int slot, Job job);
    void Deliver(const Request& request, const std::function<void()>& answer);
    void Run(Opener open);

    std::function<HistoryStore&()> m_own;
    std::function<void()> m_handOver, m_settle;
    std::function<std::optional<bool>(const std::string&)> m_underWay;
    // Answers go through it: a read that ends after the reader is gone is delivered to no one.
    std::unique_ptr<QObject> m_home;
    std::map<Key, uint64_t> m_latest;  // the newest question in each slot (event loop only)
    uint64_t m_tickets = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Request> m_waiting;
    bool m_stop = false;
    std::atomic<bool> m_failed{false};
    std::thread m_thread;
};

}  // namespace tovi
