#include "HistoryExport.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "DurableFile.h"
#include "HistoryCsv.h"
#if defined(TOVI_HISTORY_SQLITE)
#include "SqliteHistoryStore.h"
#include "StoreChoice.h"
#endif
#if defined(TOVI_STORE_POSTGRES)
#include "PgHistoryStore.h"
#endif

namespace tovi {

#if defined(TOVI_HISTORY_SQLITE)
namespace {

std::filesystem::path Utf8Path(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace
#endif

bool WantsHistoryExport(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return arg == kExportHistoryOption || arg.starts_with(std::string(kExportHistoryOption) + "=");
    });
}

std::optional<int64_t> ParseUtcDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    int fields[3] = {};
    const std::pair<size_t, size_t> spans[3] = {{0, 4}, {5, 2}, {8, 2}};
    for (int i = 0; i < 3; ++i) {
        for (size_t k = spans[i].first; k < spans[i].first + spans[i].second; ++k) {
            if (text[k] < '0' || text[k] > '9') return std::nullopt;
            fields[i] = fields[i] * 10 + (text[k] - '0');
        }
    }
    using namespace std::chrono;
    const year_month_day date{year{fields[0]}, month{static_cast<unsigned>(fields[1])},
                              day{static_cast<unsigned>(fields[2])}};
    if (!date.ok()) return std::nullopt;  // 2026-02-30
    return static_cast<int64_t>(sys_days{date}.time_since_epoch() / seconds{1});
}

std::optional<size_t> WriteHistoryCsv(HistoryStore& store, int64_t from, const std::filesystem::path& file,
                                      std::string& error, bool& readFailed, ExportPieces pieces) {
    // Each kind is read oldest first, a piece at a time, and the kinds are merged as they are
    // written: in time order, and within one second kind by kind in the order they came.
    struct Stream {
        HistoryKind Kind;
        int64_t After = 0;
        std::vector<HistoryRow> Rows = {};
        size_t Next = 0;
        bool Done = false;
    };
    std::vector<Stream> streams;
    for (HistoryKind kind : {HistoryKind::Matches, HistoryKind::Players, HistoryKind::Chat,
                             HistoryKind::Admin, HistoryKind::Events})
        streams.push_back({kind});
    readFailed = false;
    std::string readError;
    auto refill = [&](Stream& stream) {
        if (stream.Done || stream.Next < stream.Rows.size()) return true;
        stream.Next = 0;
        if (!store.ReadOldestFirst(stream.Kind, from, stream.After, std::max(pieces.Rows, 1), stream.Rows,
                                   readError)) {
            readFailed = true;
            return false;
        }
        stream.Done = stream.Rows.empty();
        return true;
    };
    size_t exported = 0;
    const bool written = ReplaceFileInPieces(
        file,
        [&](const PieceWriter& write) {
            std::string piece = HistoryCsvHeader();
            for (;;) {
                Stream* first = nullptr;
                for (Stream& stream : streams) {
                    if (!refill(stream)) return false;
                    if (!stream.Done &&
                        (!first || stream.Rows[stream.Next].Time < first->Rows[first->Next].Time))
                        first = &stream;
                }
                if (!first) break;
                AppendHistoryCsvLine(piece, first->Rows[first->Next++]);
                ++exported;
                if (piece.size() >= pieces.Bytes) {
                    if (!write(piece)) return false;
                    piece.clear();
                }
            }
            return write(piece);
        },
        error);
    if (readFailed) error = readError;
    if (!written) return std::nullopt;
    return exported;
}

int ExportHistory(const std::vector<std::string>& args, const std::string& defaultFolder, std::ostream& out,
                  std::ostream& err) {
    std::string file, since, folder = defaultFolder;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool known = false;
        for (auto [name, target] : {std::pair{kExportHistoryOption, &file}, std::pair{"--since", &since},
                                    std::pair{"--data-dir", &folder}}) {
            const std::string option = name;
            if (arg == option) {
                if (i + 1 >= args.size()) {
                    err << option << " needs a value.\n";
                    return 2;
                }
                *target = args[++i];
                known = true;
            } else if (arg.starts_with(option + "=")) {
                *target = arg.substr(option.size() + 1);
                known = true;
            }
        }
        if (!known) {
            err << "Unknown argument " << arg
                << ". Usage: tovistats --export-history FILE.csv [--since YYYY-MM-DD] [--data-dir DIR]\n";
            return 2;
        }
    }
    if (file.empty()) {
        err << "--export-history needs the name of the CSV file to write.\n";
        return 2;
    }
    int64_t from = 0;
    if (!since.empty()) {
        const auto day = ParseUtcDate(since);
        if (!day) {
            err << "--since " << since
                << " is no date: give it as YYYY-MM-DD (a day in UTC), e.g. 2026-01-31.\n";
            return 2;
        }
        from = *day;
    }
#if defined(TOVI_HISTORY_SQLITE)
    // The record is where the program keeps it: the shared database when settings.ini names one
    // (this server's rows there), else the embedded file.
    const StoreChoice choice = ReadStoreChoice(Utf8Path(folder));
    std::unique_ptr<HistoryStore> store;
    std::string database;
    if (choice.Shared()) {
#if defined(TOVI_STORE_POSTGRES)
        if (choice.ServerCode.empty()) {
            err << "The record is kept in a shared database, where each server is known by its server code: "
                   "set the server code in settings.ini.\n";
            return 1;
        }
        auto opened = PgHistoryStore::Open(choice.Postgres, choice.ServerCode, {}, PgHistoryStore::kSchemaVersion,
                                           {}, PgConnection::kCommandDeadlineMs);
        if (!opened.Store) {
            err << WithoutPasswords(opened.Error, choice.Postgres) << "\n";
            return 1;
        }
        store = std::move(opened.Store);
        database = "in the shared database";
#else
        err << "settings.ini names a shared PostgreSQL database, which this build of Tovi stats cannot read.\n";
        return 1;
#endif
    } else {
        const std::u8string databaseU8 = (Utf8Path(folder) / "tovistats.db").u8string();
        database.assign(databaseU8.begin(), databaseU8.end());
        auto opened = SqliteHistoryStore::OpenForReading(database);
        if (!opened.Store) {
            err << opened.Error << "\n";
            return 1;
        }
        store = std::move(opened.Store);
    }
    std::string error;
    bool readFailed = false;
    const std::optional<size_t> exported = WriteHistoryCsv(*store, from, Utf8Path(file), error, readFailed);
    if (!exported) {
        if (readFailed) {
            err << "The history database " << database << " could not be read whole (" << error
                << "): nothing was exported.\n";
        } else {
            err << "The file " << file << " could not be written (" << error << "): nothing was exported.\n";
        }
        return 1;
    }
    out << "Exported " << *exported << " rows to " << file << ".\n";
    return 0;
#else
    (void)from;
    (void)out;
    err << "This build of Tovi stats keeps no history, so there is none to export.\n";
    return 1;
#endif
}

}  // namespace tovi
