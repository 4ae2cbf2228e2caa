#include "NoticeSettings.h"

#include <algorithm>
#include <cstdlib>

#include "ProfileFile.h"

namespace tovi {

namespace {

constexpr const char* kSection = "notices";
constexpr size_t kCapacity = 8192;

int Number(const std::string& text, int fallback, int low, int high) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < low || value > high) return fallback;
    return static_cast<int>(value);
}

}  // namespace

std::string EventList(const std::set<NoticeEvent>& events) {
    std::string text;
    for (NoticeEvent e : AllEvents()) {
        if (!events.count(e)) continue;
        if (!text.empty()) text += ',';
        text += EventKey(e);
    }
    return text;
}

std::set<NoticeEvent> ParseEventList(const std::string& text) {
    std::set<NoticeEvent> events;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string key = text.substr(start, end - start);
        key.erase(std::remove(key.begin(), key.end(), ' '), key.end());
        NoticeEvent e;
        if (EventFromKey(key, e) && e != NoticeEvent::Test) events.insert(e);
        start = end + 1;
    }
    return events;
}

NoticeSettings DefaultNoticeSettings() {
    NoticeSettings s;
    const std::set<NoticeEvent> all(AllEvents().begin(), AllEvents().end());
    s.discord.events = s.webhook.events = s.desktop.events = all;
    s.desktop.on = true;
    return s;
}

NoticeSettings LoadNoticeSettings(const std::filesystem::path& settingsFile) {
    const ProfileFile file(settingsFile);
    NoticeSettings s = DefaultNoticeSettings();
    auto read = [&](const char* key, const std::string& fallback) {
        return file.ReadString(kSection, key, fallback, kCapacity);
    };
    const std::string all = EventList(s.discord.events);
    s.discord.url = read("discord_url", "");
    s.discord.on = !s.discord.url.empty();
    s.discord.events = ParseEventList(read("discord_events", all));
    s.webhook.url = read("webhook_url", "");
    s.webhook.on = !s.webhook.url.empty();
    s.webhook.secret = read("webhook_secret", "");
    s.webhook.events = ParseEventList(read("webhook_events", all));
    s.desktop.on = read("desktop", "1") != "0";
    s.desktop.events = ParseEventList(read("desktop_events", all));
    std::string watched = read("watched", "");
    std::string lines;
    for (char c : watched) lines += c == '|' ? std::string("\r\n") : std::string(1, c);
    s.watched = lines;
    s.notHostingMinutes = Number(read("not_hosting_minutes", "10"), 10, 0, 24 * 60);
    s.reportFailures = Number(read("report_failures", "3"), 3, 0, 1000);
    s.maxAgeHours = Number(read("max_age_hours", "24"), 24, 1, 24 * 30);
    return s;
}

bool SaveNoticeSettings(const std::filesystem::path& settingsFile, const NoticeSettings& s,
                        std::string& error) {
    std::string watched;
    for (char c : s.watched) {
        if (c == '\r') continue;
        watched += c == '\n' ? '|' : c;
    }
    ProfileFile file(settingsFile);
    return file.WriteStrings(kSection,
                             {{"discord_url", s.discord.url},
                              {"discord_events", EventList(s.discord.events)},
                              {"webhook_url", s.webhook.url},
                              {"webhook_secret", s.webhook.secret},
                              {"webhook_events", EventList(s.webhook.events)},
                              {"desktop", s.desktop.on ? "1" : "0"},
                              {"desktop_events", EventList(s.desktop.events)},
                              {"watched", watched},
                              {"not_hosting_minutes", std::to_string(s.notHostingMinutes)},
                              {"report_failures", std::to_string(s.reportFailures)},
                              {"max_age_hours", std::to_string(s.maxAgeHours)}},
                             error);
}

}  // namespace tovi
