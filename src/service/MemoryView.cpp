#include "MemoryView.h"

#include <algorithm>
#include <charconv>

namespace tovi {

namespace {

// A spin box takes only a number in its range; anything else leaves it as it was.
void SetNumber(int& target, const std::string& text, ValueRange range) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size() && range.Holds(value)) target = value;
}

}  // namespace

std::string MemoryView::Text(SettingsText box) {
    switch (box) {
        case SettingsText::txtMinPlayers:
            return std::to_string(m_minPlayers);
        case SettingsText::txtScoringSeconds:
            return std::to_string(m_scoringSeconds);
        default:
            return m_texts[box];
    }
}

void MemoryView::SetText(SettingsText box, const std::string& text) {
    switch (box) {
        case SettingsText::txtMinPlayers:
            SetNumber(m_minPlayers, text, kMinPlayers);
            break;
        case SettingsText::txtScoringSeconds:
            SetNumber(m_scoringSeconds, text, kScoringSeconds);
            break;
        default:
            m_texts[box] = text;
            break;
    }
}

void MemoryView::SetChecked(SettingsBox box, bool ticked) {
    const bool changed = m_checked[box] != ticked;
    m_checked[box] = ticked;
    if (changed && box == SettingsBox::chkEnableAutoMessages && m_toggled) m_toggled(ticked);
}

void MemoryView::SetValue(SettingsNumber control, int value) {
    switch (control) {
        case SettingsNumber::slideAutoMes:
            m_autoMesMinutes = std::clamp(value, kAutoMessageMinutes.min, kAutoMessageMinutes.max);
            break;
        case SettingsNumber::UpDown:
            m_minPlayers = std::clamp(value, kMinPlayers.min, kMinPlayers.max);
            break;
        case SettingsNumber::UpDown1:
            m_scoringSeconds = std::clamp(value, kScoringSeconds.min, kScoringSeconds.max);
            break;
    }
}

}  // namespace tovi
