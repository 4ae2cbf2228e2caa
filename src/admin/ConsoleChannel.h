#pragma once
// SendServerCommand: types a command word and its argument into the game's console the way a
// person at the server's keyboard would. Sends run one at a time from a queue, and every wait
// inside a send is a scheduled continuation, so the window and the poll keep running meanwhile.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ActionKind.h"
#include "LogSink.h"
#include "MemoryClass.h"
#include "Scheduler.h"

namespace tovi {

// Who acts at the window, as the record, the ban list and the notices name him.
inline constexpr const char* kOperatorAtWindow = "operator at the window";
// Who acted by a rule of the program, as log lines name them.
inline constexpr const char* kByBanList = "ban list";
inline constexpr const char* kByWarningLadder = "warning ladder";

// ", by " and who acted, for a log line: an account of the web panel or a rule of the program;
// nothing for the operator at the window, who reads the log.
inline std::string ByWhom(const std::string& who) {
    return who.empty() || who == kOperatorAtWindow ? std::string() : ", by " + who;
}

// How a send ended.
enum class SendOutcome {
    Sent,     // both lines typed; whether the game carried the command out is not known
    Skipped,  // its check said it was no longer wanted when its turn came; nothing typed
    TooLong,  // a text does not fit the console's input line; nothing typed
    Cycling,  // the server was loading a mission or not hosting; nothing typed
    Failed,   // the console did not stay open
};

// What a send is, for the record of admin actions: the action it carries out (Unnamed: chat or a
// command, after its command word), the player it aims at and the reason given. Automatic sends
// are the program's own (automatic messages, the periodic chat).
struct SendNote {
    ActionKind Action = ActionKind::Unnamed;
    std::string Target;
    std::string Reason;
    bool Automatic = false;
    // Filled by whoever drops the send (its check, an announcement refused before it) with why,
    // for the record; shared, as the reason is known only after the send was queued.
    std::shared_ptr<std::string> SkipWhy = {};
    // Who asked for the send, for the record; empty for the operator at the window.
    std::string Who = {};
};

// An admin action that ended before anything was sent: refused (no player selected, its
// announcement refused) or skipped (the operator cancelled, the player left meanwhile).
struct UnsentAction {
    ActionKind Action = ActionKind::Unnamed;
    std::string Target;
    std::string Reason;
    bool Refused = true;  // false: skipped
    std::string Why;
    std::string Who = {};  // empty for the operator at the window
};

// A send that has ended, as the record's observer learns of it.
struct FinishedSend {
    std::string Command;
    std::string Argument;
    SendNote Note;
    SendOutcome Outcome = SendOutcome::Sent;
};

class ConsoleChannel {
public:
    // Told once when the send has ended, however it ended.
    using Done = std::function<void(SendOutcome)>;
    // Asked when the send's turn comes; false skips the send.
    using Check = std::function<bool()>;

    ConsoleChannel(MemoryClass& memory, Scheduler& scheduler, LogSink& log);
    // Forgets queued sends and stops the one under way; their Done is not called.
    ~ConsoleChannel();
    ConsoleChannel(const ConsoleChannel&) = delete;
    ConsoleChannel& operator=(const ConsoleChannel&) = delete;

    // Queues one send; it starts on a later turn of the event loop, never inside this call.
    void SendServerCommand(const std::string& Command, const std::string& Argument, Done done = {},
                           Check stillWanted = {}, SendNote note = {});
    // Who queues sends from now on (an account of the web panel); empty for the operator at the
    // window. A send's note keeps whoever was acting when it was queued.
    void SetActor(std::string who) { m_actor = std::move(who); }
    const std::string& Actor() const { return m_actor; }
    // Told of every send when it ends, before its Done.
    void SetObserver(std::function<void(const FinishedSend&)> observer) { m_observer = std::move(observer); }

    // A send is under way or waiting for its turn.
    bool Busy() const { return m_current.has_value() || !m_queue.empty(); }
    // Sends waiting behind the one under way.
    size_t Waiting() const { return m_queue.size(); }

    static constexpr int kWaitStepMs = 20;
    static constexpr int kShortWaitSteps = 5;
    static constexpr int kLongWaitSteps = 50;
    // From a send's start to its argument typed, when the console is free.
    static constexpr int kArgumentAfterMs = (2 * kShortWaitSteps + kLongWaitSteps) * kWaitStepMs;
    // The input line holds 300 bytes up to the console's open flag, the zero byte included.
    static constexpr size_t kMaxTextLength = 299;

private:
    struct Send {
        std::string command;
        std::string argument;
        Done done;
        Check stillWanted;
        SendNote note;
    };

    void ScheduleNext();
    void Begin();
    void AfterConsoleKey();
    void AfterCommandWord();
    void TypeArgument();
    void Fail();
    void Finish(SendOutcome outcome);
    void Wait(int steps, void (ConsoleChannel::*next)());

    MemoryClass& m_memory;
    Scheduler& m_scheduler;
    LogSink& m_log;
    std::deque<Send> m_queue;
    std::optional<Send> m_current;
    std::optional<Scheduler::TimerId> m_timer;
    std::function<void(const FinishedSend&)> m_observer;
    std::string m_actor;
};

// What the chat line (cmdSendText) sends for the text of txtType: nothing for an empty text,
// the rest of the line as a server command after "/", anything else as chat.
struct ConsoleCommand {
    std::string Command;
    std::string Argument;
    bool operator==(const ConsoleCommand&) const = default;
};
std::optional<ConsoleCommand> ChatLineCommand(const std::string& text);

// Typing into txtType stops at this many characters; Enter still sends.
inline constexpr int kChatLineMaxLength = 123;

// Why a line for the chat or the console cannot be sent as it is; empty when it can. Every face
// checks by this one rule: a control byte would end the line early and what follows would be
// typed as a command of its own; a longer line than the game's box takes would be cut.
std::string ConsoleLineProblem(std::string_view line);

}  // namespace tovi
