#pragma once
// Rows of the record as CSV for a spreadsheet or a script: UTF-8, a header line, fields quoted
// as RFC 4180 has them, CR LF line ends, times in ISO 8601 UTC. Game texts are hostile: control
// bytes become spaces, so that every row stays one line, and a field that a spreadsheet would
// take for a formula is made plain text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "HistoryStore.h"

namespace tovi {

// "2026-12-06T15:01:29Z"; a time outside the years 0000 to 9999 as its number.
std::string IsoUtcTime(int64_t unixSeconds);

// One field, quoted when it must be.
std::string CsvField(std::string_view windows1252);

// The header line and then each row, every line ending in CR LF.
std::string HistoryCsv(const std::vector<HistoryRow>& rows);
// The same a line at a time, for a file written in pieces.
std::string HistoryCsvHeader();
void AppendHistoryCsvLine(std::string& out, const HistoryRow& row);

}  // namespace tovi
