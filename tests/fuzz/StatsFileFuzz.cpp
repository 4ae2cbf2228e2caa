// stats.stats as a crash, a full disk or another program may leave it: start-up mends it, and
// the next match's block follows. No byte is lost: what stays in the queue and what is moved
// aside together are the file as it was, and the queue keeps every line that ends.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "Scheduler.h"
#include "StatsFile.h"
#include "WebReporter.h"

using namespace tovi;
using namespace tovi::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content(reinterpret_cast<const char*>(data), size);
    const size_t complete = CompleteStatsLength(content);
    TOVI_FUZZ_CHECK(complete <= content.size());
    TOVI_FUZZ_CHECK(complete == 0 || content.compare(complete - 2, 2, "\r\n") == 0);
    // Only the last line and the block it belongs to may go.
    TOVI_FUZZ_CHECK(content.find("\r\nServerInfo ", complete) == std::string::npos);

    const std::filesystem::path stats = StatsFilePath(Folder());
    std::error_code ignored;
    std::filesystem::remove(stats.string() + ".damaged", ignored);
    WriteFile(stats, data, size);

    Settings settings;
    settings.ServerCode = "QX1";
    ServerStatus status;
    status.GameType = 1;
    PlayerTable players;
    OtherSettings other;
    NoWeb web;
    QuietLog log;
    QuietDialogs dialogs;
    VirtualScheduler clock;
    WebReporter reporter(Folder(), settings, status, web, log, [](std::string_view) { return std::string("id"); });
    StatsFile file(Folder(), settings, status, players, other, reporter, log, dialogs, clock,
                   [] { return LocalTime{2004, 6, 12, 21, 5, 9}; });
    TOVI_FUZZ_CHECK(file.Recover());
    const std::string kept = ReadFile(stats);
    TOVI_FUZZ_CHECK(kept == content.substr(0, complete));
    TOVI_FUZZ_CHECK(kept + ReadFile(file.DamagedPath()) == content);

    TOVI_FUZZ_CHECK(file.WriteStats(false, 1, 2));
    const std::string after = ReadFile(stats);
    TOVI_FUZZ_CHECK(after.starts_with(kept) && after.substr(kept.size()).starts_with("ServerInfo QX1|"));
    return 0;
}
