#include "linux/NoDisplayWindowSystem.h"

#include <array>

#include "GameAddresses.h"
#include "MemoryClass.h"

namespace tovi::linux_backend {

bool NoDisplayWindowSystem::IsGameServer(int32_t pid) {
    const auto path = m_processes.FirstModulePath(pid);
    return path && EndsWithIgnoringCase(*path, game::kExecutableName);
}

std::vector<int32_t> NoDisplayWindowSystem::TopLevelWindows() {
    m_failure = AccessFailure::None;
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
        if (m_failure == AccessFailure::None && text == caption) return window;
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
