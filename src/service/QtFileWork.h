#pragma once
// FileWork on a thread of its own: the durable writes of the stats files wait for the disk there,
// one after another in the order handed over, and their answers come back to the thread that
// made this object, through its event loop, in the same order.
#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "FileWork.h"

namespace tovi {

class QtFileWork : public QObject, public FileWork {
public:
    explicit QtFileWork(QObject* parent = nullptr);
    // Finishes what was handed over (its answers do not run any more) and ends the thread.
    ~QtFileWork() override;
    QtFileWork(const QtFileWork&) = delete;
    QtFileWork& operator=(const QtFileWork&) = delete;

    void Run(std::function<void()> work, std::function<void()> answer) override;
    void Finish() override;

private:
    void Work();
    // Runs the answers that are due, oldest first, on this object's thread.
    void Answer();

    std::mutex m_mutex;
    std::condition_variable m_wake;  // work handed over, or the end
    std::condition_variable m_idle;  // a piece done
    std::deque<std::pair<std::function<void()>, std::function<void()>>> m_todo;
    std::deque<std::function<void()>> m_answers;
    bool m_running = false;        // a piece runs now
    bool m_answerPosted = false;   // Answer is on its way through the event loop
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace tovi
