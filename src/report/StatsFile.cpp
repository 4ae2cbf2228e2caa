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
                     LocalClock clock)
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
      m_unsavedFolder(UnsavedStatsFolder()) {}

StatsFile::~StatsFile() {
    if (m_retry != 0) m_scheduler.Cancel(m_retry);
    std::string ignored;
    size_t saved = 0;
    if (!m_pending.empty()) WritePending(ignored, saved);
}

std::filesystem::path StatsFile::DamagedPath() const {
    std::filesystem::path damaged = m_statsFile;
    damaged += ".damaged";
    return damaged;
}

bool StatsFile::WriteStats(bool Upload, std::optional<uint8_t> ResultByte, int32_t MatchTicks) {
    const std::optional<std::string> block =
        StatsBlock(m_settings.ServerCode, m_status, m_players, ResultByte, MatchTicks, m_clock());
    m_lastKept = false;
    if (!block) {
        m_log.Log("Stats of this match not written: game type " + std::to_string(m_status.GameType) +
                  " is not one the stats service takes");
        return false;
    }
    if (m_unfinished == Unfinished::Noted) {
        // The completed match takes the noted one's place in one step: a stop from here on leaves
        // one of the two on disk, never both and never neither.
        std::string noteError;
        if (!ReplaceFileContent(UnfinishedPath(), std::string(kFinishedHeader) + *block, noteError))
            m_log.DebugLog("The completed match could not replace the noted one: " + noteError);
        m_unfinished = Unfinished::HandedOn;
    }
    m_pending.push_back(*block);
    std::string error;
    const bool wasFailing = m_failing;
    const size_t kept = m_pending.size();
    size_t saved = 0;
    const bool written = WritePending(error, saved);
    m_lastKept = !written;
    // This match's block is the last: what went before it was kept by earlier match ends.
    if (m_onSavedLater && std::min(saved, kept - 1) > 0) m_onSavedLater(std::min(saved, kept - 1));
    if (written && wasFailing) {
        Saved(kept - 1);
    } else if (!written && !wasFailing) {
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

    if (m_other.KeepArchive) {
        // Named when the copy is made, which may be a second after the server line's time.
        const std::filesystem::path archive =
            ArchiveFolder() / ("game" + FormatArchiveTime(m_clock()) + ".txt");
        MakePath(archive);
        std::string archiveError;
        if (!AppendToFile(archive, *block, archiveError))
            m_log.Log("No archive copy of this match: " + archiveError);
    }
    if (Upload) UploadIfQueued();
    return written;
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
    std::string error;
    if (!ReplaceFileContent(UnfinishedPath(), std::string(kNotedHeader) + *block, error)) {
        m_log.DebugLog("The match end could not be noted on disk at once; it is written with its final scores: " +
                       error);
        return;
    }
    m_unfinished = Unfinished::Noted;
}

void StatsFile::DropUnfinished() {
    if (m_unfinished != Unfinished::HandedOn) return;
    m_unfinished = Unfinished::None;
    std::string error;
    if (!RemoveFileDurably(UnfinishedPath(), error))
        m_log.Log("The note of the last match end could not be removed: " + error +
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
    if (m_pending.empty()) return;
    const size_t kept = m_pending.size();
    std::string error;
    size_t saved = 0;
    const bool written = WritePending(error, saved);
    if (m_onSavedLater && saved > 0) m_onSavedLater(saved);
    if (!written) {
        m_retry = m_scheduler.Schedule(m_retryMs, [this] { Retry(); });
        return;
    }
    Saved(kept);
    UploadIfQueued();
}

void StatsFile::Saved(size_t kept) {
    m_failing = false;
    const std::string text = "stats.stats can be written again: " +
                             (kept == 1 ? std::string("the match kept in memory is saved in it")
                                        : "the " + std::to_string(kept) + " matches kept in memory are saved in it");
    m_log.Log(text);
    m_dialogs.Inform(text);
}

bool StatsFile::WritePending(std::string& error, size_t& saved) {
    if (m_pending.empty()) return true;
    if (!Mend(error)) return false;
    while (!m_pending.empty()) {
        if (!AppendToFile(m_statsFile, m_pending.front(), error)) return false;
        m_pending.pop_front();
        ++saved;
    }
    DropUnfinished();
    return true;
}

bool StatsFile::Recover() {
    // The data folder is this program's alone while it runs: what a stopped run was writing goes.
    // (Earlier versions named their temporary files after the file and ".tmp".)
    if (const int removed = RemoveLeftoverTemporaryFiles(m_statsFile.parent_path(),
                                                         {"stats.stats.tmp", "stats.stats.upload.tmp"});
        removed > 0)
        m_log.DebugLog("Removed " + std::to_string(removed) + (removed == 1 ? " unfinished temporary file" : " unfinished temporary files") + " of an earlier run");
    std::string error;
    if (!Mend(error)) {
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
    if (m_retry != 0) m_scheduler.Cancel(m_retry);
    m_retry = 0;
    std::string error;
    size_t saved = 0;
    const bool written = m_pending.empty() || WritePending(error, saved);
    if (m_onSavedLater && saved > 0) m_onSavedLater(saved);
    if (written) return;
    const size_t kept = m_pending.size();
    const UnsavedOutcome outcome = KeepUnsaved(m_pending, m_dataDir, m_unsavedFolder, FormatArchiveTime(m_clock()));
    m_pending.clear();
    DropUnfinished();
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

bool StatsFile::Mend(std::string& error) {
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
    m_log.Log(text);
    m_dialogs.Warn(text);
    return true;
}

}  // namespace tovi
