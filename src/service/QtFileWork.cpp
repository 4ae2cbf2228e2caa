#include "QtFileWork.h"

#include <QMetaObject>

namespace tovi {

QtFileWork::QtFileWork(QObject* parent) : QObject(parent), m_thread([this] { Work(); }) {}

QtFileWork::~QtFileWork() {
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_todo.empty() && !m_running; });
        m_stop = true;
        m_answers.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void QtFileWork::Run(std::function<void()> work, std::function<void()> answer) {
    {
        std::lock_guard lock(m_mutex);
        m_todo.emplace_back(std::move(work), std::move(answer));
    }
    m_wake.notify_one();
}

void QtFileWork::Work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_todo.empty(); });
        if (m_todo.empty()) return;
        auto [work, answer] = std::move(m_todo.front());
        m_todo.pop_front();
        m_running = true;
        lock.unlock();
        work();
        lock.lock();
        m_running = false;
        m_answers.push_back(std::move(answer));
        if (!m_answerPosted) {
            m_answerPosted = true;
            QMetaObject::invokeMethod(this, [this] { Answer(); }, Qt::QueuedConnection);
        }
        m_idle.notify_all();
    }
}

void QtFileWork::Answer() {
    for (;;) {
        std::function<void()> answer;
        {
            std::lock_guard lock(m_mutex);
            if (m_answers.empty()) {
                m_answerPosted = false;
                return;
            }
            answer = std::move(m_answers.front());
            m_answers.pop_front();
        }
        // Outside the lock: an answer may hand over more work.
        answer();
    }
}

void QtFileWork::Finish() {
    // An answer may hand over more work, whose answer is due too.
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_idle.wait(lock, [this] { return m_todo.empty() && !m_running; });
            if (m_answers.empty()) return;
        }
        Answer();
    }
}

}  // namespace tovi
