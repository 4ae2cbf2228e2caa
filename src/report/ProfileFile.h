#pragma once
// An INI file read and written the way the Windows profile-string calls do it, on every
// platform: sections and keys are found without regard to letter case, the first of a name wins,
// a write creates the file, the section or the key when missing and leaves every other line
// exactly as it was (comments, unknown keys, blank lines, each line's own line end). A UTF-8
// byte-order mark at the start is no part of the first line. A file larger than
// kMaxInputFileBytes is neither read nor written.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovi {

class ProfileFile {
public:
    explicit ProfileFile(std::filesystem::path file) : m_file(std::move(file)) {}

    // The value of `key` in `section` (blanks around it dropped, one pair of enclosing quotes
    // removed), or `defaultValue` (trailing blanks dropped) when the file, the section or the
    // key is missing; either cut to `capacity` - 1 bytes, the room a NUL-terminated buffer of
    // `capacity` bytes leaves.
    // `cut`, when given, learns whether the stored value was longer than that.
    std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue,
                           size_t capacity, bool* cut = nullptr) const;

    // Why the file cannot be read (too large, not a file), or "" when it can or is missing.
    std::string Unreadable() const;

    // Sets `key` in `section` to `value`. A line break in the value would end the line early,
    // so CR and LF are written as blanks. The file changes in one step: a crash leaves the old
    // file or the new one. False, with `error` saying why, when it could not be written.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value, std::string& error);
    // Several keys of one section in one step: all are written, or none.
    bool WriteStrings(std::string_view section,
                      const std::vector<std::pair<std::string, std::string>>& values, std::string& error);

    const std::filesystem::path& Path() const { return m_file; }

private:
    std::filesystem::path m_file;
};

}  // namespace tovi
