#include "HistoryExport.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
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
    std::function<std::string()> readError;
    std::string database;
    if (choice.Shared()) {
#if defined(TOVI_STORE_POSTGRES)
        if (choice.ServerCode.empty()) {
            err << "The record is kept in a shared database, where each server is known by its server code: "
                   "set the server code in settings.ini.\n";
            return 1;
        }
        auto opened = PgHistoryStore::Open(choice.Postgres, choice.ServerCode, {});
        if (!opened.Store) {
            err << WithoutPasswords(opened.Error, choice.Postgres) << "\n";
            return 1;
        }
        PgHistoryStore* pg = opened.Store.get();
        readError = [pg] { return pg->ReadError(); };
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
        SqliteHistoryStore* sqlite = opened.Store.get();
        readError = [sqlite] { return sqlite->ReadError(); };
        store = std::move(opened.Store);
    }
    // Oldest first, as a log reads; within one second, kind by kind in the order they came.
    std::vector<HistoryRow> rows;
    for (HistoryKind kind : {HistoryKind::Matches, HistoryKind::Players, HistoryKind::Chat,
                             HistoryKind::Admin, HistoryKind::Events}) {
        HistoryQuery query;
        query.Kind = kind;
        query.From = from;
        query.Limit = INT_MAX;
        std::vector<HistoryRow> found = store->Search(query);
        if (!readError().empty()) {
            err << "The history database " << database << " could not be read whole (" << readError()
                << "): nothing was exported.\n";
            return 1;
        }
        rows.insert(rows.end(), std::make_move_iterator(found.rbegin()),
                    std::make_move_iterator(found.rend()));
    }
    readError = nullptr;
    store.reset();
    std::stable_sort(rows.begin(), rows.end(),
                     [](const HistoryRow& a, const HistoryRow& b) { return a.Time < b.Time; });
    std::string error;
    if (!ReplaceFileContent(Utf8Path(file), HistoryCsv(rows), error)) {
        err << "The file " << file << " could not be written (" << error << "): nothing was exported.\n";
        return 1;
    }
    out << "Exported " << rows.size() << " rows to " << file << ".\n";
    return 0;
#else
    (void)from;
    (void)out;
    err << "This build of Tovi stats keeps no history, so there is none to export.\n";
    return 1;
#endif
}

}  // namespace tovi
