// Opening the record: the history, the ban list and the notices' queue, in the data folder's file
// or in a shared database.
#include <QDir>
#include <filesystem>

#include "NoticeService.h"
#include "Service.h"
#include "StoreChoice.h"

#if defined(TOVI_HISTORY_SQLITE)
#include "SqliteBanStore.h"
#include "SqliteHistoryStore.h"
#if defined(TOVI_STORE_POSTGRES)
#include "PgBanStore.h"
#include "PgHistoryStore.h"
#endif
#endif
#if defined(TOVI_NOTICES_SQLITE)
#include "SqliteNoticeQueue.h"
#endif

namespace tovi {

void Service::OpenRecord() {
#if defined(TOVI_HISTORY_SQLITE)
    // SQLite takes file names in UTF-8 on every platform.
    const std::string file = QDir(m_dataDir).filePath(QStringLiteral("tovistats.db")).toStdString();
#if defined(TOVI_STORE_POSTGRES)
    const StoreChoice choice = ReadStoreChoice(std::filesystem::path(m_dataDir.toStdU16String()));
    m_storeInUse = choice.Postgres;
    if (choice.Shared()) {
        // The server's own file keeps the notices, and the history the shared database has not
        // confirmed yet.
        auto local = SqliteHistoryStore::Open(file, {});
        if (!local.Store) {
            m_context->Questions().Warn(local.Error);
            return;
        }
        local.Store.reset();
        OpenSharedRecord(choice, file);
        OpenNoticeQueue(file);
        return;
    }
#endif
    auto opened = SqliteHistoryStore::Open(file, [this](const std::string& line) { Log(line); });
    if (!opened.Store) {
        m_context->Questions().Warn(opened.Error);
        return;
    }
    SqliteHistoryStore& own = *opened.Store;
    UseHistory(std::move(opened.Store));
    // The operator's reads go through a read-only connection of their own; what this tick
    // queued is handed to the writer as they are asked, and written before they read.
    StartReader(
        [file]() -> std::unique_ptr<HistoryStore> { return SqliteHistoryStore::OpenForReading(file).Store; },
        [&own] { own.Flush(); }, [&own] { own.WaitForWriter(); });
    // The ban list lives in the same file; without it the list is kept in memory only.
    auto bans = SqliteBanStore::Open(file, &m_scheduler);
    if (!bans.Store) {
        m_context->Questions().Warn(bans.Error + ": bans are kept only until the program ends.");
        return;
    }
    UseBanStore(std::move(bans.Store));
    OpenNoticeQueue(file);
#endif
}

void Service::OpenNoticeQueue([[maybe_unused]] const std::string& file) {
#if defined(TOVI_NOTICES_SQLITE)
    // Notices wait in the same file, so that none is lost when the program stops or is killed.
    auto notices = SqliteNoticeQueue::Open(file, &m_scheduler);
    if (!notices.Queue) {
        Log(notices.Error + ": notices wait in memory only.");
        return;
    }
    m_notices->UseQueue(std::move(notices.Queue));
#endif
}

#if defined(TOVI_STORE_POSTGRES)
void Service::OpenSharedRecord(const StoreChoice& choice, const std::string& outbox) {
    if (const std::string problem = ConninfoProblem(choice.Postgres); !problem.empty()) {
        m_context->Questions().Warn(problem + " It is named in settings.ini ([store] postgres=). No history is kept, and bans "
                        "are kept only until the program ends.");
        return;
    }
    if (choice.ServerCode.empty()) {
        m_context->Questions().Warn("The record is kept in a shared database, where each server is known by its server code: "
                        "set the server code in settings.ini. No history is kept meanwhile.");
    } else {
        auto opened = PgHistoryStore::Open(
            choice.Postgres, choice.ServerCode, [this](const std::string& line) { Log(line); },
            PgHistoryStore::kSchemaVersion, outbox);
        // Without the history the shared ban list is still enforced.
        if (opened.Store) {
            m_sharedHistory = opened.Store.get();
            UseHistory(std::move(opened.Store));
            m_recordServerCode = choice.ServerCode;
            // The operator's reads on a connection of their own, made on the reader's thread.
            // It writes nothing and claims no lease; batches sent at the last ticks are read
            // once the database has committed them.
            StartReader([conninfo = choice.Postgres, code = choice.ServerCode]() -> std::unique_ptr<HistoryStore> {
                return PgHistoryStore::Open(conninfo, code, {}).Store;
            });
        } else {
            m_context->Questions().Warn(WithoutStorePasswords(opened.Error));
        }
    }
    auto bans = PgBanStore::Open(choice.Postgres, outbox);
    if (!bans.Store) {
        m_context->Questions().Warn(WithoutStorePasswords(bans.Error) + ": bans are kept only until the program ends.");
        return;
    }
    PgBanStore& shared = *bans.Store;
    UseBanStore(std::move(bans.Store));
    m_banWatcher = std::make_unique<SharedBanWatcher>(
        shared, m_banList, m_scheduler, [this](const std::string& line) { Log(line); },
        [this] {
            // A ban made on another server acts here at once on whoever sits in a slot.
            m_banEnforcer->PlayersRead(m_seatedNow);
            emit banListChanged();
        });
    m_banWatcher->Start();
}

#endif

void Service::CheckServerCode() {
#if defined(TOVI_HISTORY_SQLITE) && defined(TOVI_STORE_POSTGRES)
    if (!m_sharedHistory || m_sharedHistory->HeldElsewhere() == m_codeHeldBy) return;
    m_codeHeldBy = m_sharedHistory->HeldElsewhere();
    if (!m_codeHeldBy.empty()) m_notices->Events().ServerCodeInUse(m_sharedHistory->Server(), m_codeHeldBy);
    emit serverCodeInUse(m_codeHeldBy);
#endif
}

void Service::StartReader(HistoryReader::Opener open, std::function<void()> handOver, std::function<void()> settle) {
    m_reader.Start(std::move(open), std::move(handOver), std::move(settle));
    // This server's match under way is the recorder's to say; another's, its rows'.
    m_reader.SetUnderWay([this](const std::string& server) -> std::optional<bool> {
        if (!server.empty() && server != OwnServerCode()) return std::nullopt;
        return m_history.MatchOpen();
    });
}

void Service::UseHistory(std::unique_ptr<HistoryStore> store) {
    m_reader.Stop();  // it read the store being replaced
    m_history.SetStore(*store);
    m_historyStore = std::move(store);
    m_historyKept = true;
}

void Service::UseBanStore(std::unique_ptr<BanStore> store) {
    m_banList.SetStore(store.get());
    m_banStore = std::move(store);
    std::string error;
    if (!m_banList.Load(error))
        m_context->Questions().Warn("The ban list could not be read (" + error + "): it starts empty.");
    emit banListChanged();
}

}  // namespace tovi
