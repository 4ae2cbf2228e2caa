#pragma once
// Stand-ins for what the web reporting reaches through interfaces: the HTTP client (on the
// virtual clock), the log, the dialogs, the Settings tab; and a private folder for real files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Dialogs.h"
#include "HttpClient.h"
#include "LogSink.h"
#include "Scheduler.h"
#include "SettingsFile.h"

namespace tovi::testing {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::random_device seed;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = fs::temp_directory_path() / ("tovi-report-" + std::to_string(stamp) + "-" + std::to_string(seed()));
        fs::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& Path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }

private:
    fs::path m_path;
};

inline std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The reverse of form encoding and Base64, written apart from the program's encoders so that
// tests can read a request body back.
inline std::string FormDecode(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (value[i] == '+') {
            out += ' ';
        } else {
            out += value[i];
        }
    }
    return out;
}

inline std::string Base64Decode(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        bits = bits << 6 | static_cast<uint32_t>(alphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// A form body split into its fields, in order, values decoded.
inline std::vector<std::pair<std::string, std::string>> FormFields(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (start <= body.size()) {
        size_t amp = body.find('&', start);
        if (amp == std::string::npos) amp = body.size();
        const std::string pair = body.substr(start, amp - start);
        const size_t eq = pair.find('=');
        fields.emplace_back(pair.substr(0, eq), eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1)));
        start = amp + 1;
    }
    return fields;
}

// An HTTP client whose answers the test gives; a transfer nobody answers times out on the
// virtual clock after its time-out.
class FakeHttpClient : public HttpClient {
public:
    struct Request {
        std::string url;
        std::string body;
        std::string contentType;
        int timeoutMs = 0;
    };

    explicit FakeHttpClient(VirtualScheduler& clock) : m_clock(clock) {}

    void Post(const std::string& url, const std::string& body, const std::string& contentType, int timeoutMs,
              std::function<void(const HttpResult&)> done) override {
        if (Busy()) Cancel();
        requests.push_back({url, body, contentType, timeoutMs});
        m_done = std::move(done);
        m_timeout = m_clock.Schedule(timeoutMs, [this] { Deliver({HttpOutcome::TimedOut, {}, "no answer"}); });
    }
    void Cancel() override {
        if (!Busy()) return;
        ++cancels;
        m_clock.Cancel(*m_timeout);
        m_timeout.reset();
        m_done = nullptr;
    }
    bool Busy() const override { return static_cast<bool>(m_done); }

    // The service answers the running transfer, with the header or (nullopt) without it.
    void Answer(std::optional<std::string> header) {
        Deliver({HttpOutcome::Answered, header.value_or(""), {}});
    }
    void Fail(const std::string& error) { Deliver({HttpOutcome::Failed, {}, error}); }
    const Request& Last() const { return requests.back(); }

    std::vector<Request> requests;
    int cancels = 0;

private:
    void Deliver(const HttpResult& result) {
        if (!Busy()) return;
        m_clock.Cancel(*m_timeout);
        m_timeout.reset();
        auto done = std::move(m_done);
        m_done = nullptr;
        done(result);
    }

    VirtualScheduler& m_clock;
    std::function<void(const HttpResult&)> m_done;
    std::optional<Scheduler::TimerId> m_timeout;
};

class RecordingLog : public LogSink {
public:
    void Log(const std::string& message) override { lines.push_back(message); }
    void DebugLog(const std::string& message) override { debugLines.push_back(message); }
    std::vector<std::string> lines;
    std::vector<std::string> debugLines;
};

class RecordingDialogs : public Dialogs {
public:
    void Ask(const std::string& question, std::function<void(bool)> answer) override {
        shown.push_back("ask: " + question);
        answer(false);
    }
    void Warn(const std::string& text) override { shown.push_back("warn: " + text); }
    void Inform(const std::string& text) override { shown.push_back("inform: " + text); }
    void InputBox(const std::string& prompt, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        shown.push_back("input: " + prompt);
        answer(std::nullopt);
    }
    std::vector<std::string> shown;
};

// The Settings tab as built: the example texts in the server boxes, every box clear, the
// spinners and the slider at their design values.
class FakeSettingsView : public SettingsView {
public:
    std::map<SettingsText, std::string> texts{{SettingsText::txtServerCode, "servercode"},
                                             {SettingsText::txtUpdateURL, "http://stats.example.net/tovistats/update.php"},
                                             {SettingsText::txtImportURL, "http://stats.example.net/tovistats/import.php"},
                                             {SettingsText::txtMinPlayers, "0"},
                                             {SettingsText::txtScoringSeconds, "25"}};
    std::map<SettingsBox, bool> boxes{{SettingsBox::chkEnableAutoMessages, false},
                                      {SettingsBox::chkScoringTime, false},
                                      {SettingsBox::chkDisplayNextMap, false},
                                      {SettingsBox::chkKeepArchive, false}};
    std::map<SettingsNumber, int> numbers{
        {SettingsNumber::slideAutoMes, 1}, {SettingsNumber::UpDown, 0}, {SettingsNumber::UpDown1, 25}};
    std::string Text(SettingsText box) override { return texts.at(box); }
    void SetText(SettingsText box, const std::string& text) override { texts[box] = text; }
    bool Checked(SettingsBox box) override { return boxes.at(box); }
    void SetChecked(SettingsBox box, bool ticked) override { boxes[box] = ticked; }
    void SetValue(SettingsNumber control, int value) override {
        ASSERT_TRUE(value >= RangeOf(control).min && value <= RangeOf(control).max) << value;
        numbers[control] = value;
        if (control == SettingsNumber::UpDown) texts[SettingsText::txtMinPlayers] = std::to_string(value);
        if (control == SettingsNumber::UpDown1) texts[SettingsText::txtScoringSeconds] = std::to_string(value);
    }

private:
    static ValueRange RangeOf(SettingsNumber control) {
        switch (control) {
            case SettingsNumber::slideAutoMes: return kAutoMessageMinutes;
            case SettingsNumber::UpDown: return kMinPlayers;
            case SettingsNumber::UpDown1: return kScoringSeconds;
        }
        return {0, 0};
    }
};

}  // namespace tovi::testing
