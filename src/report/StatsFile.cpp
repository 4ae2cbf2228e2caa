#include "StatsFile.h"

#include "DurableFile.h"

namespace tovi {

namespace {

constexpr const char* kTag = "|**QX**|";
constexpr const char* kLineEnd = "\r\n";

// The start of the last block of `content`: where its server line begins.
size_t LastBlockStart(const std::string& content) {
    if (const size_t at = content.rfind("\r\nServerInfo "); at != std::string::npos) return at + 2;
    return 0;
}

// `bytes` added to the end of `file`, the whole file replaced in one step.
bool AppendDurably(const std::filesystem::path& file, const std::string& bytes) {
    std::string error;
    std::string content;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        std::optional<std::string> read = ReadWholeFile(file, error);
        if (!read) return false;
        content = std::move(*read);
    }
    content += bytes;
    return ReplaceFileContent(file, content, error);
}

}  // namespace

std::optional<std::string> StatsBlock(const std::string& serverCode, const ServerStatus& status,
                                      const PlayerTable& players, std::optional<uint8_t> resultByte, int32_t matchTicks,
                                      const LocalTime& written) {
    if (status.GameType >= kGameTypeCount) return std::nullopt;
    // Texts go out as the game's bytes, save that a byte below 32 (CR, LF, ...) would break the
    // line structure the service reads, so it goes out as a blank.
    std::string block = "ServerInfo " + LineSafeName(serverCode);
    block.append(kTag).append(LineSafeName(status.MapName));
    block.append(kTag).append(GameTypes()[status.GameType]);
    block.append(kTag).append(resultByte ? std::to_string(*resultByte) : std::string());
    block.append(kTag).append(FormatStatsTime(written));
    block.append(kTag).append(std::to_string(matchTicks));
    block.append(kLineEnd);
    for (const PlayerClass& player : players) {
        block.append("  PlayerStats ").append(LineSafeName(player.P_Name)).append("&end& ");
        block.append(std::to_string(player.P_Team));
        for (const Statistic& statistic : kStatisticList) {
            // The match total of two 32-bit counters needs more than 32 bits.
            const int64_t total = int64_t{player.*statistic.P} + int64_t{player.*statistic.B};
            block.append(" ").append(std::to_string(total));
        }
        block.append(kLineEnd);
    }
    return block;
}

StatsFile::StatsFile(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
                     const PlayerTable& players, SettingsView& view, WebReporter& reporter, LocalClock clock)
    : m_dataDir(dataDir),
      m_statsFile(StatsFilePath(dataDir)),
      m_settings(settings),
      m_status(status),
      m_players(players),
      m_view(view),
      m_reporter(reporter),
      m_clock(std::move(clock)) {}

std::filesystem::path StatsFile::DamagedPath() const {
    std::filesystem::path damaged = m_statsFile;
    damaged += ".damaged";
    return damaged;
}

bool StatsFile::WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks) {
    const std::optional<std::string> block =
        StatsBlock(m_settings.ServerCode, m_status, m_players, ResultByte, MatchTicks, m_clock());
    if (!block || !AppendToStats(*block)) return false;

    if (m_view.Checked(SettingsBox::chkKeepArchive)) {
        // Named when the copy is made, which may be a second after the server line's time.
        const std::filesystem::path archive = ArchiveFolder() / ("game" + FormatArchiveTime(m_clock()) + ".txt");
        MakePath(archive);
        if (!AppendDurably(archive, *block)) return false;
    }
    if (Upload) m_reporter.UploadStats();
    return true;
}

bool StatsFile::AppendToStats(const std::string& block) {
    std::string error;
    std::string content;
    std::error_code ec;
    if (std::filesystem::exists(m_statsFile, ec)) {
        std::optional<std::string> read = ReadWholeFile(m_statsFile, error);
        if (!read) return false;
        content = std::move(*read);
    }
    if (!content.empty() && !content.ends_with(kLineEnd)) {
        // Cut inside a line: the block it belongs to is unfinished. Keep it aside, not in front.
        const size_t start = LastBlockStart(content);
        if (!AppendDurably(DamagedPath(), content.substr(start))) return false;
        content.erase(start);
    }
    content += block;
    return ReplaceFileContent(m_statsFile, content, error);
}

}  // namespace tovi
