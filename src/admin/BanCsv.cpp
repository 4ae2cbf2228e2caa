#include "BanCsv.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>

#include "Windows1252.h"

namespace tovi {

namespace {

constexpr std::array<const char*, 10> kColumns = {"name",      "exact_case", "reason", "issued_by",
                                                  "issued_at", "expires_at", "notes",  "lifted_at",
                                                  "lifted_by", "lift_reason"};

bool FormulaLead(char c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// A text that a spreadsheet takes for a formula once its leading quote marks are gone: one more
// quote mark in front makes it inert, and reading takes exactly that one away again.
bool FormulaLike(std::string_view text) {
    const size_t first = text.find_first_not_of('\'');
    return first != std::string_view::npos && FormulaLead(text[first]);
}

std::string Cell(const std::string& bytes) {
    std::string text = Windows1252ToUtf8(bytes);
    if (FormulaLike(text)) text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// Civil dates from days since 1970-01-01, and back (the proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Only the digits 0 to 9: from_chars alone would take "-5" for a field of a time.
std::optional<int> Digits(std::string_view text) {
    if (text.empty() || !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The records of the file, each a list of cells, with the line each began on.
struct Record {
    int Line = 0;
    std::vector<std::string> Cells;
};

bool SplitRecords(std::string_view csv, std::vector<Record>& records, std::string& error) {
    int line = 1;
    size_t i = 0;
    while (i < csv.size()) {
        Record record{line, {}};
        std::string cell;
        bool endOfRecord = false;
        while (!endOfRecord) {
            cell.clear();
            if (i < csv.size() && csv[i] == '"') {
                ++i;
                while (true) {
                    if (i >= csv.size()) {
                        error = "line " + std::to_string(record.Line) + ": a quoted cell is not closed";
                        return false;
                    }
                    if (csv[i] == '"') {
                        if (i + 1 < csv.size() && csv[i + 1] == '"') {
                            cell += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    if (csv[i] == '\n') ++line;
                    cell += csv[i++];
                }
                if (i < csv.size() && csv[i] != ',' && csv[i] != '\r' && csv[i] != '\n') {
                    error = "line " + std::to_string(line) + ": text after a quoted cell";
                    return false;
                }
            } else {
                while (i < csv.size() && csv[i] != ',' && csv[i] != '\r' && csv[i] != '\n') {
                    if (csv[i] == '"') {
                        error = "line " + std::to_string(line) + ": a quote inside an unquoted cell";
                        return false;
                    }
                    cell += csv[i++];
                }
            }
            record.Cells.push_back(cell);
            if (i < csv.size() && csv[i] == ',') {
                ++i;
            } else {
                if (i < csv.size() && csv[i] == '\r') ++i;
                if (i < csv.size() && csv[i] == '\n') ++i;
                ++line;
                endOfRecord = true;
            }
        }
        // Blank lines carry nothing.
        if (!(record.Cells.size() == 1 && record.Cells[0].empty())) records.push_back(std::move(record));
    }
    return true;
}

}  // namespace

std::string FormatUtc(int64_t time) {
    int64_t days = time / 86400, secs = time % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // civil_from_days
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
    auto two = [](int64_t n) { return std::string(n < 10 ? "0" : "") + std::to_string(n); };
    std::string year = std::to_string(y);
    if (year.size() < 4) year.insert(0, 4 - year.size(), '0');
    return year + "-" + two(m) + "-" + two(d) + "T" + two(secs / 3600) + ":" + two(secs / 60 % 60) + ":" +
           two(secs % 60) + "Z";
}

std::optional<int64_t> ParseUtc(std::string_view t) {
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' ||
        t[19] != 'Z')
        return std::nullopt;
    const auto y = Digits(t.substr(0, 4)), mo = Digits(t.substr(5, 2)), d = Digits(t.substr(8, 2)),
               h = Digits(t.substr(11, 2)), mi = Digits(t.substr(14, 2)), s = Digits(t.substr(17, 2));
    if (!y || !mo || !d || !h || !mi || !s || *y < 1970 || *mo < 1 || *mo > 12 || *d < 1 || *h > 23 ||
        *mi > 59 || *s > 59)
        return std::nullopt;
    static constexpr std::array<int, 12> kDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (*y % 4 == 0 && *y % 100 != 0) || *y % 400 == 0;
    if (*d > kDays[static_cast<size_t>(*mo - 1)] || (*mo == 2 && *d == 29 && !leap)) return std::nullopt;
    return DaysFromCivil(*y, static_cast<unsigned>(*mo), static_cast<unsigned>(*d)) * 86400 + *h * 3600 +
           *mi * 60 + *s;
}

std::string WriteBanCsv(const std::vector<BanEntry>& entries) {
    std::string csv;
    for (size_t c = 0; c < kColumns.size(); ++c) csv += std::string(c ? "," : "") + kColumns[c];
    csv += "\r\n";
    auto time = [](int64_t t) { return t == 0 ? std::string() : FormatUtc(t); };
    for (const BanEntry& e : entries) {
        const std::array<std::string, 10> cells = {
            Cell(e.Name),     e.ExactCase ? "1" : "0", Cell(e.Reason), Cell(e.IssuedBy),
            time(e.IssuedAt), time(e.ExpiresAt),       Cell(e.Notes),  time(e.LiftedAt),
            Cell(e.LiftedBy), Cell(e.LiftReason)};
        for (size_t c = 0; c < cells.size(); ++c) csv += (c ? "," : "") + cells[c];
        csv += "\r\n";
    }
    return csv;
}

BanCsvRead ReadBanCsv(std::string_view csv) {
    BanCsvRead read;
    if (csv.starts_with("\xEF\xBB\xBF")) csv.remove_prefix(3);
    std::vector<Record> records;
    std::string error;
    if (!SplitRecords(csv, records, error)) {
        read.Bad.push_back(error);
        return read;
    }
    if (records.empty()) {
        read.Bad.push_back("line 1: the header line is missing");
        return read;
    }
    // Columns by the header's names, in any order; the name column is the one that must be there.
    std::array<int, kColumns.size()> where{};
    where.fill(-1);
    const Record& header = records[0];
    for (size_t i = 0; i < header.Cells.size(); ++i) {
        const auto known =
            std::ranges::find_if(kColumns, [&](const char* c) { return header.Cells[i] == c; });
        if (known == kColumns.end()) {
            read.Bad.push_back("line 1: unknown column \"" +
                               Windows1252ToUtf8(Utf8ToWindows1252(header.Cells[i])) + "\"");
            return read;
        }
        where[static_cast<size_t>(known - kColumns.begin())] = static_cast<int>(i);
    }
    if (where[0] < 0) {
        read.Bad.push_back("line 1: there is no name column");
        return read;
    }
    std::set<std::vector<std::string>> seen;
    for (size_t r = 1; r < records.size(); ++r) {
        const Record& rec = records[r];
        const std::string at = "line " + std::to_string(rec.Line) + ": ";
        if (rec.Cells.size() != header.Cells.size()) {
            read.Bad.push_back(at + std::to_string(rec.Cells.size()) + " cells where the header has " +
                               std::to_string(header.Cells.size()));
            continue;
        }
        std::string why;
        auto cell = [&](size_t column) -> std::string {
            return where[column] < 0 ? std::string() : rec.Cells[static_cast<size_t>(where[column])];
        };
        auto text = [&](size_t column) {
            std::string utf8 = cell(column);
            if (utf8.starts_with('\'') && FormulaLike(utf8)) utf8.erase(0, 1);
            std::string bytes = Utf8ToWindows1252(utf8);
            if (why.empty() && Windows1252ToUtf8(bytes) != utf8)
                why = std::string(kColumns[column]) +
                      " is not UTF-8 or holds a character the game has no letter for";
            return bytes;
        };
        auto time = [&](size_t column) -> int64_t {
            const std::string t = cell(column);
            if (t.empty()) return 0;
            const std::optional<int64_t> v = ParseUtc(t);
            if (!v && why.empty())
                why = std::string(kColumns[column]) + " is no time like 2026-12-06T15:04:05Z";
            return v.value_or(0);
        };
        // A line the file already gave, cell for cell, adds nothing.
        if (!seen.insert(rec.Cells).second) {
            ++read.Repeated;
            continue;
        }
        BanEntry e;
        e.Name = text(0);
        const std::string exact = cell(1);
        if (exact != "" && exact != "0" && exact != "1" && why.empty()) why = "exact_case is neither 0 nor 1";
        e.ExactCase = exact == "1";
        e.Reason = text(2);
        e.IssuedBy = text(3);
        if (cell(4).empty() && why.empty()) why = "issued_at is missing";
        e.IssuedAt = time(4);
        e.ExpiresAt = time(5);
        e.Notes = text(6);
        e.LiftedAt = time(7);
        e.LiftedBy = text(8);
        e.LiftReason = text(9);
        if (why.empty()) why = BanList::Problem(e);
        if (!why.empty()) {
            read.Bad.push_back(at + why);
            continue;
        }
        read.Entries.push_back(std::move(e));
    }
    return read;
}

bool ImportBanCsv(BanList& list, std::string_view csv, std::string& report) {
    BanCsvRead read = ReadBanCsv(csv);
    if (!read.Bad.empty()) {
        report = "Nothing was imported: the file has " +
                 (read.Bad.size() == 1 ? std::string("a bad line.") : std::to_string(read.Bad.size()) + " bad lines.");
        for (size_t i = 0; i < read.Bad.size() && i < 20; ++i) report += "\r\n" + read.Bad[i];
        if (read.Bad.size() > 20) report += "\r\n...";
        return false;
    }
    std::vector<BanEntry> fresh;
    size_t known = 0;
    for (BanEntry& e : read.Entries) {
        const bool held = std::ranges::any_of(list.Entries(), [&](const BanEntry& h) {
            return BanNameKey(h.Name) == BanNameKey(e.Name) && h.IssuedAt == e.IssuedAt &&
                   h.Reason == e.Reason;
        });
        if (held) {
            ++known;
        } else {
            fresh.push_back(std::move(e));
        }
    }
    std::string error;
    if (!list.AddAll(fresh, error)) {
        report = "Nothing was imported: " + error;
        return false;
    }
    report = std::to_string(fresh.size()) + " entries imported";
    if (known > 0) report += ", " + std::to_string(known) + " already in the list";
    if (read.Repeated > 0) report += ", " + std::to_string(read.Repeated) + " repeated in the file";
    report += ".";
    return true;
}

}  // namespace tovi
