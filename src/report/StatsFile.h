#pragma once
// The end-of-match stats: a block of one server line and one line per player record, appended to
// stats.stats (the queue the upload sends) and, when the operator asks for it, kept in a dated
// file under Archives.
//
// A write costs the block, not the file: the block is appended and flushed to the disk, and an
// append that fails part way is cut back. A block that cannot be written (full disk, read-only
// folder, stats.stats not a file) is kept in memory, in order behind any others, and written at
// the next chance: the next match end or the next retry. The operator is told once when this
// starts and again when it is over. A file that nevertheless ends inside a line (cut by a crash
// or power loss) has its unfinished end moved to stats.stats.damaged before anything is added,
// so that no half block stands in front of later ones and no complete block leaves the queue.
// The archive is only a copy: its failure is logged and holds nothing back.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Dialogs.h"
#include "LocalTime.h"
#include "LogSink.h"
#include "PlayerTable.h"
#include "Scheduler.h"
#include "ServerStatus.h"
#include "SettingsFile.h"
#include "WebReporter.h"

namespace tovi {

// The block of one match exactly as the stats file holds it, every line ending in CR LF;
// nothing when the game type lies outside GameTypes. Texts go out as the game's bytes, except
// that a byte below 32 and any separator of the format ("|**QX**|", "&end&") they hold become
// blanks, so that every line reads one way only.
std::optional<std::string> StatsBlock(const std::string& serverCode, const ServerStatus& status,
                                      const PlayerTable& players, std::optional<uint8_t> resultByte, int32_t matchTicks,
                                      const LocalTime& written);

// How much of a stats file's content is whole lines up to the end of the last block that is
// not cut: all of it when it ends with CR LF. The rest is the unfinished block (or line).
size_t CompleteStatsLength(std::string_view content);

class StatsFile {
public:
    StatsFile(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
              const PlayerTable& players, const OtherSettings& other, WebReporter& reporter, LogSink& log,
              Dialogs& dialogs, Scheduler& scheduler, LocalClock clock = SystemLocalTime);
    // Tries once more to write what is still kept in memory.
    ~StatsFile();
    StatsFile(const StatsFile&) = delete;
    StatsFile& operator=(const StatsFile&) = delete;

    // Appends this match's block to stats.stats, behind any kept earlier, and, with
    // KeepArchive on, to its archive file; then, when `Upload` is true and stats.stats
    // holds blocks, starts the upload. `MatchTicks` is the map cycle's true count of hosting
    // ticks, however long it ran. Answers whether this block reached stats.stats; a game type
    // outside GameTypes writes nothing and is logged. A result byte that could not be read
    // leaves its field empty.
    bool WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks);
    // Whether the last WriteStats kept its block in memory, to be saved later.
    bool LastBlockKept() const { return m_lastKept; }
    // Told how many blocks kept in memory by earlier match ends reached stats.stats, oldest first.
    void SetOnSavedLater(std::function<void(size_t)> saved) { m_onSavedLater = std::move(saved); }

    // The score screen was seen: the match as last read (no result) goes to disk at once, marked
    // unfinished, so that a stop before WriteStats completes it still leaves it queued. The
    // next WriteStats takes its place; Recover queues one a stopped run left.
    void NoteMatchEnd(int32_t MatchTicks);
    std::filesystem::path UnfinishedPath() const;

    // Moves an unfinished end of stats.stats to stats.stats.damaged (start-up runs it, and every
    // write does before it appends), and queues again the matches a stop kept elsewhere. False
    // when the file could not be mended.
    bool Recover();

    // Starts the upload when stats.stats holds matches (at start: those an earlier run left
    // queued go without waiting for the next match end).
    void UploadIfQueued();

    // Blocks waiting in memory for stats.stats to take them.
    size_t PendingBlocks() const { return m_pending.size(); }
    // At a stop: what memory still holds goes to stats.stats, else to a file of its own in the data
    // folder or the folder outside it, else into the log as recovery lines; none is dropped
    // unsaid. The next start (Recover) takes such files back.
    void KeepBeforeStop();
    // Where matches go at a stop when the data folder takes none (UnsavedStatsFolder's by default).
    void SetUnsavedFolder(std::filesystem::path folder) { m_unsavedFolder = std::move(folder); }
    void SetRetryIntervalMs(int ms) { m_retryMs = ms; }
    static constexpr int kDefaultRetryMs = 30000;

    const std::filesystem::path& Path() const { return m_statsFile; }
    std::filesystem::path DamagedPath() const;
    std::filesystem::path ArchiveFolder() const { return m_dataDir / "Archives"; }

private:
    // `saved`: how many blocks left memory, whether all did or not.
    bool WritePending(std::string& error, size_t& saved);
    void TakeBackUnsaved();
    bool Mend(std::string& error);
    void Retry();
    void Saved(size_t kept);
    void TakeBackUnfinished();
    void DropUnfinished();

    std::filesystem::path m_dataDir;
    std::filesystem::path m_statsFile;
    const Settings& m_settings;
    const ServerStatus& m_status;
    const PlayerTable& m_players;
    const OtherSettings& m_other;
    WebReporter& m_reporter;
    LogSink& m_log;
    Dialogs& m_dialogs;
    Scheduler& m_scheduler;
    LocalClock m_clock;
    std::deque<std::string> m_pending;
    bool m_lastKept = false;
    std::function<void(size_t)> m_onSavedLater;
    std::filesystem::path m_unsavedFolder;
    bool m_failing = false;
    // Where the unfinished match's file stands: none, noted (its completion not built yet), or
    // handed on (completed; the file goes once its block has left memory).
    enum class Unfinished { None, Noted, HandedOn } m_unfinished = Unfinished::None;
    int m_retryMs = kDefaultRetryMs;
    Scheduler::TimerId m_retry = 0;
};

}  // namespace tovi
