#include "StatsFile.h"

#include "UnsavedStats.h"

#include <algorithm>
#include <fstream>
#include <initializer_list>

#include "DurableFile.h"
#include "StatsFormat.h"
#include "UnsavedStats.h"

namespace tovi {

namespace {

using namespace stats_format;

// A text for one field of a line: bytes below 32 as blanks, and every separator of the format
// that would show up in it, or run into it from the separator before or after it, broken by a
// blank. A blank is in no separator, so one pass from the left finds them all.
std::string FieldText(std::string_view before, std::string_view text, std::string_view after) {
    std::string line = std::string(before) + LineSafeName(text) + std::string(after);
    const size_t first = before.size();
    const size_t end = first + text.size();
    for (size_t at = 0; at < end; ++at) {
        for (std::string_view separator : {kTag, kNameEnd.substr(0, 5)}) {
            if (line.compare(at, separator.size(), separator) != 0) continue;
            // The separators around the field are the line's own.
            if (at + separator.size() <= first) continue;
            line[std::max(at, first)] = ' ';
        }
    }
    return line.substr(first, text.size());
}

// Whether `line` starts as `word` does, as far as either goes: a line cut short still counts.
bool StartsLike(std::string_view line, std::string_view word) {
    const size_t n = std::min(line.size(), word.size());
    return line.substr(0, n) == word.substr(0, n);
}

// Whether the file's last two bytes are a line end, read without reading the file.
bool EndsWithLineEnd(const std::filesystem::path& file, uintmax_t size) {
    if (size < 2) return false;
    std::ifstream in(file, std::ios::binary);
    in.seekg(-2, std::ios::end);
    char last[2] = {};
    return static_cast<bool>(in.read(last, 2)) && std::string_view(last, 2) == kLineEnd;
}

}  // namespace

std::optional<std::string> StatsBlock(const std::string& serverCode, const ServerStatus& status,
                                      const PlayerTable& players, std::optional<uint8_t> resultByte, int32_t matchTicks,
                                      const LocalTime& written) {
    if (status.GameType >= kGameTypeCount) return std::nullopt;
    std::string block(kServerLine);
    block.append(FieldText(kServerLine, serverCode, kTag));
    block.append(kTag).append(FieldText(kTag, status.MapName, kTag));
    block.append(kTag).append(GameTypes()[status.GameType]);
    block.append(kTag).append(resultByte ? std::to_string(*resultByte) : std::string());
    block.append(kTag).append(FormatStatsTime(written));
    block.append(kTag).append(std::to_string(matchTicks));
    block.append(kLineEnd);
    for (const PlayerClass& player : players) {
        block.append(kPlayerLine).append(FieldText(kPlayerLine, player.P_Name, kNameEnd)).append(kNameEnd);
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

namespace {

std::string MatchCount(size_t count) {
    return std::to_string(count) + (count == 1 ? " match" : " matches");
}

// The first line of the unfinished match's file: whether its block is the one read when the
// score screen was seen, or already the completed one.
constexpr std::string_view kNotedHeader = "unfinished\r\n";
constexpr std::string_view kFinishedHeader = "finished\r\n";

}  // namespace

size_t CompleteStatsLength(std::string_view content) {
    if (content.empty() || content.ends_with(kLineEnd)) return content.size();
    const size_t lastEnd = content.rfind(kLineEnd);
    const size_t lastLine = lastEnd == std::string_view::npos ? 0 : lastEnd + 2;
    const std::string_view cut = content.substr(lastLine);
    // A cut server line is its block's only line: the blocks before it are whole.
    if (StartsLike(cut, kServerLine)) return lastLine;
    // Anything but a cut player line is a stray line of its own.
    if (!StartsLike(cut, kPlayerLine) || lastLine == 0) return lastLine;
    // A cut player line leaves its block unfinished, from that block's server line on.
    for (size_t line = lastLine; line > 0;) {
        const size_t end = line >= 3 ? content.rfind(kLineEnd, line - 3) : std::string_view::npos;
        line = end == std::string_view::npos ? 0 : end + 2;
        if (content.substr(line).starts_with(kServerLine)) return line;
    }
    return lastLine;  // no server line above it: only the cut line is unfinished
}

StatsFile::StatsFile(const std::filesystem::path& dataDir, const Settings& settings,
                     const ServerStatus& status, const PlayerTable& players, const OtherSettings& other,
                     WebReporter& reporter, LogSink& log, Dialogs& dialogs, Scheduler& scheduler,
                     LocalClock clock, FileWork& work)
    : m_dataDir(dataDir),
      m_statsFile(StatsFilePath(dataDir)),
      m_settings(settings),
      m_status(status),
      m_players(players),
      m_other(other),
      m_reporter(reporter),
      m_log(log),
      m_dialogs(dialogs),
      m_scheduler(scheduler),
      m_clock(std::move(clock)),
      m_work(work),
      m_unsavedFolder(UnsavedStatsFolder()) {}

StatsFile::~StatsFile() {
    // The writes handed over touch this writer's files: they end, and their answers run, first.
    m_work.Finish();
    m_alive.reset();
    if (m_retry != 0) m_scheduler.Cancel(m_retry);
    std::string ignored;
    size_t saved = 0;
    if (!m_pending.empty()) WriteNow(ignored, saved);
}

std::filesystem::path StatsFile::DamagedPath() const {
    std::filesystem::path damaged = m_statsFile;
    damaged += ".damaged";
    return damaged;
}

bool StatsFile::WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks,
                           std::function<void(bool)> written) {
    const std::optional<std::string> block =
        StatsBlock(m_settings.ServerCode, m_status, m_players, ResultByte, MatchTicks, m_clock());
    if (!block) {
        m_log.Log("Stats of this match not written: game type " + std::to_string(m_status.GameType) +
                  " is not one the stats service takes");
        if (written) written(false);
        return false;
    }
    // The completed match takes the noted one's place in one step: a stop from here on leaves
    // one of the two on disk, never both and never neither.
    m_finishedNote = *block;
    m_pending.push_back(*block);
    if (m_other.KeepArchive) {
        // Named when the copy is made, which may be a second after the server line's time.
        m_archives.emplace_back(ArchiveFolder() / ("game" + FormatArchiveTime(m_clock()) + ".txt"), *block);
    }
    // Known here only when the work ran inside this call (InlineFileWork).
    auto outcome = std::make_shared<std::optional<bool>>();
    m_asked.push_back({Upload, [outcome, written = std::move(written)](bool ok) {
                           *outcome = ok;
                           if (written) written(ok);
                       }});
    // A write still running takes no more blocks: these go with the next, in order behind it.
    if (!m_writing) StartWrite();
    return outcome->value_or(false);
}

void StatsFile::StartWrite() {
    auto write = std::make_shared<Write>();
    write->blocks.assign(m_pending.begin(), m_pending.end());
    write->asked = std::exchange(m_asked, {});
    write->earlier = m_pending.size() - std::min(m_pending.size(), write->asked.size());
    write->finishedNote = std::exchange(m_finishedNote, std::nullopt);
    write->archives = std::exchange(m_archives, {});
    m_writing = true;
    m_work.Run([this, write] { DoWrite(*write); },
               [this, write, alive = std::weak_ptr<bool>(m_alive)] {
                   if (alive.lock()) WriteDone(*write);
               });
}

void StatsFile::DoWrite(Write& write) {
    if (write.finishedNote && m_side->unfinished == FileSide::Unfinished::Noted) {
        std::string noteError;
        if (!ReplaceFileContent(UnfinishedPath(), std::string(kFinishedHeader) + *write.finishedNote, noteError))
            write.notes.debug.push_back("The completed match could not replace the noted one: " + noteError);
        m_side->unfinished = FileSide::Unfinished::HandedOn;
    }
    write.written = Mend(write.error, write.notes);
    for (size_t i = 0; write.written && i < write.blocks.size(); ++i) {
        write.written = AppendToFile(m_statsFile, write.blocks[i], write.error);
        if (write.written) ++write.saved;
    }
    if (write.written) DropUnfinished(write.notes);
    for (const auto& [archive, block] : write.archives) {
        MakePath(archive);
        std::string archiveError;
        if (!AppendToFile(archive, block, archiveError))
            write.notes.log.push_back("No archive copy of this match: " + archiveError);
    }
}

void StatsFile::Say(const Notes& notes) {
    for (const std::string& line : notes.debug) m_log.DebugLog(line);
    for (const std::string& line : notes.log) m_log.Log(line);
    for (const std::string& text : notes.warnings) m_dialogs.Warn(text);
}

void StatsFile::WriteDone(Write& write) {
    m_writing = false;
    for (size_t i = 0; i < write.saved && !m_pending.empty(); ++i) m_pending.pop_front();
    Say(write.notes);
    const bool written = write.written;
    const std::string& error = write.error;
    // Only the blocks earlier match ends kept count as saved later.
    if (m_onSavedLater && std::min(write.saved, write.earlier) > 0)
        m_onSavedLater(std::min(write.saved, write.earlier));
    if (written && m_failing) {
        Saved(write.earlier);
    } else if (!written && !m_failing) {
        m_failing = true;
        m_log.Log("Stats not saved, kept in memory: " + error);
        m_dialogs.Warn(
            "The stats of a match could not be saved to stats.stats:\r\n" + error +
            "\r\n\r\nThey are kept in memory and saved, in order, as soon as the file can be written "
            "again; the program tries every " +
            std::to_string(m_retryMs / 1000) +
            " seconds. Make room on the disk or fix the folder's permissions, and keep Tovi stats "
            "running until it says the stats are saved.");
    } else if (!written) {
        m_log.Log("Stats not saved yet, " + std::to_string(m_pending.size()) +
                  (m_pending.size() == 1 ? " match" : " matches") + " kept in memory: " + error);
    }
    if (!written && m_retry == 0) m_retry = m_scheduler.Schedule(m_retryMs, [this] { Retry(); });
    bool upload = written && write.asked.empty();  // a retry that saved what was kept
    if (!write.asked.empty()) m_lastKept = !written;
    for (Asked& asked : write.asked) {
        upload = upload || asked.upload;
        if (asked.written) asked.written(written);
    }
    // Blocks that came meanwhile go first, so that the upload's batch, cut behind them, takes them.
    if (!m_asked.empty() && !m_writing) StartWrite();
    // The upload starts only now: what it sends is on the disk.
    if (upload) UploadIfQueued();
}

std::filesystem::path StatsFile::UnfinishedPath() const {
    std::filesystem::path unfinished = m_statsFile;
    unfinished += ".unfinished";
    return unfinished;
}

void StatsFile::NoteMatchEnd(int32_t MatchTicks) {
    const std::optional<std::string> block =
        StatsBlock(m_settings.ServerCode, m_status, m_players, std::nullopt, MatchTicks, m_clock());
    if (!block) return;
    auto error = std::make_shared<std::string>();
    m_work.Run(
        [this, block = *block, error] {
            if (ReplaceFileContent(UnfinishedPath(), std::string(kNotedHeader) + block, *error))
                m_side->unfinished = FileSide::Unfinished::Noted;
        },
        [this, error, alive = std::weak_ptr<bool>(m_alive)] {
            if (alive.lock() && !error->empty())
                m_log.DebugLog(
                    "The match end could not be noted on disk at once; it is written with its final scores: " + *error);
        });
}

void StatsFile::DropUnfinished(Notes& notes) {
    if (m_side->unfinished != FileSide::Unfinished::HandedOn) return;
    m_side->unfinished = FileSide::Unfinished::None;
    std::string error;
    if (!RemoveFileDurably(UnfinishedPath(), error))
        notes.log.push_back("The note of the last match end could not be removed: " + error +
                            "; remove it before the next start, or that match is queued twice");
}

void StatsFile::TakeBackUnfinished() {
    const std::filesystem::path file = UnfinishedPath();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return;
    std::string error;
    const std::optional<std::string> content = ReadWholeFile(file, error);
    if (!content) {
        m_log.Log("The match that ended at the last stop is not queued yet: " + error);
        return;
    }
    const bool noted = content->starts_with(kNotedHeader);
    const bool finished = content->starts_with(kFinishedHeader);
    const std::string block = content->substr(noted ? kNotedHeader.size() : finished ? kFinishedHeader.size() : 0);
    bool cut = false;
    const std::vector<std::string> blocks = RecoveredBlocks(block, cut);
    bool done = false;
    if ((!noted && !finished) || cut || blocks.size() != 1 || blocks[0] != block) {
        // Not a note this program wrote whole: kept for the operator, like any unfinished end.
        done = AppendToFile(DamagedPath(), *content, error) && RemoveFileDurably(file, error);
        if (done) m_log.Log("A damaged note of the last match end was moved to " + PathText(DamagedPath()));
    } else if (finished && ReadWholeFile(m_statsFile, error).value_or("").find(block) != std::string::npos) {
        // Stopped after the completed match was queued, before its note went.
        done = RemoveFileDurably(file, error);
    } else if (AppendToFile(m_statsFile, block, error) && RemoveFileDurably(file, error)) {
        done = true;
        m_log.Log(noted ? "The match that ended as the program stopped is queued with the scores read before its end: "
                          "its final scores could not be read"
                        : "The match that ended as the program stopped is queued");
    }
    if (!done) m_log.Log("The match that ended at the last stop is not queued yet: " + error);
}

void StatsFile::UploadIfQueued() {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(m_statsFile, ec);
    if (!ec && size > 0) m_reporter.UploadStats();
}

void StatsFile::Retry() {
    m_retry = 0;
    // A write running now answers for these blocks too.
    if (m_pending.empty() || m_writing) return;
    StartWrite();
}

void StatsFile::Saved(size_t kept) {
    m_failing = false;
    const std::string text = "stats.stats can be written again: " +
                             (kept == 1 ? std::string("the match kept in memory is saved in it")
                                        : "the " + std::to_string(kept) + " matches kept in memory are saved in it");
    m_log.Log(text);
    m_dialogs.Inform(text);
}

bool StatsFile::WriteNow(std::string& error, size_t& saved) {
    Write write;
    write.blocks.assign(m_pending.begin(), m_pending.end());
    write.finishedNote = std::exchange(m_finishedNote, std::nullopt);
    write.archives = std::exchange(m_archives, {});
    DoWrite(write);
    Say(write.notes);
    for (size_t i = 0; i < write.saved; ++i) m_pending.pop_front();
    saved = write.saved;
    error = write.error;
    return write.written;
}

bool StatsFile::Recover() {
    // The data folder is this program's alone while it runs: what a stopped run was writing goes.
    // (Earlier versions named their temporary files after the file and ".tmp".)
    if (const int removed = RemoveLeftoverTemporaryFiles(m_statsFile.parent_path(),
                                                         {"stats.stats.tmp", "stats.stats.upload.tmp"});
        removed > 0)
        m_log.DebugLog("Removed " + std::to_string(removed) + (removed == 1 ? " unfinished temporary file" : " unfinished temporary files") + " of an earlier run");
    std::string error;
    Notes notes;
    const bool mended = Mend(error, notes);
    Say(notes);
    if (!mended) {
        m_log.Log("stats.stats could not be mended: " + error);
        return false;
    }
    TakeBackUnsaved();
    TakeBackUnfinished();
    return true;
}

void StatsFile::TakeBackUnsaved() {
    for (const std::filesystem::path& file : UnsavedFiles(m_dataDir, m_unsavedFolder)) {
        std::string error;
        const std::optional<std::string> content = ReadWholeFile(file, error);
        bool cut = false;
        const std::vector<std::string> blocks = content ? RecoveredBlocks(*content, cut) : std::vector<std::string>{};
        std::string all;
        for (const std::string& block : blocks) all += block;
        if (!content || !AppendToFile(m_statsFile, all, error) || !RemoveFileDurably(file, error)) {
            m_log.Log("The matches kept in " + PathText(file) + " at the last stop are not queued yet: " + error);
            continue;
        }
        m_log.Log("The stats of " + MatchCount(blocks.size()) + " kept in " + PathText(file) +
                  " at the last stop are queued again");
    }
}

void StatsFile::KeepBeforeStop() {
    // The writes handed over end first, and their answers say which blocks left memory.
    m_work.Finish();
    if (m_retry != 0) m_scheduler.Cancel(m_retry);
    m_retry = 0;
    std::string error;
    size_t saved = 0;
    const bool written = m_pending.empty() || WriteNow(error, saved);
    if (m_onSavedLater && saved > 0) m_onSavedLater(saved);
    if (written) return;
    const size_t kept = m_pending.size();
    const UnsavedOutcome outcome = KeepUnsaved(m_pending, m_dataDir, m_unsavedFolder, FormatArchiveTime(m_clock()));
    m_pending.clear();
    Notes notes;
    DropUnfinished(notes);
    Say(notes);
    if (!outcome.Where.empty()) {
        m_log.Log("The stats of " + MatchCount(kept) + " could not be saved to stats.stats (" + error + "); they are kept in " +
                  outcome.Where + " and queued again at the next start");
        return;
    }
    m_log.Log("The stats of " + MatchCount(kept) + " could not be written to any file (" + error +
              "). They follow as lines marked \"" + std::string(kRecoveryMark) +
              "\": save these lines to a file and run tovistats --recover FILE to queue them again");
    for (const std::string& line : outcome.LogLines) m_log.Log(line);
}

bool StatsFile::Mend(std::string& error, Notes& notes) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(m_statsFile, ec);
    if (!std::filesystem::exists(status)) return true;
    if (!std::filesystem::is_regular_file(status)) {
        error = PathText(m_statsFile) + " is not a plain file";
        return false;
    }
    const uintmax_t size = std::filesystem::file_size(m_statsFile, ec);
    if (ec) {
        error = PathText(m_statsFile) + ": " + ec.message();
        return false;
    }
    if (size == 0 || EndsWithLineEnd(m_statsFile, size)) return true;

    const std::optional<std::string> content = ReadWholeFile(m_statsFile, error);
    if (!content) return false;
    const size_t complete = CompleteStatsLength(*content);
    const std::string_view rest = std::string_view(*content).substr(complete);
    // Kept for the operator, never thrown away; the queue keeps every whole block before it.
    if (!AppendToFile(DamagedPath(), rest, error) || !TruncateFile(m_statsFile, complete, error)) {
        error = "its unfinished end could not be moved aside (" + error + ")";
        return false;
    }
    const std::string text = "The unfinished end of stats.stats (" + std::to_string(rest.size()) +
                             " bytes, left by a crash or a full disk) was moved to " +
                             PathText(DamagedPath()) + "; every complete match stays queued";
    notes.log.push_back(text);
    notes.warnings.push_back(text);
    return true;
}

}  // namespace tovi
