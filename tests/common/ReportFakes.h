#pragma once
// Stand-ins for what the web reporting reaches through interfaces: the HTTP client (on the
// virtual clock) and the Settings tab; a reader of upload bodies; and what the stats file and
// the web reporting tests share.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Fakes.h"
#include "HttpClient.h"
#include "Scheduler.h"
#include "SettingsFile.h"
#include "StatsFile.h"
#include "WebReporter.h"

namespace tovi::testing {

// A stand-in for the program's SHA-256 upload id: FNV-1a, stable and content-dependent.
inline std::string TestDigest(std::string_view bytes) {
    uint64_t hash = 14695981039346656037ULL;
    for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return std::to_string(hash);
}

// The stats file an upload body carries, decoded apart from the program's encoders: only
// Base64's "+", "/" and "=" need form encoding.
inline std::string UploadedFile(std::string body) {
    EXPECT_TRUE(body.starts_with("data=")) << body;
    std::string decoded;
    for (size_t i = 0; i < body.size(); ++i) {
        const std::string_view code = std::string_view(body).substr(i, 3);
        const char c = code == "%2B" ? '+' : code == "%2F" ? '/' : code == "%3D" ? '=' : '\0';
        decoded += c != '\0' ? c : body[i];
        if (c != '\0') i += 2;
    }
    body = std::move(decoded);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    for (size_t i = 5, count = 0; i < body.size() && body[i] != '='; ++i) {
        bits = bits << 6 | static_cast<uint32_t>(alphabet.find(body[i]));
        if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
    }
    return out;
}

// An HTTP client whose answers the test gives; a transfer nobody answers times out on the
// virtual clock after its time-out.
class FakeHttpClient : public HttpClient {
public:
    std::vector<HttpRequest> requests;
    int cancels = 0;

    explicit FakeHttpClient(VirtualScheduler& clock) : m_clock(clock) {}
    void Post(const HttpRequest& request, std::function<void(const HttpResult&)> done) override {
        if (Busy()) Cancel();
        requests.push_back(request);
        m_done = std::move(done);
        m_timeout = m_clock.Schedule(request.timeoutMs, [this] {
            Deliver({HttpOutcome::TimedOut, 0, {}, {}, "no answer"});
        });
    }
    void Cancel() override {
        if (Busy()) ++cancels;
        m_clock.Cancel(m_timeout);
        m_done = nullptr;
    }
    bool Busy() const override { return static_cast<bool>(m_done); }
    // The service answers the running transfer, with the header or (nullopt) without it.
    void Answer(std::optional<std::string> header, int status = 200, std::string location = {}) {
        Deliver({HttpOutcome::Answered, status, header.value_or(""), std::move(location), {}});
    }
    void Fail(const std::string& error) { Deliver({HttpOutcome::Failed, 0, {}, {}, error}); }
    // The service refuses the request, saying why in the body.
    void Refuse(int status, std::string body) { Deliver({HttpOutcome::Answered, status, {}, {}, {}, std::move(body)}); }
    const HttpRequest& Last() const { return requests.back(); }

private:
    void Deliver(const HttpResult& result) {
        if (!Busy()) return;
        m_clock.Cancel(m_timeout);
        std::exchange(m_done, nullptr)(result);
    }
    VirtualScheduler& m_clock;
    std::function<void(const HttpResult&)> m_done;
    Scheduler::TimerId m_timeout = 0;
};

// A reporter and a stats file writer over a private folder; every reading of the writer's
// clock is a second later.
class ReportTest : public ::testing::Test {
protected:
    ReportTest() : http(clock), reporter(dir.Path(), settings, status, http, log, TestDigest) {
        settings.ServerCode = "QX1";
        settings.UpdateURL = "http://stats.example.org/tovistats/update.php";
        settings.ImportURL = "http://stats.example.org/tovistats/import.php";
        status.MapName = "Jungle Siege";
        status.GameType = 1;
    }
    StatsFile Writer() {
        return StatsFile(dir.Path(), settings, status, players, other, reporter, log, dialogs, clock, [this] {
            LocalTime t = now;
            ++now.Second;
            return t;
        });
    }
    std::string StatsOnDisk() const { return ReadBytes(dir / "stats.stats"); }

    TempFolder dir;
    Settings settings;
    ServerStatus status;
    PlayerTable players;
    OtherSettings other;
    VirtualScheduler clock;
    FakeHttpClient http;
    RecordingLog log;
    FakeDialogs dialogs;
    WebReporter reporter;
    LocalTime now{2004, 6, 12, 21, 5, 9};
};

}  // namespace tovi::testing
