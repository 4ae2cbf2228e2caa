#pragma once
// What goes to the stats web service: the status report every 30 hosting ticks, and the stats
// file after each match. Both share one transfer, one at a time: a status report that falls due
// while anything runs is skipped, an upload cancels a running status report, and an upload asked
// for while one runs follows right after it.
#include <cstdint>
#include <filesystem>
#include <string>

#include "HttpClient.h"
#include "LogSink.h"
#include "ServerStatus.h"
#include "SettingsFile.h"

namespace tovi {

// stats.stats in the data folder: the queue of match blocks waiting for the upload.
std::filesystem::path StatsFilePath(const std::filesystem::path& dataDir);

class WebReporter {
public:
    WebReporter(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
                HttpClient& http, LogSink& log);
    // Abandons a transfer still running, so that its answer never reaches a reporter that is gone.
    ~WebReporter();
    WebReporter(const WebReporter&) = delete;
    WebReporter& operator=(const WebReporter&) = delete;

    // Posts the server's state of the last poll to UpdateURL and logs the service's answer.
    void SendStatusReport();
    // Posts the whole stats file to ImportURL; on the service's confirmation removes exactly the
    // part that was sent, so that a block appended meanwhile stays for the next upload.
    void UploadStats();

    // Bounds every transfer; 60 seconds unless changed (tests shorten it).
    void SetTransferTimeoutMs(int ms) { m_timeoutMs = ms; }
    int TransferTimeoutMs() const { return m_timeoutMs; }
    static constexpr int kDefaultTransferTimeoutMs = 60000;

    bool UploadRunning() const { return m_running == Transfer::Upload; }
    bool UploadPending() const { return m_uploadPending; }

private:
    enum class Transfer { None, Report, Upload };

    void Start(Transfer kind, const std::string& url, const std::string& body);
    void ReportDone(const HttpResult& result);
    void UploadDone(const HttpResult& result);
    void RemoveSentStats();

    std::filesystem::path m_statsFile;
    const Settings& m_settings;
    const ServerStatus& m_status;
    HttpClient& m_http;
    LogSink& m_log;
    int m_timeoutMs = kDefaultTransferTimeoutMs;
    Transfer m_running = Transfer::None;
    uint64_t m_transferId = 0;   // tells the running transfer's answer from a stale one
    bool m_uploadPending = false;
    std::string m_sentStats;     // the stats file's bytes as the running upload sent them
};

}  // namespace tovi
