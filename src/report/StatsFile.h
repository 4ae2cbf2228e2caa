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
//
// The writes themselves (each waits for the disk) go through a FileWork, in order: the event loop
// hands a match's block over and hears later whether it reached the disk; only then does the
// upload of stats.stats start. A block is in memory until its write is done, so a stop at any
// point still finds it (KeepBeforeStop waits for the work and keeps what did not make it).
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Dialogs.h"
#include "FileWork.h"
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
              Dialogs& dialogs, Scheduler& scheduler, LocalClock clock = SystemLocalTime,
              FileWork& work = InlineWork());
    // Waits for the writes handed over, then tries once more to write what is still kept in memory.
    ~StatsFile();
    StatsFile(const StatsFile&) = delete;
    StatsFile& operator=(const StatsFile&) = delete;

    // Appends this match's block to stats.stats, behind any kept earlier, and, with
    // KeepArchive on, to its archive file; then, when `Upload` is true and stats.stats
    // holds blocks, starts the upload. `MatchTicks` is the map cycle's true count of hosting
    // ticks, however long it ran. `written` hears whether this block reached stats.stats once
    // that is known (false at once for a game type outside GameTypes, which writes nothing and is
    // logged); the answer is that too when the write is done by the time this returns (with
    // InlineFileWork), false otherwise. A result byte that could not be read leaves its field empty.
    bool WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks,
                    std::function<void(bool written)> written = {});
    // Whether the last WriteStats whose write is done kept its block in memory, to be saved later.
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
    // Lines for the log and the operator from work done away from the event loop, said there.
    struct Notes {
        std::vector<std::string> log, debug, warnings;
    };
    // One write of the blocks in memory, with what the match ends since the last one asked for.
    struct Asked {
        bool upload = false;
        std::function<void(bool)> written;
    };
    struct Write {
        std::vector<std::string> blocks;           // m_pending's, oldest first
        size_t earlier = 0;                        // how many of them earlier match ends kept
        std::optional<std::string> finishedNote;   // the completed match for the unfinished note
        std::vector<std::pair<std::filesystem::path, std::string>> archives;
        std::vector<Asked> asked;
        // Filled by the work:
        size_t saved = 0;
        bool written = false;
        std::string error;
        Notes notes;
    };
    // What only the work touches (and the event loop once the work is finished).
    struct FileSide {
        // Where the unfinished match's file stands: none, noted (its completion not built yet), or
        // handed on (completed; the file goes once its block has left memory).
        enum class Unfinished { None, Noted, HandedOn } unfinished = Unfinished::None;
    };

    void StartWrite();
    void DoWrite(Write& write);
    void WriteDone(Write& write);
    void Say(const Notes& notes);
    // Writes the blocks in memory here and now (at a stop, with no work running).
    bool WriteNow(std::string& error, size_t& saved);
    void TakeBackUnsaved();
    bool Mend(std::string& error, Notes& notes);
    void Retry();
    void Saved(size_t kept);
    void TakeBackUnfinished();
    void DropUnfinished(Notes& notes);

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
    FileWork& m_work;
    std::deque<std::string> m_pending;
    // Asked for while a write was running: they go with the next one.
    std::vector<Asked> m_asked;
    std::optional<std::string> m_finishedNote;
    std::vector<std::pair<std::filesystem::path, std::string>> m_archives;
    bool m_writing = false;
    bool m_lastKept = false;
    std::function<void(size_t)> m_onSavedLater;
    std::filesystem::path m_unsavedFolder;
    bool m_failing = false;
    std::shared_ptr<FileSide> m_side = std::make_shared<FileSide>();
    // Answers of work that outlives this writer find it gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    int m_retryMs = kDefaultRetryMs;
    Scheduler::TimerId m_retry = 0;
};

}  // namespace tovi
