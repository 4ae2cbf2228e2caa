#pragma once
// Matches that stats.stats could not take when the program stopped. They are put in the first
// place that takes them: a file of their own in the data folder, then one in a folder outside it
// (the user's state folder); when none does, they go to the log, line by line, in a form that
// `tovistats --recover` reads back. The next start takes the files back into stats.stats.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace tovi {

// The folder outside `dataDir` where matches go when the data folder takes none: the user's
// state folder (XDG_STATE_HOME, else ~/.local/state; LOCALAPPDATA on Windows), "tovistats".
// Empty when there is none.
std::filesystem::path UnsavedStatsFolder();

// How `blocks` were kept: `Where` the file that holds them, or empty when only `LogLines` do.
struct UnsavedOutcome {
    std::string Where;
    std::vector<std::string> LogLines;  // the blocks as recovery lines, when no file took them
};

// Writes `blocks` (whole stats blocks) to a new file in `dataDir`, else in `outside` (a folder of
// UnsavedStatsFolder()'s kind), named after the data folder (so that only its own program takes
// them back) and `stamp` (the time, so that the oldest goes first); else answers them as recovery
// lines.
UnsavedOutcome KeepUnsaved(const std::deque<std::string>& blocks, const std::filesystem::path& dataDir,
                           const std::filesystem::path& outside, const std::string& stamp);

// The files KeepUnsaved left for `dataDir`, oldest first.
std::vector<std::filesystem::path> UnsavedFiles(const std::filesystem::path& dataDir,
                                                const std::filesystem::path& outside);

// The whole blocks a recovery input holds: recovery lines (as the log shows them, with anything
// before them on the line), or else a stats file's whole blocks. An unfinished last block is left
// out and `cut` says so.
std::vector<std::string> RecoveredBlocks(const std::string& content, bool& cut);

// One block as recovery lines: each stats line behind kRecoveryMark, with "%", control bytes
// and bytes from 0x80 on written as %XX, so that any log keeps them.
std::vector<std::string> RecoveryLines(const std::string& block);
inline constexpr const char* kRecoveryMark = "tovistats-recover ";

// `tovistats --recover FILE [--data-dir DIR]`: queues the matches of FILE in DIR's stats.stats
// while no copy runs on DIR. Answers the exit code.
bool WantsRecovery(const std::vector<std::string>& args);
int RecoverStats(const std::vector<std::string>& args, const std::string& defaultDataDir, std::ostream& out,
                 std::ostream& err);

}  // namespace tovi
