#include "BanList.h"

#include <algorithm>
#include <charconv>

#include "Windows1252.h"

namespace tovi {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool HasControl(std::string_view text) {
    return std::ranges::any_of(text, [](char c) { return static_cast<unsigned char>(c) < 32; });
}

std::optional<int64_t> Number(std::string_view text) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

constexpr int64_t kMinute = 60, kHour = 3600, kDay = 86400, kWeek = 7 * 86400;
// Beyond a hundred years a ban is as good as never ending; the bound keeps sums from overflowing.
constexpr int64_t kMaxDuration = 100LL * 366 * kDay;

}  // namespace

BanState StateOf(const BanEntry& entry, int64_t now) {
    if (entry.LiftedAt != 0) return BanState::Lifted;
    if (entry.ExpiresAt != 0 && now >= entry.ExpiresAt) return BanState::Expired;
    return BanState::Active;
}

const char* BanStateText(BanState state) {
    switch (state) {
        case BanState::Active:
            return "active";
        case BanState::Expired:
            return "expired";
        case BanState::Lifted:
            return "lifted";
    }
    return "";
}

std::string BanNameKey(std::string_view name, bool exactCase) {
    const std::string_view trimmed = Trim(name);
    return exactCase ? std::string(trimmed) : LowerCase1252(trimmed);
}

bool BanNameMatches(const BanEntry& entry, std::string_view playerName) {
    const std::string_view a = Trim(entry.Name), b = Trim(playerName);
    if (a.empty()) return false;
    return entry.ExactCase ? a == b : EqualIgnoringCase(a, b);
}

std::string BanList::Problem(const BanEntry& e) {
    if (Trim(e.Name).empty()) return "the name is empty";
    // A name is the game's: whatever bytes a player chose, he can be banned. The game's names end
    // at a zero byte, so none holds one.
    if (e.Name.find('\0') != std::string::npos) return "the name holds a zero byte";
    for (const std::string* text : {&e.Reason, &e.IssuedBy, &e.Notes, &e.LiftedBy, &e.LiftReason}) {
        if (HasControl(*text)) return "a text holds control characters";
    }
    if (e.ExpiresAt < 0 || e.IssuedAt < 0 || e.LiftedAt < 0) return "a time is before 1970";
    if (e.ExpiresAt != 0 && e.ExpiresAt <= e.IssuedAt) return "it expires before it was issued";
    return "";
}

bool BanList::Load(std::string& error) {
    if (!m_store) return true;
    std::vector<BanEntry> bans;
    std::vector<PlayerWarning> warnings;
    if (!m_store->Load(bans, warnings, error)) return false;
    Replace(std::move(bans), std::move(warnings));
    return true;
}

void BanList::Replace(std::vector<BanEntry> bans, std::vector<PlayerWarning> warnings) {
    m_entries = std::move(bans);
    m_warnings = std::move(warnings);
    ++m_revision;
}

const BanEntry* BanList::Find(int64_t id) const {
    for (const BanEntry& e : m_entries) {
        if (e.Id == id) return &e;
    }
    return nullptr;
}

const BanEntry* BanList::ActiveBanFor(std::string_view playerName, int64_t now) const {
    const BanEntry* best = nullptr;
    for (const BanEntry& e : m_entries) {
        if (StateOf(e, now) != BanState::Active || !BanNameMatches(e, playerName)) continue;
        if (!best || (best->ExpiresAt != 0 && (e.ExpiresAt == 0 || e.ExpiresAt > best->ExpiresAt))) best = &e;
    }
    return best;
}

std::vector<BanEntry> BanList::EntriesFor(std::string_view playerName) const {
    std::vector<BanEntry> record;
    for (const BanEntry& e : m_entries) {
        if (BanNameMatches(e, playerName)) record.push_back(e);
    }
    return record;
}

bool BanList::Persist(std::vector<BanEntry*> entries, std::string& error) {
    if (m_store) return m_store->Save(std::move(entries), error);
    for (BanEntry* e : entries) {
        if (e->Id == 0) e->Id = m_nextId++;
    }
    return true;
}

std::optional<int64_t> BanList::Add(BanEntry entry, std::string& error) {
    entry.Id = 0;
    entry.Name = std::string(Trim(entry.Name));
    error = Problem(entry);
    if (!error.empty()) return std::nullopt;
    if (!Persist({&entry}, error)) return std::nullopt;
    m_entries.push_back(std::move(entry));
    ++m_revision;
    return m_entries.back().Id;
}

bool BanList::Edit(const BanEntry& changed, std::string& error) {
    auto it = std::ranges::find(m_entries, changed.Id, &BanEntry::Id);
    if (changed.Id == 0 || it == m_entries.end()) {
        error = "the entry is not in the list";
        return false;
    }
    BanEntry next = *it;
    next.Name = std::string(Trim(changed.Name));
    next.ExactCase = changed.ExactCase;
    next.Reason = changed.Reason;
    next.ExpiresAt = changed.ExpiresAt;
    next.Notes = changed.Notes;
    error = Problem(next);
    if (!error.empty() || !Persist({&next}, error)) return false;
    *it = std::move(next);
    ++m_revision;
    return true;
}

bool BanList::Lift(int64_t id, int64_t time, const std::string& by, const std::string& reason,
                   std::string& error) {
    auto it = std::ranges::find(m_entries, id, &BanEntry::Id);
    if (id == 0 || it == m_entries.end()) {
        error = "the entry is not in the list";
        return false;
    }
    if (it->LiftedAt != 0) {
        error = "it was lifted already";
        return false;
    }
    BanEntry next = *it;
    next.LiftedAt = std::max<int64_t>(time, 1);
    next.LiftedBy = by;
    next.LiftReason = reason;
    error = Problem(next);
    if (!error.empty() || !Persist({&next}, error)) return false;
    *it = std::move(next);
    ++m_revision;
    return true;
}

bool BanList::AddAll(std::vector<BanEntry> entries, std::string& error) {
    std::vector<BanEntry*> pointers;
    for (BanEntry& e : entries) {
        e.Id = 0;
        e.Name = std::string(Trim(e.Name));
        error = Problem(e);
        if (!error.empty()) {
            error = e.Name + ": " + error;
            return false;
        }
        pointers.push_back(&e);
    }
    if (!Persist(pointers, error)) return false;
    for (BanEntry& e : entries) m_entries.push_back(std::move(e));
    ++m_revision;
    return true;
}

bool BanList::AddWarning(PlayerWarning warning, std::string& error) {
    warning.Name = std::string(Trim(warning.Name));
    if (warning.Name.empty() || warning.Name.find('\0') != std::string::npos || HasControl(warning.Text) ||
        HasControl(warning.IssuedBy)) {
        error = "the warning's name is empty or a text holds control characters";
        return false;
    }
    if (m_store && !m_store->AddWarning(warning, error)) return false;
    if (!m_store) warning.Id = static_cast<int64_t>(m_warnings.size()) + 1;
    m_warnings.push_back(std::move(warning));
    ++m_revision;
    return true;
}

int BanList::WarningsSince(std::string_view name, int64_t since) const {
    return static_cast<int>(std::ranges::count_if(m_warnings, [&](const PlayerWarning& w) {
        return w.Time >= since && EqualIgnoringCase(Trim(w.Name), Trim(name));
    }));
}

std::optional<int64_t> ParseDuration(std::string_view text) {
    text = Trim(text);
    const std::string lower = LowerCase1252(text);
    if (lower == "never" || lower == "0") return 0;
    if (text.empty()) return std::nullopt;
    int64_t total = 0;
    size_t i = 0;
    while (i < lower.size()) {
        size_t j = i;
        while (j < lower.size() && lower[j] >= '0' && lower[j] <= '9') ++j;
        if (j == i || j == lower.size() || j - i > 6) return std::nullopt;
        const std::optional<int64_t> n = Number(std::string_view(lower).substr(i, j - i));
        int64_t unit = 0;
        switch (lower[j]) {
            case 's':
                unit = 1;
                break;
            case 'm':
                unit = kMinute;
                break;
            case 'h':
                unit = kHour;
                break;
            case 'd':
                unit = kDay;
                break;
            case 'w':
                unit = kWeek;
                break;
            default:
                return std::nullopt;
        }
        total += *n * unit;
        if (total > kMaxDuration) return std::nullopt;
        i = j + 1;
    }
    if (total == 0) return std::nullopt;  // "0d" is no duration; "never" says so
    return total;
}

std::string ForDuration(int64_t seconds) {
    return seconds > 0 ? "for " + DurationText(seconds) : "for good";
}

std::string DurationText(int64_t seconds) {
    if (seconds <= 0) return "never";
    std::string text;
    for (const auto& [unit, letter] :
         {std::pair{kWeek, 'w'}, {kDay, 'd'}, {kHour, 'h'}, {kMinute, 'm'}, {int64_t{1}, 's'}}) {
        // Weeks only when they are whole: "10d" reads better than "1w3d".
        if (unit == kWeek && seconds % kWeek != 0) continue;
        if (seconds >= unit) {
            text += std::to_string(seconds / unit) + letter;
            seconds %= unit;
        }
    }
    return text;
}

std::string TimeLeftText(int64_t seconds) {
    if (seconds < 1) seconds = 1;
    std::vector<std::pair<int64_t, const char*>> parts;
    for (const auto& [unit, name] :
         {std::pair{kDay, "day"}, {kHour, "hour"}, {kMinute, "minute"}, {int64_t{1}, "second"}}) {
        if (seconds >= unit || (unit == 1 && parts.empty())) parts.emplace_back(seconds / unit, name);
        seconds %= unit;
        if (parts.size() == 2) break;
    }
    std::string text;
    for (const auto& [n, name] : parts) {
        if (n == 0) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(n) + " " + name + (n == 1 ? "" : "s");
    }
    return text;
}

std::vector<BanPreset> ParseBanPresets(std::string_view text, std::vector<std::string>* bad) {
    std::vector<BanPreset> presets;
    int lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = Trim(line);
        if (line.empty()) continue;
        const size_t blank = line.find_first_of(" \t");
        const std::optional<int64_t> seconds =
            blank == std::string_view::npos ? std::nullopt : ParseDuration(line.substr(0, blank));
        const std::string_view reason = blank == std::string_view::npos ? "" : Trim(line.substr(blank));
        if (!seconds || reason.empty() || HasControl(reason)) {
            if (bad)
                bad->push_back("line " + std::to_string(lineNumber) + ": a duration, a blank and a reason");
            continue;
        }
        presets.push_back({std::string(reason), *seconds});
    }
    return presets;
}

std::string BanPresetsText(const std::vector<BanPreset>& presets) {
    std::string text;
    for (const BanPreset& p : presets) text += DurationText(p.Seconds) + " " + p.Reason + "\r\n";
    return text;
}

std::optional<WarningStep> WarningLadder::StepFor(int count) const {
    std::optional<WarningStep> reached;
    for (const WarningStep& step : Steps) {
        if (count >= step.Count) reached = step;
    }
    return reached;
}

std::optional<std::vector<WarningStep>> ParseWarningSteps(std::string_view text) {
    std::vector<WarningStep> steps;
    while (true) {
        const size_t comma = text.find(',');
        const std::string lower = LowerCase1252(Trim(text.substr(0, comma)));
        if (!lower.empty()) {
            std::vector<std::string> words;
            size_t i = 0;
            while (i < lower.size()) {
                const size_t start = lower.find_first_not_of(" \t", i);
                if (start == std::string::npos) break;
                const size_t stop = std::min(lower.find_first_of(" \t", start), lower.size());
                words.push_back(lower.substr(start, stop - start));
                i = stop;
            }
            const std::optional<int64_t> count = Number(words[0]);
            if (!count || *count < 1 || *count > 100 || words.size() < 2) return std::nullopt;
            WarningStep step{static_cast<int>(*count), false, 0};
            if (words[1] == "punt" && words.size() == 2) {
                step.Ban = false;
            } else if (words[1] == "ban" && words.size() <= 3) {
                step.Ban = true;
                const std::optional<int64_t> seconds =
                    words.size() == 3 ? ParseDuration(words[2]) : int64_t{0};
                if (!seconds) return std::nullopt;
                step.BanSeconds = *seconds;
            } else {
                return std::nullopt;
            }
            // Each step needs more warnings than the one before.
            if (!steps.empty() && step.Count <= steps.back().Count) return std::nullopt;
            steps.push_back(step);
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return steps;
}

std::string WarningStepsText(const std::vector<WarningStep>& steps) {
    std::string text;
    for (const WarningStep& s : steps) {
        if (!text.empty()) text += ", ";
        text += std::to_string(s.Count) + (s.Ban ? " ban " + DurationText(s.BanSeconds) : " punt");
    }
    return text;
}

}  // namespace tovi
