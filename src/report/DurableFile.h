#pragma once
// Files the operators' data lives in are never left half written, and nothing this program did
// not make is ever removed or replaced:
//   - a new content goes to a temporary file beside the target (named as only this program names
//     its own), is flushed to the disk, and then takes the target's place in one rename;
//     a crash at any moment leaves either the old content or the new one;
//   - an append adds to the end and is flushed before it counts; one that fails part way is
//     cut back, so the file holds what it held before;
//   - a symbolic link stays a link: the file it points to is the one written, and that file
//     keeps its permissions.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovi {

// Files the operator edits or that the program reads whole at start-up are refused beyond this.
inline constexpr uintmax_t kMaxInputFileBytes = 1024 * 1024;

// The whole content of `file`, byte for byte; nothing, with `error` saying why, when it cannot
// be read or holds more than `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::string& error,
                                         uintmax_t maxBytes = UINTMAX_MAX);

// Makes `bytes` the content of `file` (created when missing) and puts it on the disk before
// answering true. On false, with `error` saying why, `file` is as it was.
bool ReplaceFileContent(const std::filesystem::path& file, std::string_view bytes, std::string& error);

// As ReplaceFileContent, for a content too large to hold: `produce` hands it over in pieces
// through the writer it is given (false: the piece could not be written, stop). Only when
// `produce` answers true and every piece is on the disk does the new content take the file's
// place. On false `file` is as it was and no temporary file is left; `error` says why, or is
// empty when `produce` gave up of its own accord.
using PieceWriter = std::function<bool(std::string_view)>;
bool ReplaceFileInPieces(const std::filesystem::path& file,
                         const std::function<bool(const PieceWriter&)>& produce, std::string& error);

// Adds `bytes` to the end of `file` (created when missing) and puts them on the disk before
// answering true. On false, with `error` saying why, the file is cut back to what it held.
bool AppendToFile(const std::filesystem::path& file, std::string_view bytes, std::string& error);

// Cuts `file` to its first `size` bytes, on the disk before answering true.
bool TruncateFile(const std::filesystem::path& file, uintmax_t size, std::string& error);

// Removes `file` for good (a file that is already gone counts as removed).
bool RemoveFileDurably(const std::filesystem::path& file, std::string& error);

// The temporary file that ReplaceFileContent writes before the rename (beside the file a link
// points to, for a link). Its name is this program's own: a plain file so named is a leftover of
// a run stopped while it wrote, and the next rewrite replaces it.
std::filesystem::path TemporaryFileFor(const std::filesystem::path& file);

// Called before each step that changes a file on the disk (and halfway through each write), with
// the step's name: a test stops the process there to see that a kill at any step loses nothing.
// None by default.
using FileStepHook = void (*)(const char* step);
void SetFileStepHook(FileStepHook hook);

// Removes the leftover temporary files of this program in `folder` (one only it writes, as its
// data folder), and plain files named as one of `olderNames` (what earlier versions left).
// Answers how many went.
int RemoveLeftoverTemporaryFiles(const std::filesystem::path& folder, const std::vector<std::string>& olderNames = {});

// Makes sure every folder above `file` exists, creating the missing ones from the top down.
// Never fails outward: a folder it cannot create shows up when the file is written.
void MakePath(const std::filesystem::path& file);

// A path for the operator's eyes, in the single-byte text the log speaks.
std::string PathText(const std::filesystem::path& path);

}  // namespace tovi
