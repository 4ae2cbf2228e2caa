#include "UnsavedStats.h"

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string_view>

#include "DataFolderLock.h"
#include "DurableFile.h"
#include "StatsFile.h"
#include "WebReporter.h"

namespace tovi {

namespace {

constexpr std::string_view kBlockStart = "ServerInfo ";
constexpr uintmax_t kMaxRecoveryBytes = uintmax_t{256} << 20;

// A short name of the data folder, the same in every run, so that a folder shared by several
// copies gives each its own files back.
std::string FolderTag(const std::filesystem::path& dataDir) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(dataDir, ec);
    const std::string text = PathText(ec ? dataDir : absolute);
    uint64_t hash = 1469598103934665603ULL;
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string tag;
    for (int shift = 60; shift >= 0; shift -= 4) tag += kHex[(hash >> shift) & 0xF];
    return tag;
}

std::string Prefix(const std::filesystem::path& dataDir) {
    return "unsaved-" + FolderTag(dataDir) + "-";
}

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.emplace_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string> SplitBlocks(std::string_view whole) {
    std::vector<std::string> blocks;
    for (const std::string& line : Lines(whole)) {
        if (line.starts_with(kBlockStart) || blocks.empty()) blocks.emplace_back();
        blocks.back().append(line).append("\r\n");
    }
    return blocks;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::filesystem::path UnsavedStatsFolder() {
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::filesystem::path(local) / "tovistats" / "unsaved";
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "tovistats" / "unsaved";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "tovistats" / "unsaved";
#endif
    return {};
}

std::vector<std::string> RecoveryLines(const std::string& block) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::vector<std::string> out;
    for (const std::string& line : Lines(block)) {
        std::string coded = kRecoveryMark;
        for (char ch : line) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 32 || c >= 127 || c == '%') {
                coded += '%';
                coded += kHex[c >> 4];
                coded += kHex[c & 0xF];
            } else {
                coded += ch;
            }
        }
        out.push_back(std::move(coded));
    }
    return out;
}

std::vector<std::string> RecoveredBlocks(const std::string& content, bool& cut) {
    cut = false;
    std::string fromLog;
    bool anyMark = false;
    for (const std::string& line : Lines(content)) {
        const size_t mark = line.find(kRecoveryMark);
        if (mark == std::string::npos) continue;
        anyMark = true;
        const std::string_view coded = std::string_view(line).substr(mark + std::string_view(kRecoveryMark).size());
        for (size_t i = 0; i < coded.size(); ++i) {
            const int high = coded[i] == '%' && i + 2 < coded.size() ? HexValue(coded[i + 1]) : -1;
            const int low = high >= 0 ? HexValue(coded[i + 2]) : -1;
            if (high >= 0 && low >= 0) {
                fromLog += static_cast<char>(high * 16 + low);
                i += 2;
            } else {
                fromLog += coded[i];
            }
        }
        fromLog += "\r\n";
    }
    if (anyMark) return SplitBlocks(fromLog);
    const size_t whole = CompleteStatsLength(content);
    cut = whole < content.size();
    return SplitBlocks(std::string_view(content).substr(0, whole));
}

UnsavedOutcome KeepUnsaved(const std::deque<std::string>& blocks, const std::filesystem::path& dataDir,
                           const std::filesystem::path& outside, const std::string& stamp) {
    std::string all;
    for (const std::string& block : blocks) all += block;
    for (const std::filesystem::path& folder : {dataDir, outside}) {
        if (folder.empty()) continue;
        MakePath(folder / "x");
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path file =
                folder / (Prefix(dataDir) + stamp + "-" + std::to_string(attempt) + ".stats");
            std::error_code ec;
            if (std::filesystem::exists(std::filesystem::symlink_status(file, ec))) continue;
            std::string error;
            if (ReplaceFileContent(file, all, error)) return {PathText(file), {}};
            break;
        }
    }
    UnsavedOutcome outcome;
    for (const std::string& block : blocks)
        for (std::string& line : RecoveryLines(block)) outcome.LogLines.push_back(std::move(line));
    return outcome;
}

std::vector<std::filesystem::path> UnsavedFiles(const std::filesystem::path& dataDir,
                                                const std::filesystem::path& outside) {
    std::vector<std::filesystem::path> files;
    const std::string prefix = Prefix(dataDir);
    for (const std::filesystem::path& folder : {dataDir, outside}) {
        std::error_code ec;
        if (folder.empty()) continue;
        for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = PathText(it->path().filename());
            std::error_code kind;
            if (name.starts_with(prefix) && name.ends_with(".stats") &&
                std::filesystem::is_regular_file(it->symlink_status(kind)))
                files.push_back(it->path());
        }
    }
    // Named by the time they were made: the oldest first, as the queue keeps matches.
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
        const std::string x = PathText(a.filename()), y = PathText(b.filename());
        return x.size() != y.size() ? x.size() < y.size() : x < y;
    });
    return files;
}

bool WantsRecovery(const std::vector<std::string>& args) {
    return std::find(args.begin(), args.end(), "--recover") != args.end();
}

int RecoverStats(const std::vector<std::string>& args, const std::string& defaultDataDir, std::ostream& out,
                 std::ostream& err) {
    std::string input, dataDir = defaultDataDir;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--recover" && i + 1 < args.size()) {
            input = args[++i];
        } else if (args[i] == "--data-dir" && i + 1 < args.size()) {
            dataDir = args[++i];
        } else {
            err << "Usage: tovistats --recover FILE [--data-dir DIR]\n";
            return 2;
        }
    }
    if (input.empty()) {
        err << "Usage: tovistats --recover FILE [--data-dir DIR]\n";
        return 2;
    }
    std::error_code made;
    std::filesystem::create_directories(dataDir, made);
    DataFolderLock lock;
    std::string error;
    bool inUse = false;
    if (!lock.Acquire(dataDir, error, inUse)) {
        err << (inUse ? "Tovi stats runs on " + dataDir + ": stop it first, or let it take the file back itself."
                      : error)
            << "\n";
        return 1;
    }
    const std::optional<std::string> content = ReadWholeFile(input, error, kMaxRecoveryBytes);
    if (!content) {
        err << error << "\n";
        return 1;
    }
    bool cut = false;
    const std::vector<std::string> blocks = RecoveredBlocks(*content, cut);
    if (blocks.empty()) {
        err << input << " holds no match stats.\n";
        return 1;
    }
    std::string all;
    for (const std::string& block : blocks) all += block;
    const std::filesystem::path stats = StatsFilePath(dataDir);
    // Appended behind an unfinished match, the first would be taken for part of it.
    const std::optional<std::string> queued = std::filesystem::exists(stats) ? ReadWholeFile(stats, error)
                                                                            : std::optional<std::string>("");
    if (!queued) {
        err << error << "\n";
        return 1;
    }
    if (CompleteStatsLength(*queued) != queued->size()) {
        err << PathText(stats) << " ends in an unfinished match: start Tovi stats once, which mends it, then try again.\n";
        return 1;
    }
    if (!AppendToFile(stats, all, error)) {
        err << error << "\n";
        return 1;
    }
    out << blocks.size() << (blocks.size() == 1 ? " match is" : " matches are") << " queued in " << PathText(stats)
        << (blocks.size() == 1 ? "; it goes" : "; they go") << " to the stats service with the next upload"
        << (cut ? "; the file's unfinished last match was left out" : "") << ".\n";
    return 0;
}

}  // namespace tovi
