#pragma once
// The notices' settings in settings.ini, section "notices": per sink its address, secret and
// events (discord_url, discord_events, webhook_url, webhook_secret, webhook_events, desktop,
// desktop_events; events as their names with commas between), the watched words (watched, the
// entries with | between), and not_hosting_minutes, report_failures, max_age_hours.
#include <filesystem>
#include <set>
#include <string>

#include "Notice.h"

namespace tovi {

struct SinkSettings {
    bool on = false;     // the desktop's switch; a web sink is on when it has an address
    std::string url;     // UTF-8
    std::string secret;  // the webhook's signing key; empty: unsigned
    std::set<NoticeEvent> events;
    bool operator==(const SinkSettings&) const = default;
};

struct NoticeSettings {
    SinkSettings discord, webhook, desktop;
    std::string watched;  // Windows-1252, one entry a line (CR LF)
    int notHostingMinutes = 10;
    int reportFailures = 3;
    int maxAgeHours = 24;
    bool operator==(const NoticeSettings&) const = default;
};

NoticeSettings DefaultNoticeSettings();
NoticeSettings LoadNoticeSettings(const std::filesystem::path& settingsFile);
bool SaveNoticeSettings(const std::filesystem::path& settingsFile, const NoticeSettings& settings,
                        std::string& error);

std::string EventList(const std::set<NoticeEvent>& events);
std::set<NoticeEvent> ParseEventList(const std::string& text);

}  // namespace tovi
