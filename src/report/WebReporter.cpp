#include "WebReporter.h"

#include <algorithm>
#include <optional>
#include <utility>

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

// An address as the log shows it: without a user name and password in front of the host.
std::string ShownUrl(const std::string& url) {
    std::string shown = url;
    const size_t scheme = shown.find("://");
    const size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t hostEnd = shown.find_first_of("/?#", hostStart);
    const size_t at = shown.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
    if (at != std::string::npos && at >= hostStart) shown.erase(hostStart, at + 1 - hostStart);
    return LogSafeText(shown);
}

std::string Matches(int blocks) { return std::to_string(blocks) + (blocks == 1 ? " match" : " matches"); }

}  // namespace

std::filesystem::path StatsFilePath(const std::filesystem::path& dataDir) { return dataDir / "stats.stats"; }

std::string LogSafeText(std::string_view text, size_t limit) {
    std::string shown(text.substr(0, limit));
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 32) c = ' ';
    }
    if (text.size() > limit) shown += "...";
    return shown;
}

WebReporter::WebReporter(const std::filesystem::path& dataDir, const Settings& settings, const ServerStatus& status,
                         HttpClient& http, LogSink& log, ContentDigest digest, FileWork& work)
    : m_statsFile(StatsFilePath(dataDir)),
      m_settings(settings),
      m_status(status),
      m_http(http),
      m_log(log),
      m_queue(m_statsFile, std::move(digest)),
      m_work(work) {}

WebReporter::~WebReporter() {
    m_alive.reset();
    // The work holds the queue: it ends before the queue goes.
    m_work.Finish();
    if (m_running != Transfer::None) m_http.Cancel();
}

void WebReporter::Start(Transfer kind, HttpRequest request) {
    m_running = kind;
    const uint64_t id = ++m_transferId;
    // A large body over a slow uplink gets the time it needs at the slowest rate taken for a
    // link, so that it is ever delivered; anything else the usual deadline.
    const uint64_t needed = request.body.size() * 1000 / kSlowestLinkBytesPerSecond;
    request.timeoutMs = static_cast<int>(std::max<uint64_t>(static_cast<uint64_t>(m_timeoutMs), needed));
    m_http.Post(request, [this, id, kind](const HttpResult& result) {
        if (id != m_transferId || m_running != kind) return;
        m_running = Transfer::None;
        if (kind == Transfer::Report) {
            ReportDone(result);
        } else {
            UploadDone(result);
        }
    });
}

std::string WebReporter::Failure(const char* what, const std::string& url, const HttpResult& result) const {
    std::string where;
    if (!url.empty()) where.append(" to ").append(ShownUrl(url));
    switch (result.outcome) {
    case HttpOutcome::TimedOut:
        return std::string(what) + where + " got " + LogSafeText(result.error);
    case HttpOutcome::Failed:
        return std::string(what) + where + " failed: " + LogSafeText(result.error);
    case HttpOutcome::Answered: break;
    }
    std::string text(what);
    text.append(where).append(" failed: HTTP ").append(std::to_string(result.status));
    if (result.status >= 300 && result.status <= 399) {
        text += result.location.empty() ? ", a redirect without a target"
                                        : ", a redirect to " + LogSafeText(result.location);
        text += " (not followed: correct the address in the settings)";
    } else if (result.status >= 200 && result.status <= 299) {
        text += " without a ToviResponse header, so not confirmed";
    }
    if (!result.toviResponse.empty()) text += "; ToviResponse: " + LogSafeText(result.toviResponse);
    if (!result.body.empty()) text += "; the service says: " + LogSafeText(result.body);
    return text;
}

void WebReporter::SendStatusReport() {
    // The next report comes 30 ticks later; a report must never cut an upload short, and one
    // still waiting for its answer is left to get it.
    if (m_running == Transfer::Upload) {
        m_log.Log("Status report skipped: the stats upload still runs");
        return;
    }
    if (m_running != Transfer::None || m_http.Busy()) {
        m_log.Log("Status report skipped: the last one still waits for its answer");
        return;
    }
    if (m_status.GameType >= kGameTypeCount) {
        m_log.Log("Status report not sent: game type " + std::to_string(m_status.GameType) + " is unknown");
        return;
    }
    HttpRequest request;
    request.url = m_settings.UpdateURL;
    request.body = StatusReportBody(m_settings, m_status);
    Start(Transfer::Report, std::move(request));
}

void WebReporter::ReportDone(const HttpResult& result) {
    if (m_onOutcome)
        m_onOutcome("Status report", result.Confirmed(),
                    result.Confirmed() ? "" : Failure("Status report", m_settings.UpdateURL, result));
    if (result.Confirmed()) {
        m_log.Log(LogSafeText(result.toviResponse));
    } else if (result.outcome == HttpOutcome::TimedOut) {
        m_log.Log("Request timeout: " + Failure("the status report", m_settings.UpdateURL, result));
    } else {
        m_log.Log(Failure("Status report", m_settings.UpdateURL, result));
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
    StartNextBatch();
}

void WebReporter::StartNextBatch() {
    // Busy from here: the batch is cut and recorded by the work, after every write handed over
    // before it, so that it holds what those writes put on the disk.
    m_running = Transfer::Upload;
    const uint64_t id = ++m_transferId;
    struct Cut {
        std::optional<UploadBatch> batch;
        std::string error;
        bool recorded = false;
    };
    auto cut = std::make_shared<Cut>();
    const int maxBlocks = m_singly > 0 ? 1 : 0;
    m_work.Run(
        [this, cut, maxBlocks] {
            cut->batch = m_queue.Next(cut->error, maxBlocks);
            if (cut->batch) cut->recorded = m_queue.Sending(*cut->batch, cut->error);
        },
        [this, cut, id, alive = std::weak_ptr<bool>(m_alive)] {
            if (!alive.lock() || id != m_transferId) return;
            m_running = Transfer::None;
            if (!cut->batch) {
                if (!cut->error.empty()) m_log.Log("Stats upload failed: " + cut->error);
                UploadSettled(false);
                return;
            }
            if (!cut->recorded) {
                // Sent without its record, a batch the service stored could go again after a restart
                // cut differently, under another id, and be stored twice: it waits for the next upload.
                const std::string why = "the batch could not be recorded before it goes (" + cut->error +
                                        "); it stays queued for the next upload";
                m_log.Log("Stats upload not sent: " + why);
                if (m_onOutcome) m_onOutcome("Stats upload", false, why);
                UploadSettled(false);
                return;
            }
            m_batch = std::move(cut->batch);
            HttpRequest request;
            request.url = m_settings.ImportURL;
            request.body = UploadBody(m_batch->bytes);
            request.headers.emplace_back(kUploadIdHeader, m_batch->id);
            Start(Transfer::Upload, std::move(request));
        });
}

void WebReporter::UploadDone(const HttpResult& result) {
    // Busy until the files show the outcome.
    m_running = Transfer::Upload;
    const std::optional<UploadBatch> batch = std::exchange(m_batch, std::nullopt);
    const std::string matches = " (" + Matches(batch ? batch->blocks : 0) + ")";
    const std::string failure = Failure(("Stats upload" + matches).c_str(), m_settings.ImportURL, result);
    enum class Change { None, Confirmed, OneByOne, SetAside } change = Change::None;
    std::string reason;
    if (result.Confirmed()) {
        m_log.Log(LogSafeText(result.toviResponse));
        if (batch) change = Change::Confirmed;
    } else if (batch && (result.status == 400 || result.status == 413 || result.status == 422) &&
               result.outcome == HttpOutcome::Answered) {
        // The service refuses the batch for good for what a match holds. Several go one by one,
        // and only the match it refuses is set aside.
        change = batch->blocks > 1 ? Change::OneByOne : Change::SetAside;
        reason = "HTTP " + std::to_string(result.status) +
                 (result.body.empty() ? std::string() : ": " + LogSafeText(result.body));
    } else if (result.outcome == HttpOutcome::TimedOut) {
        m_log.Log("Import timeout: " + Failure(("the stats upload" + matches).c_str(), m_settings.ImportURL, result));
    } else {
        m_log.Log(failure);
    }
    struct Settled {
        bool removed = false;
        bool more = false;
        std::string error, where;
    };
    auto settled = std::make_shared<Settled>();
    const std::filesystem::path rejected = m_statsFile.parent_path() / "Rejected";
    m_work.Run(
        [this, settled, batch, change, reason, rejected] {
            switch (change) {
            case Change::None: break;
            case Change::Confirmed: settled->removed = m_queue.Confirmed(*batch, settled->error); break;
            case Change::OneByOne:
                m_queue.Forget();
                settled->removed = true;
                break;
            case Change::SetAside:
                settled->removed = m_queue.SetAside(*batch, rejected, reason, settled->where, settled->error);
                break;
            }
            std::error_code ec;
            settled->more = std::filesystem::exists(m_statsFile, ec);
        },
        [this, settled, batch, change, reason, failure, result, alive = std::weak_ptr<bool>(m_alive)] {
            if (!alive.lock()) return;
            switch (change) {
            case Change::None: break;
            case Change::Confirmed:
                if (!settled->removed) m_log.Log(settled->error);
                if (settled->removed && m_onDelivered) m_onDelivered(batch->blocks);
                if (settled->removed && m_singly > 0) --m_singly;
                break;
            case Change::OneByOne:
                m_log.Log(failure + ". Its " + Matches(batch->blocks) + " go one at a time to find the one refused");
                m_singly = batch->blocks;
                break;
            case Change::SetAside:
                if (!settled->removed) {
                    m_log.Log(failure + ". It could not be set aside and stays queued: " + settled->error);
                    break;
                }
                if (m_singly > 0) --m_singly;
                m_log.Log(failure + ". The service refuses this match for good: it is set aside in " +
                          settled->where + " and the queue goes on");
                if (m_onRejected) m_onRejected(reason, settled->where);
                break;
            }
            if (m_onOutcome)
                m_onOutcome("Stats upload", result.Confirmed(),
                            result.Confirmed() ? "" : Failure("Stats upload", m_settings.ImportURL, result));
            // A confirmed batch makes way for the next one at once; after a failure the queue waits
            // for the next match end, unless one came while this upload ran.
            UploadSettled(settled->removed && settled->more);
        });
}

void WebReporter::UploadSettled(bool goOn) {
    m_running = Transfer::None;
    if (goOn || m_uploadPending) {
        m_uploadPending = false;
        StartNextBatch();
    }
}

}  // namespace tovi
