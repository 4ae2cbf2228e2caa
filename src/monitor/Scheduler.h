#pragma once
// Time as the core sees it: callbacks scheduled after a delay, cancellable. The program uses
// precise Qt timers; tests use VirtualScheduler and move time themselves.
#include <cstdint>
#include <functional>
#include <map>

namespace tovi {

class Scheduler {
public:
    using TimerId = uint64_t;
    virtual ~Scheduler() = default;
    // Runs `callback` once, `delayMs` from now, on the user-interface thread. Never runs it
    // from inside this call.
    virtual TimerId Schedule(int delayMs, std::function<void()> callback) = 0;
    // Forgets a scheduled callback that has not run yet; nothing happens for one that has.
    virtual void Cancel(TimerId id) = 0;
};

// A clock that stands still until told to move.
class VirtualScheduler : public Scheduler {
public:
    TimerId Schedule(int delayMs, std::function<void()> callback) override;
    void Cancel(TimerId id) override;
    // Moves time forward, running every callback that falls due on the way, in time order
    // (callbacks due at the same moment run in the order they were scheduled).
    void Advance(int64_t ms);
    int64_t Now() const { return m_now; }
    size_t Pending() const { return m_due.size(); }

private:
    struct Key {
        int64_t at;
        TimerId id;
        bool operator<(const Key& other) const { return at != other.at ? at < other.at : id < other.id; }
    };
    int64_t m_now = 0;
    TimerId m_nextId = 1;
    std::map<Key, std::function<void()>> m_due;
};

}  // namespace tovi
