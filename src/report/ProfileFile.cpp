#include "ProfileFile.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "DurableFile.h"
#include "Windows1252.h"

namespace tovi {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool SameName(std::string_view a, std::string_view b) {
    return EqualIgnoringCase(a, b);
}

// One line of the file: its text without the line end, and the line end as found ("\r\n",
// "\n", a lone "\r" as old editors leave it, or nothing on a last line without one).
struct Line {
    std::string_view text;
    std::string_view end;
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    while (!content.empty()) {
        const size_t at = content.find_first_of("\r\n");
        if (at == std::string_view::npos) {
            lines.push_back({content, {}});
            break;
        }
        const size_t endLength = content.compare(at, 2, "\r\n") == 0 ? 2 : 1;
        lines.push_back({content.substr(0, at), content.substr(at, endLength)});
        content.remove_prefix(at + endLength);
    }
    return lines;
}

// The name inside "[...]" when the line opens a section.
std::optional<std::string_view> SectionName(std::string_view text) {
    text = Trim(text);
    if (!text.starts_with('[')) return std::nullopt;
    const size_t close = text.rfind(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(text.substr(1, close - 1));
}

struct KeyLine {
    std::string_view name;
    std::string_view value;
};

std::optional<KeyLine> ParseKey(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.front() == ';') return std::nullopt;
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{Trim(text.substr(0, eq)), Trim(text.substr(eq + 1))};
}

// Where a section's lines lie: its header and the line after its last line.
struct SectionSpan {
    size_t header;
    size_t end;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i].text);
        if (!name || !SameName(*name, section)) continue;
        size_t end = i + 1;
        while (end < lines.size() && !SectionName(lines[end].text)) ++end;
        return SectionSpan{i, end};
    }
    return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<Line>& lines, const SectionSpan& span, std::string_view key) {
    for (size_t i = span.header + 1; i < span.end; ++i) {
        const auto parsed = ParseKey(lines[i].text);
        if (parsed && SameName(parsed->name, key)) return i;
    }
    return std::nullopt;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::string CutToCapacity(std::string_view value, size_t capacity, bool* cut = nullptr) {
    const size_t room = capacity == 0 ? 0 : capacity - 1;
    if (cut) *cut = value.size() > room;
    return std::string(value.substr(0, room));
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The file's content without a byte-order mark, which `mark` keeps for writing it back.
std::optional<std::string> ReadContent(const std::filesystem::path& file, std::string& error,
                                       std::string* mark) {
    std::optional<std::string> content = ReadWholeFile(file, error, kMaxInputFileBytes);
    // Notepad's "Unicode": two bytes a character, which no key would match. Said, never misread.
    if (content && (content->starts_with("\xFF\xFE") || content->starts_with("\xFE\xFF"))) {
        error = PathText(file.filename()) +
                " is saved as UTF-16 (Unicode); save it as UTF-8 or ANSI, which this program reads";
        return std::nullopt;
    }
    if (content && content->starts_with(kByteOrderMark)) {
        content->erase(0, kByteOrderMark.size());
        if (mark) *mark = kByteOrderMark;
    }
    return content;
}

}  // namespace

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, size_t capacity, bool* cut) const {
    if (cut) *cut = false;
    while (!defaultValue.empty() && defaultValue.back() == ' ') defaultValue.remove_suffix(1);
    std::string error;
    const std::optional<std::string> content = ReadContent(m_file, error, nullptr);
    if (!content) return CutToCapacity(defaultValue, capacity);
    const std::vector<Line> lines = SplitLines(*content);
    const auto span = FindSection(lines, section);
    if (!span) return CutToCapacity(defaultValue, capacity);
    const auto index = FindKey(lines, *span, key);
    if (!index) return CutToCapacity(defaultValue, capacity);
    return CutToCapacity(Unquote(ParseKey(lines[*index].text)->value), capacity, cut);
}

std::string ProfileFile::Unreadable() const {
    std::error_code ec;
    if (!std::filesystem::exists(m_file, ec)) return {};
    std::string error;
    return ReadContent(m_file, error, nullptr) ? std::string() : error;
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key, std::string_view value,
                              std::string& error) {
    return WriteStrings(section, {{std::string(key), std::string(value)}}, error);
}

namespace {

// `content` with `key` in `section` set to `value`.
std::string WithValue(const std::string& content, std::string_view section, std::string_view key,
                      std::string_view value) {
    std::string safeValue(value);
    std::replace_if(safeValue.begin(), safeValue.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');

    const std::vector<Line> lines = SplitLines(content);
    std::string out;
    out.reserve(content.size() + key.size() + safeValue.size() + section.size() + 8);
    auto copyLines = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            out += lines[i].text;
            out += lines[i].end;
        }
    };
    // A line that had no line end gets one when something follows it.
    auto endLine = [&] {
        if (!out.empty() && !out.ends_with('\n') && !out.ends_with('\r')) out += "\r\n";
    };

    const auto span = FindSection(lines, section);
    if (!span) {
        copyLines(0, lines.size());
        endLine();
        out.append("[").append(section).append("]\r\n");
        out.append(key).append("=").append(safeValue).append("\r\n");
    } else if (const auto index = FindKey(lines, *span, key)) {
        // The key keeps the spelling the file gives it; only its value changes.
        copyLines(0, *index);
        out.append(ParseKey(lines[*index].text)->name).append("=").append(safeValue);
        out += lines[*index].end;
        copyLines(*index + 1, lines.size());
    } else {
        // A new key goes after the section's last line that is not blank, so that the blank
        // lines that part it from the next section stay where they are.
        size_t after = span->header + 1;
        for (size_t i = span->header + 1; i < span->end; ++i) {
            if (!Trim(lines[i].text).empty()) after = i + 1;
        }
        copyLines(0, after);
        endLine();
        out.append(key).append("=").append(safeValue).append("\r\n");
        copyLines(after, lines.size());
    }
    return out;
}

}  // namespace

bool ProfileFile::WriteStrings(std::string_view section,
                               const std::vector<std::pair<std::string, std::string>>& values,
                               std::string& error) {
    std::string content;
    std::string mark;
    std::error_code ec;
    if (std::filesystem::exists(m_file, ec)) {
        std::optional<std::string> read = ReadContent(m_file, error, &mark);
        if (!read) return false;
        content = std::move(*read);
    }
    for (const auto& [key, value] : values) content = WithValue(content, section, key, value);
    return ReplaceFileContent(m_file, mark + content, error);
}

}  // namespace tovi
