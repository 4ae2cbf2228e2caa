#pragma once
// Files the operators' data lives in are never left half written: a new content goes to a
// temporary file beside the target, is flushed to the disk, and then takes the target's place
// in one rename. A crash at any moment leaves either the old content or the new one.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tovi {

// The whole content of `file`, byte for byte; nothing, with `error` saying why, when it cannot
// be read.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::string& error);

// Makes `bytes` the content of `file` (created when missing) and puts it on the disk before
// answering true. On false, with `error` saying why, `file` is as it was.
bool ReplaceFileContent(const std::filesystem::path& file, std::string_view bytes, std::string& error);

// Removes `file` for good (a file that is already gone counts as removed).
bool RemoveFileDurably(const std::filesystem::path& file, std::string& error);

// The temporary file that ReplaceFileContent writes before the rename.
std::filesystem::path TemporaryFileFor(const std::filesystem::path& file);

// Makes sure every folder above `file` exists, creating the missing ones from the top down.
// Never fails outward: a folder it cannot create shows up when the file is written.
void MakePath(const std::filesystem::path& file);

}  // namespace tovi
