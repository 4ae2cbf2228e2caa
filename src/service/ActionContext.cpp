#include "ActionContext.h"

#include <utility>

namespace tovi {

// The face's dialogs, but an action that brings its own answers has its questions answered from
// them, at once and in order.
class ActionContext::Answering : public Dialogs {
public:
    explicit Answering(Dialogs& face) : m_face(face) {}
    std::deque<bool> answers;
    std::deque<std::string> inputs;

    // Set while an action runs for someone away from the desktop: what would reach the face.
    UnattendedOutcome* unattended = nullptr;
    std::deque<bool> unattendedAnswers;

    void Ask(const std::string& question, std::function<void(bool yes)> answer) override {
        if (answers.empty() && unattended && !unattendedAnswers.empty()) {
            answers.push_back(unattendedAnswers.front());
            unattendedAnswers.pop_front();
        }
        if (answers.empty() && unattended) {
            unattended->Unanswered.push_back(question);
            return answer(false);
        }
        if (answers.empty()) return m_face.Ask(question, std::move(answer));
        const bool yes = answers.front();
        answers.pop_front();
        answer(yes);
    }
    void Warn(const std::string& text) override {
        if (unattended) return unattended->Warnings.push_back(text);
        m_face.Warn(text);
    }
    void Inform(const std::string& text) override {
        if (unattended) return unattended->Notes.push_back(text);
        m_face.Inform(text);
    }
    void InputBox(const std::string& prompt, const std::string& title,
                  std::function<void(std::optional<std::string> text)> answer) override {
        if (TakeInput(prompt, answer)) return;
        m_face.InputBox(prompt, title, std::move(answer));
    }
    void LimitedInputBox(const std::string& prompt, const std::string& title, size_t maxLength,
                         std::function<void(std::optional<std::string> text)> answer) override {
        if (TakeInput(prompt, answer)) return;
        m_face.LimitedInputBox(prompt, title, maxLength, std::move(answer));
    }

private:
    // Answers an input box from the action's texts, or cancels it for someone away; false: the
    // face asks.
    bool TakeInput(const std::string& prompt, std::function<void(std::optional<std::string> text)>& answer) {
        if (inputs.empty() && unattended) {
            unattended->Unanswered.push_back(prompt);
            answer(std::nullopt);
            return true;
        }
        if (inputs.empty()) return false;
        std::string text = std::move(inputs.front());
        inputs.pop_front();
        answer(std::move(text));
        return true;
    }

    Dialogs& m_face;
};

ActionContext::ActionContext(Dialogs& face, PlayerListLookup& list,
                             std::function<void(const std::string&)> actorChanged)
    : m_face(face),
      m_list(list),
      m_actorChanged(std::move(actorChanged)),
      m_answering(std::make_unique<Answering>(face)) {}

ActionContext::~ActionContext() = default;

Dialogs& ActionContext::Questions() {
    return *m_answering;
}

UnattendedOutcome ActionContext::RunUnattended(const std::function<void()>& action, std::deque<bool> answers) {
    UnattendedOutcome outcome;
    UnattendedOutcome* const outer = m_answering->unattended;
    std::deque<bool> outerAnswers = std::exchange(m_answering->unattendedAnswers, std::move(answers));
    m_answering->unattended = &outcome;
    action();
    m_answering->unattended = outer;
    m_answering->unattendedAnswers = std::move(outerAnswers);
    return outcome;
}

std::optional<ListedPlayer> ActionContext::SelectedPlayer() {
    return m_chosen ? m_chosen : m_list.SelectedPlayer();
}

ActionContext::Acting::Acting(ActionContext& context, const std::string& actor, std::optional<ListedPlayer> player,
                              std::deque<bool> answers, std::deque<std::string> inputs)
    : m_context(context) {
    m_context.m_actor = actor;
    if (m_context.m_actorChanged) m_context.m_actorChanged(actor);
    m_context.m_chosen = std::move(player);
    m_context.m_answering->answers = std::move(answers);
    m_context.m_answering->inputs = std::move(inputs);
}

ActionContext::Acting::~Acting() {
    m_context.m_actor.clear();
    if (m_context.m_actorChanged) m_context.m_actorChanged({});
    m_context.m_chosen.reset();
    m_context.m_answering->answers.clear();
    m_context.m_answering->inputs.clear();
}

}  // namespace tovi
