#pragma once
// Work on the operators' files that waits for the disk. Every durable write waits for its flush
// (milliseconds each, more on a busy disk), and a match end makes several: handed over here, the
// event loop does not wait with them. The work runs in the order it was handed over, one piece
// at a time, so that the files change in the order the program asked for; each piece's answer
// comes back on the event loop's thread, in the same order. What a piece reports as done is on
// the disk when its answer runs.
#include <functional>

namespace tovi {

class FileWork {
public:
    virtual ~FileWork() = default;
    // Runs `work` after every piece handed over before it, then `answer` on the event loop's thread.
    // `work` touches only what no answer and no other thread touches meanwhile.
    virtual void Run(std::function<void()> work, std::function<void()> answer) = 0;
    // Waits until every piece handed over is done and runs the answers still due, here: for a
    // stop, which must see the files as the work leaves them.
    virtual void Finish() = 0;
};

// Runs each piece and its answer at once, inside Run: for the core's tests and for whatever
// has no event loop to come back to.
class InlineFileWork : public FileWork {
public:
    void Run(std::function<void()> work, std::function<void()> answer) override {
        work();
        answer();
    }
    void Finish() override {}
};

// The one InlineFileWork that owners without a thread of their own share (it holds no state).
FileWork& InlineWork();

}  // namespace tovi
