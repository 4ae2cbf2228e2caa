#include "ConsoleChannel.h"

#include <algorithm>

#include "GameAddresses.h"
#include "MatchState.h"

namespace tovi {

namespace {

// Every text typed into the console passes here: a control byte (a line end in a name, a message
// or a reason) would act as a key in the game's console, so it goes in as a blank.
std::string ConsoleText(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    }
    return text;
}

}  // namespace

ConsoleChannel::ConsoleChannel(MemoryClass& memory, Scheduler& scheduler, LogSink& log)
    : m_memory(memory), m_scheduler(scheduler), m_log(log) {}

ConsoleChannel::~ConsoleChannel() {
    if (m_timer) m_scheduler.Cancel(*m_timer);
}

void ConsoleChannel::SendServerCommand(const std::string& Command, const std::string& Argument, Done done,
                                       Check stillWanted, SendNote note) {
    if (note.Who.empty()) note.Who = m_actor;
    m_queue.push_back(Send{ConsoleText(Command), ConsoleText(Argument), std::move(done), std::move(stillWanted),
                           std::move(note)});
    if (!m_current && !m_timer) ScheduleNext();
}

void ConsoleChannel::ScheduleNext() {
    m_timer = m_scheduler.Schedule(0, [this] {
        m_timer.reset();
        Begin();
    });
}

void ConsoleChannel::Wait(int steps, void (ConsoleChannel::*next)()) {
    m_timer = m_scheduler.Schedule(steps * kWaitStepMs, [this, next] {
        m_timer.reset();
        (this->*next)();
    });
}

void ConsoleChannel::Begin() {
    if (m_queue.empty()) return;
    m_current = std::move(m_queue.front());
    m_queue.pop_front();
    const Send& send = *m_current;

    if (send.stillWanted && !send.stillWanted()) return Finish(SendOutcome::Skipped);

    // A longer text would run over the console's open flag and the game's memory after it.
    const size_t longest = std::max(send.command.size(), send.argument.size());
    if (longest > kMaxTextLength) {
        m_log.Log("Command " + send.command + " not sent: the text is " + std::to_string(longest) +
                  " characters long, at most " + std::to_string(kMaxTextLength) + " fit the console" +
                  ByWhom(send.note.Who));
        return Finish(SendOutcome::TooLong);
    }

    // Only loading (1) and not running at all (0, also what a gone process reads as) are refused.
    const uint8_t state = m_memory.ReadAByte(game::kGameState);
    if (state == 0 || state == kStateLoading) {
        m_log.Log("Can not send command while cycling");
        return Finish(SendOutcome::Cycling);
    }

    m_memory.PressKey(GameKeystroke::Console);
    Wait(kShortWaitSteps, &ConsoleChannel::AfterConsoleKey);
}

void ConsoleChannel::AfterConsoleKey() {
    if (m_memory.ReadAByte(game::kConsoleOpenFlag) != 1) return Fail();
    // Whether a write took is not checked: the flag check after Enter tells whether the console
    // took the line.
    m_memory.WriteMemory(game::kConsoleLine, m_current->command, true);
    m_memory.PressKey(GameKeystroke::Enter);
    Wait(kShortWaitSteps, &ConsoleChannel::AfterCommandWord);
}

void ConsoleChannel::AfterCommandWord() {
    if (m_memory.ReadAByte(game::kConsoleOpenFlag) != 1) return Fail();
    // The console needs about a second after the command word before it takes the argument.
    Wait(kLongWaitSteps, &ConsoleChannel::TypeArgument);
}

void ConsoleChannel::TypeArgument() {
    m_memory.WriteMemory(game::kConsoleLine, m_current->argument, true);
    m_memory.PressKey(GameKeystroke::Enter);
    Finish(SendOutcome::Sent);
}

void ConsoleChannel::Fail() {
    // The console is left as it is; nothing is retried.
    m_log.Log("Command " + m_current->command + " failed" + ByWhom(m_current->note.Who));
    Finish(SendOutcome::Failed);
}

void ConsoleChannel::Finish(SendOutcome outcome) {
    Done done = std::move(m_current->done);
    if (m_observer) m_observer({m_current->command, m_current->argument, m_current->note, outcome});
    m_current.reset();
    // The next send starts on a later turn, so a Done that queues a send never runs it inside itself.
    if (!m_queue.empty()) ScheduleNext();
    if (done) done(outcome);
}

std::string ConsoleLineProblem(std::string_view line) {
    if (line.empty()) return "No text was given.";
    for (char c : line)
        if (static_cast<unsigned char>(c) < 32 || c == 127) return "The text holds control characters.";
    if (line.size() > static_cast<size_t>(kChatLineMaxLength))
        return "A line takes at most " + std::to_string(kChatLineMaxLength) + " characters.";
    return {};
}

std::optional<ConsoleCommand> ChatLineCommand(const std::string& text) {
    if (text.empty()) return std::nullopt;
    if (text.front() == '/') return ConsoleCommand{"command", text.substr(1)};
    return ConsoleCommand{"gtalk", text};
}

}  // namespace tovi
