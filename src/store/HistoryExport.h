#pragma once
// tovistats --export-history FILE.csv [--since YYYY-MM-DD] [--data-dir DIR]: the whole record
// (matches, player stints, chat, admin actions, server events) as CSV for scripts, without a
// window. It only reads the database, so a program running on the same data folder goes on
// undisturbed; the file is written in pieces, and takes the old one's place whole or not at all.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "HistoryStore.h"

namespace tovi {

inline constexpr const char* kExportHistoryOption = "--export-history";

// True when the arguments (the program's name left out) ask for an export.
bool WantsHistoryExport(const std::vector<std::string>& args);

// Runs the export and answers the process's exit code: 0 done, 1 the database or the file
// failed, 2 the command line is wrong. Arguments and folders are UTF-8; `defaultFolder` is the
// data folder when --data-dir is not given.
int ExportHistory(const std::vector<std::string>& args, const std::string& defaultFolder, std::ostream& out,
                  std::ostream& err);

// What the export holds at a time: this many rows of each kind, and this much of the file's text.
struct ExportPieces {
    int Rows = 2000;
    size_t Bytes = size_t{1} << 20;
};

// The export from a store that is open: its rows from `from` (Unix seconds; 0: all) on, oldest
// first and kind by kind within one second, as CSV into `file`. Read and written in pieces; the
// file takes the old one's place only once all of it is on the disk. The rows written, or nothing
// with `error` saying why, and `readFailed` set when it was the record that could not be read.
std::optional<size_t> WriteHistoryCsv(HistoryStore& store, int64_t from, const std::filesystem::path& file,
                                      std::string& error, bool& readFailed, ExportPieces pieces = {});

// "YYYY-MM-DD" as the Unix time of that day's start in UTC; nothing when it is no such date.
std::optional<int64_t> ParseUtcDate(std::string_view text);

}  // namespace tovi
