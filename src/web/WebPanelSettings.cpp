#include "WebPanelSettings.h"

#include <charconv>

namespace tovi {

namespace {

int64_t Number(const std::string& text, int64_t fallback, int64_t low, int64_t high) {
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return fallback;
    return value;
}

std::string Trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

WebPanelSettings WebPanelSettings::Read(
    const std::function<std::string(const std::string&, const std::string&)>& read) {
    WebPanelSettings s;
    s.Enabled = read("enabled", "0") == "1";
    s.Bind = Trimmed(read("bind", s.Bind));
    if (s.Bind.empty()) s.Bind = "127.0.0.1";
    s.Port = static_cast<uint16_t>(Number(read("port", "8080"), 8080, 0, 65535));
    std::string hosts = read("hosts", "");
    size_t start = 0;
    while (start <= hosts.size()) {
        const size_t comma = std::min(hosts.find(',', start), hosts.size());
        std::string host = Trimmed(hosts.substr(start, comma - start));
        if (!host.empty()) s.Hosts.push_back(host);
        start = comma + 1;
    }
    if (s.Hosts.empty()) {
        s.Hosts = {"localhost", "127.0.0.1"};
        if (s.Bind != "127.0.0.1" && s.Bind != "0.0.0.0" && s.Bind != "::") s.Hosts.push_back(s.Bind);
    }
    s.CertFile = read("cert", "");
    s.KeyFile = read("key", "");
    s.SecureCookieBehindProxy = read("secure_cookie", "0") == "1";
    s.Proxy = Trimmed(read("proxy", ""));
    s.ModeratorBanMinutes = Number(read("moderator_ban_minutes", "1440"), 1440, 1, 366 * 24 * 60);
    return s;
}

}  // namespace tovi
