#include "WebReporter.h"

#include <optional>

#include "DurableFile.h"
#include "TextEncodings.h"

namespace tovi {

namespace {

// The thirteen fields in their fixed order. Base64 hides the texts' own bytes; every value is
// then form-encoded, so that the service's form parser gives back exactly these texts.
std::string StatusReportBody(const Settings& settings, const ServerStatus& s) {
    std::string body;
    auto field = [&body](const char* name, std::string_view value) {
        if (!body.empty()) body += '&';
        body += name;
        body += '=';
        body += FormEncode(value);
    };
    field("servercode", settings.ServerCode);
    field("status", std::to_string(s.State));
    field("dedicated", s.Dedicated ? "True" : "False");
    field("gametype", GameTypes()[s.GameType]);
    field("maxplayers", std::to_string(s.MaxPlayers));
    field("servername", Base64Encode(s.ServerName));
    field("map", Base64Encode(s.MapName));
    field("countrycode", s.CountryCode);
    field("expansion", s.Expansion);
    field("servermsg", Base64Encode(s.ServerMessage));
    field("players", std::to_string(s.PlayerCount));
    field("playernames", Base64Encode(s.PlayerNames));
    field("playerteams", Base64Encode(s.PlayerTeams));
    return body;
}

}  // namespace

std::filesystem::path StatsFilePath(const std::filesystem::path& dataDir) { return dataDir / "stats.stats"; }

WebReporter::WebReporter(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
                         HttpClient& http, LogSink& log)
    : m_statsFile(StatsFilePath(dataDir)), m_settings(settings), m_status(status), m_http(http), m_log(log) {}

WebReporter::~WebReporter() {
    if (m_running != Transfer::None) m_http.Cancel();
}

void WebReporter::Start(Transfer kind, const std::string& url, const std::string& body) {
    m_running = kind;
    const uint64_t id = ++m_transferId;
    m_http.Post(url, body, kFormContentType, m_timeoutMs, [this, id, kind](const HttpResult& result) {
        if (id != m_transferId || m_running != kind) return;
        m_running = Transfer::None;
        if (kind == Transfer::Report) {
            ReportDone(result);
        } else {
            UploadDone(result);
        }
    });
}

void WebReporter::SendStatusReport() {
    // The next report comes 30 ticks later; a report must never cut an upload short, and one
    // still waiting for its answer is left to get it.
    if (m_running != Transfer::None || m_http.Busy()) return;
    if (m_status.GameType >= kGameTypeCount) {
        m_log.Log("Status report not sent: game type " + std::to_string(m_status.GameType) + " is unknown");
        return;
    }
    Start(Transfer::Report, m_settings.UpdateURL, StatusReportBody(m_settings, m_status));
}

void WebReporter::ReportDone(const HttpResult& result) {
    if (result.outcome == HttpOutcome::Failed) {
        m_log.Log("Status report failed: " + result.error);
    } else if (result.toviResponse.empty()) {
        m_log.Log("Request timeout");
    } else {
        m_log.Log(result.toviResponse);
    }
}

void WebReporter::UploadStats() {
    if (m_running == Transfer::Upload) {
        // Whatever is appended now is sent as soon as the running upload has its answer.
        m_uploadPending = true;
        return;
    }
    if (m_running == Transfer::Report || m_http.Busy()) {
        m_http.Cancel();
        m_running = Transfer::None;
    }
    std::string error;
    std::optional<std::string> content = ReadWholeFile(m_statsFile, error);
    if (!content) {
        m_log.Log("Stats upload failed: " + error);
        return;
    }
    m_sentStats = std::move(*content);
    Start(Transfer::Upload, m_settings.ImportURL, "data=" + FormEncode(Base64Encode(m_sentStats)));
}

void WebReporter::UploadDone(const HttpResult& result) {
    if (result.outcome == HttpOutcome::Failed) {
        m_log.Log("Stats upload failed: " + result.error);
    } else if (result.toviResponse.empty()) {
        m_log.Log("Import timeout");
    } else {
        m_log.Log(result.toviResponse);
        RemoveSentStats();
    }
    m_sentStats.clear();
    if (m_uploadPending) {
        m_uploadPending = false;
        UploadStats();
    }
}

void WebReporter::RemoveSentStats() {
    std::string error;
    std::optional<std::string> now = ReadWholeFile(m_statsFile, error);
    if (!now) return;  // removed by hand meanwhile: nothing left to remove
    // The writer only ever appends, so the sent bytes lead the file. If they do not, the file
    // was changed by other hands; sending it again is better than removing the wrong bytes.
    if (!now->starts_with(m_sentStats)) {
        m_log.Log("stats.stats changed during the upload; it is kept whole for the next upload");
        return;
    }
    const std::string_view rest = std::string_view(*now).substr(m_sentStats.size());
    const bool done = rest.empty() ? RemoveFileDurably(m_statsFile, error) : ReplaceFileContent(m_statsFile, rest, error);
    if (!done) m_log.Log("The imported stats stay in stats.stats and go again with the next upload: " + error);
}

}  // namespace tovi
