#pragma once
// What goes to the stats web service: the status report every 30 hosting ticks, and the stats
// file after each match. Both share one transfer, one at a time: a status report that falls due
// while anything runs is skipped (and the log says so), an upload cancels a running status
// report, and an upload asked for while one runs follows right after it.
//
// The stats go in batches of whole blocks, oldest first (UploadQueue). Only a success answer
// that carries the ToviResponse header confirms a batch; then it leaves stats.stats and the next
// batch goes at once, until the queue is empty. Each batch carries its id in the request header
// Idempotency-Key, the same every time that batch is sent, so that the service can drop a repeat.
//
// What changes stats.stats and its record goes through the FileWork the stats file's writes go
// through, in one order with them; the upload is busy (a status report waits) while a batch is
// cut and recorded and while a confirmed one leaves the file.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "FileWork.h"
#include "HttpClient.h"
#include "LogSink.h"
#include "ServerStatus.h"
#include "SettingsFile.h"
#include "UploadQueue.h"

namespace tovi {

inline constexpr const char* kUploadIdHeader = "Idempotency-Key";

// stats.stats in the data folder: the queue of match blocks waiting for the upload.
std::filesystem::path StatsFilePath(const std::filesystem::path& dataDir);

// An answer header as the log shows it: bytes below 32 as blanks, cut after `limit` bytes.
std::string LogSafeText(std::string_view text, size_t limit = 200);

class WebReporter {
public:
    WebReporter(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
                HttpClient& http, LogSink& log, ContentDigest digest, FileWork& work = InlineWork());
    // Abandons a transfer still running, so that its answer never reaches a reporter that is gone,
    // and waits for its work on the files.
    ~WebReporter();
    WebReporter(const WebReporter&) = delete;
    WebReporter& operator=(const WebReporter&) = delete;

    // Posts the server's state of the last poll to UpdateURL and logs the service's answer.
    void SendStatusReport();
    // Posts the stats file to ImportURL, batch after batch, each removed on its confirmation.
    void UploadStats();

    // Bounds every transfer from start to end; 60 seconds unless changed (tests shorten it).
    void SetTransferTimeoutMs(int ms) { m_timeoutMs = ms; }
    int TransferTimeoutMs() const { return m_timeoutMs; }
    static constexpr int kDefaultTransferTimeoutMs = 60000;
    // The slowest uplink a transfer's deadline allows for (16 kbit/s): a body larger than the
    // deadline carries at this rate gets a deadline to match.
    static constexpr uint64_t kSlowestLinkBytesPerSecond = 2000;

    bool UploadRunning() const { return m_running == Transfer::Upload; }
    bool UploadPending() const { return m_uploadPending; }
    // Told of each batch the service confirmed and that left stats.stats: its number of matches.
    void SetOnDelivered(std::function<void(int matches)> onDelivered) { m_onDelivered = std::move(onDelivered); }
    // Told of each transfer's end: "Status report" or "Stats upload", confirmed or not, and why not.
    using OutcomeFn = std::function<void(const std::string& what, bool confirmed, const std::string& why)>;
    void SetOnOutcome(OutcomeFn onOutcome) { m_onOutcome = std::move(onOutcome); }
    // Told of each match the service refused for good: its words, and the file it was set aside in.
    using RejectedFn = std::function<void(const std::string& reason, const std::string& where)>;
    void SetOnRejected(RejectedFn onRejected) { m_onRejected = std::move(onRejected); }

private:
    enum class Transfer { None, Report, Upload };

    void Start(Transfer kind, HttpRequest request);
    void StartNextBatch();
    void ReportDone(const HttpResult& result);
    void UploadDone(const HttpResult& result);
    // After the files show the upload's outcome: whether the queue goes on at once.
    void UploadSettled(bool goOn);
    // What went wrong with a transfer that did not confirm, in the operator's words.
    std::string Failure(const char* what, const std::string& url, const HttpResult& result) const;

    std::filesystem::path m_statsFile;
    const Settings& m_settings;
    const ServerStatus& m_status;
    HttpClient& m_http;
    LogSink& m_log;
    UploadQueue m_queue;  // touched by the work only
    FileWork& m_work;
    int m_timeoutMs = kDefaultTransferTimeoutMs;
    Transfer m_running = Transfer::None;
    uint64_t m_transferId = 0;  // tells the running transfer's answer from a stale one
    bool m_uploadPending = false;
    std::optional<UploadBatch> m_batch;  // the batch the running upload sent
    // Matches still to be sent one at a time, to find the one in a batch the service refuses.
    int m_singly = 0;
    std::function<void(int)> m_onDelivered;
    OutcomeFn m_onOutcome;
    RejectedFn m_onRejected;
    // Answers of work that outlives this reporter find it gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

}  // namespace tovi
