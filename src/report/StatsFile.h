#pragma once
// The end-of-match stats: a block of one server line and one line per player record, appended to
// stats.stats (the queue the upload sends) and, when the operator asks for it, kept in a dated
// file under Archives.
//
// A block reaches the disk whole or not at all: the file's new content (what it held plus the
// block) is written to a temporary file, flushed to the disk and renamed over stats.stats in one
// step, so a crash leaves the old file or the new one, never a block cut short. A file that
// nevertheless ends inside a line (cut by a crash of another program, or by a full disk before
// this one) has its unfinished last block moved to stats.stats.damaged before the new block is
// added, so that no half block stands in front of later ones and no byte is thrown away.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "LocalTime.h"
#include "PlayerTable.h"
#include "ServerStatus.h"
#include "SettingsFile.h"
#include "WebReporter.h"

namespace tovi {

// The block of one match exactly as the stats file holds it, every line ending in CR LF;
// nothing when the game type lies outside GameTypes.
std::optional<std::string> StatsBlock(const std::string& serverCode, const ServerStatus& status,
                                      const PlayerTable& players, std::optional<uint8_t> resultByte, int32_t matchTicks,
                                      const LocalTime& written);

class StatsFile {
public:
    StatsFile(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
              const PlayerTable& players, SettingsView& view, WebReporter& reporter,
              LocalClock clock = SystemLocalTime);

    // Appends this match's block to stats.stats and, with chkKeepArchive ticked, to its archive
    // file; then, when `Upload` is true, starts the upload. `MatchTicks` is the map cycle's true
    // count of hosting ticks, however long it ran. Stops at the first step that fails and
    // answers false: a game type outside GameTypes writes nothing, a stats file that cannot be
    // written makes no archive copy, and any failure starts no upload.
    // A result byte that could not be read leaves its field empty.
    bool WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks);

    const std::filesystem::path& Path() const { return m_statsFile; }
    std::filesystem::path DamagedPath() const;
    std::filesystem::path ArchiveFolder() const { return m_dataDir / "Archives"; }

private:
    bool AppendToStats(const std::string& block);

    std::filesystem::path m_dataDir;
    std::filesystem::path m_statsFile;
    const Settings& m_settings;
    const ServerStatus& m_status;
    const PlayerTable& m_players;
    SettingsView& m_view;
    WebReporter& m_reporter;
    LocalClock m_clock;
};

}  // namespace tovi
