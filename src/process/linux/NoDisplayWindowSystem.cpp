#include "linux/NoDisplayWindowSystem.h"

#include <array>
#include <fstream>
#include <sstream>

#include "GameAddresses.h"
#include "MemoryClass.h"

namespace tovi::linux_backend {

bool NoDisplayWindowSystem::IsGameServer(int32_t pid) {
    const auto path = m_processes.FirstModulePath(pid);
    return path && EndsWithIgnoringCase(*path, game::kExecutableName);
}

std::optional<uint64_t> NoDisplayWindowSystem::StartTime(int32_t pid) const {
    std::ifstream file(m_procRoot + "/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!file || !std::getline(file, stat)) return std::nullopt;
    // The command name, field 2, is in parentheses and may hold blanks and parentheses itself:
    // the fields after it are counted from its last ')'. Field 3 is the state, 22 the start time.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X" || state == "x") return std::nullopt;
    std::string field;
    for (int i = 4; i < 22 && fields >> field; ++i) {
    }
    uint64_t start = 0;
    if (!(fields >> start)) return std::nullopt;
    return start;
}

const NoDisplayWindowSystem::Server* NoDisplayWindowSystem::Remembered() {
    if (!m_server) return nullptr;
    if (StartTime(m_server->pid) != m_server->startTime) {
        m_server.reset();
        return nullptr;
    }
    return &*m_server;
}

void NoDisplayWindowSystem::Remember(int32_t pid, std::string caption) {
    if (const std::optional<uint64_t> start = StartTime(pid)) {
        m_server = Server{pid, *start, std::move(caption)};
    }
}

std::optional<OwnedWindow> NoDisplayWindowSystem::KnownWindowByCaption(const std::string& caption) {
    m_failure = AccessFailure::None;
    if (const Server* server = Remembered(); server && server->caption == caption) {
        return OwnedWindow{server->pid, server->pid};
    }
    const int32_t window = FindWindowByCaption(caption);
    return OwnedWindow{window, window};
}

std::optional<int32_t> NoDisplayWindowSystem::KnownProcessWindow(int32_t pid) {
    m_failure = AccessFailure::None;
    if (const Server* server = Remembered(); server && server->pid == pid) return pid;
    if (pid <= 0 || !IsGameServer(pid)) {
        m_failure = AccessFailure::NoWindow;
        return 0;
    }
    std::string caption = WindowCaption(pid);
    if (m_failure == AccessFailure::None) Remember(pid, std::move(caption));
    m_failure = AccessFailure::None;
    return pid;
}

std::vector<int32_t> NoDisplayWindowSystem::TopLevelWindows() {
    m_failure = AccessFailure::None;
    ++m_scans;
    std::vector<int32_t> windows;
    for (int32_t pid : m_processes.ListProcessIds()) {
        if (IsGameServer(pid)) windows.push_back(pid);
    }
    return windows;
}

int32_t NoDisplayWindowSystem::FindWindowByCaption(const std::string& caption) {
    // A server whose memory may not be read has a caption no one can know: if none matches, the
    // server sought may be that one, and the operator must hear that access was refused.
    AccessFailure notFound = AccessFailure::NoWindow;
    for (int32_t window : TopLevelWindows()) {
        const std::string text = WindowCaption(window);
        if (m_failure == AccessFailure::None && text == caption) {
            Remember(window, text);
            return window;
        }
        if (m_failure == AccessFailure::PermissionDenied) notFound = AccessFailure::PermissionDenied;
    }
    m_failure = notFound;
    return 0;
}

int32_t NoDisplayWindowSystem::WindowProcess(int32_t window) {
    m_failure = AccessFailure::None;
    if (window > 0 && IsGameServer(window)) return window;
    m_failure = AccessFailure::NoWindow;
    return 0;
}

std::string NoDisplayWindowSystem::WindowCaption(int32_t window) {
    m_failure = AccessFailure::None;
    if (window <= 0 || !IsGameServer(window)) {
        m_failure = AccessFailure::NoWindow;
        return {};
    }
    std::array<uint8_t, game::kVersionLength> version{};
    if (!m_processes.Read(window, game::kVersionText, version)) {
        m_failure = m_processes.LastFailure();
        return {};
    }
    std::string caption(game::kCaptionPrefix);
    for (uint8_t b : version) {
        if (b == 0) break;
        caption.push_back(static_cast<char>(b));
    }
    return caption;
}

bool NoDisplayWindowSystem::SetWindowVisible(int32_t, bool) {
    m_failure = AccessFailure::NoWindowSystem;
    return false;
}

bool NoDisplayWindowSystem::PostKeystroke(int32_t, GameKeystroke) {
    m_failure = AccessFailure::NoWindowSystem;
    return false;
}

}  // namespace tovi::linux_backend
