#pragma once
// The ban list as CSV (RFC 4180, UTF-8, CR LF), so that a community can move it between servers.
// One header line names the columns; times are UTC, "2026-12-06T15:04:05Z", empty for never.
// A cell that a spreadsheet would take for a formula (=, +, -, @, tab, CR first) is written with
// a quote mark in front, and read back without it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BanList.h"

namespace tovi {

std::string WriteBanCsv(const std::vector<BanEntry>& entries);

struct BanCsvRead {
    std::vector<BanEntry> Entries;
    std::vector<std::string> Bad;  // "line N: why"
    size_t Repeated = 0;           // lines identical to an earlier one, passed over
};
// Every line checked; a file with a bad line gives its reasons, and the caller takes nothing.
// Each line must say when the ban was issued; a line repeated word for word counts once.
BanCsvRead ReadBanCsv(std::string_view csv);

// Reads the file into the list: all of its entries or, when a line is bad, none. Entries the list
// already holds (same name, issue time and reason) are passed over, and so are lines the file
// repeats. The report says what happened.
bool ImportBanCsv(BanList& list, std::string_view csv, std::string& report);

std::string FormatUtc(int64_t time);
// Nothing when the text is no such time.
std::optional<int64_t> ParseUtc(std::string_view text);

}  // namespace tovi
