#pragma once
// tovistats --export-history FILE.csv [--since YYYY-MM-DD] [--data-dir DIR]: the whole record
// (matches, player stints, chat, admin actions, server events) as CSV for scripts, without a
// window. It only reads the database, so a program running on the same data folder goes on
// undisturbed; the file is written whole or not at all.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tovi {

inline constexpr const char* kExportHistoryOption = "--export-history";

// True when the arguments (the program's name left out) ask for an export.
bool WantsHistoryExport(const std::vector<std::string>& args);

// Runs the export and answers the process's exit code: 0 done, 1 the database or the file
// failed, 2 the command line is wrong. Arguments and folders are UTF-8; `defaultFolder` is the
// data folder when --data-dir is not given.
int ExportHistory(const std::vector<std::string>& args, const std::string& defaultFolder, std::ostream& out,
                  std::ostream& err);

// "YYYY-MM-DD" as the Unix time of that day's start in UTC; nothing when it is no such date.
std::optional<int64_t> ParseUtcDate(std::string_view text);

}  // namespace tovi
