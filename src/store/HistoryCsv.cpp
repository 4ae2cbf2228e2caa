#include "HistoryCsv.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "Windows1252.h"

namespace tovi {

std::string IsoUtcTime(int64_t unixSeconds) {
    // A time no calendar of four-digit years holds (a damaged row) stays a number.
    if (unixSeconds < -62167219200 || unixSeconds > 253402300799) return std::to_string(unixSeconds);
    using namespace std::chrono;
    const sys_seconds time{seconds{unixSeconds}};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{time - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::string CsvField(std::string_view windows1252) {
    std::string text(windows1252);
    // A spreadsheet runs a cell that starts with one of these as a formula (a tab or CR counts
    // as the start too): a leading apostrophe keeps it text.
    const bool formula =
        !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    }
    if (formula) text.insert(text.begin(), '\'');
    text = Windows1252ToUtf8(text);
    // Quoted when it holds a separator or a quote, or begins or ends with a space that a reader
    // might trim.
    if (text.empty() ||
        (text.find_first_of(",\"") == std::string::npos && text.front() != ' ' && text.back() != ' '))
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string HistoryCsvHeader() {
    return "Time (UTC),Kind,Player,Text,Detail,Match\r\n";
}

void AppendHistoryCsvLine(std::string& out, const HistoryRow& row) {
    out += IsoUtcTime(row.Time) + ',' + CsvField(row.Kind) + ',' + CsvField(row.Player) + ',' +
           CsvField(row.Text) + ',' + CsvField(row.Detail) + ',' +
           (row.Match != 0 ? std::to_string(row.Match) : std::string()) + "\r\n";
}

std::string HistoryCsv(const std::vector<HistoryRow>& rows) {
    std::string out = HistoryCsvHeader();
    for (const HistoryRow& row : rows) AppendHistoryCsvLine(out, row);
    return out;
}

}  // namespace tovi
