#pragma once
// The [web] section of settings.ini: the panel is off until turned on.
//   enabled=0            1 starts the panel
//   bind=127.0.0.1       the address to listen on (0.0.0.0 for every network)
//   port=8080            0: any free port (the log says which one was taken)
//   hosts=               the names the panel answers to, comma separated (the Host header);
//                        empty: localhost, 127.0.0.1 and the bind address
//   cert=  key=          PEM files; with both the panel speaks HTTPS only
//   secure_cookie=0      1: mark the session cookie Secure although the panel speaks plain HTTP
//                        (behind a reverse proxy that serves HTTPS)
//   moderator_ban_minutes=1440   the longest ban a moderator may give
//   proxy=               a reverse proxy's IP address: its X-Forwarded-For names the client (login
//                        brakes count per client), and its connections are not capped per address
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tovi {

struct WebPanelSettings {
    bool Enabled = false;
    std::string Bind = "127.0.0.1";
    uint16_t Port = 8080;
    std::vector<std::string> Hosts;  // lower case, never empty once read
    std::string CertFile, KeyFile;
    bool SecureCookieBehindProxy = false;
    int64_t ModeratorBanMinutes = 24 * 60;
    // Sessions end after this long without a request, and this long after the login at most.
    int64_t IdleSeconds = 30 * 60;
    int64_t AbsoluteSeconds = 12 * 60 * 60;
    // A connection is cut when a request takes longer than this to arrive, counted from the
    // connection or from the last answer (so an idle kept-alive connection goes too).
    int RequestTimeoutMs = 30 * 1000;
    // A TLS handshake not finished by then is dropped.
    int HandshakeTimeoutMs = 10 * 1000;
    std::string Proxy;
    // Connections in all and from one address; beyond them a new one is closed at once. Kept
    // well below the open-file limit so that the program's own files always open.
    int MaxConnections = 256;
    int MaxConnectionsPerAddress = 32;
    // The same for connections that have not yet shown a session or token.
    int MaxAnonymousConnections = 128;
    int MaxAnonymousPerAddress = 8;

    bool Https() const { return !CertFile.empty() && !KeyFile.empty(); }
    bool SecureCookie() const { return Https() || SecureCookieBehindProxy; }

    // `read(key, default)` answers a key of the [web] section. Values out of range fall back to
    // the default.
    static WebPanelSettings Read(
        const std::function<std::string(const std::string&, const std::string&)>& read);
};

}  // namespace tovi
