#include "AccountStore.h"

namespace tovi {

const char* RoleText(Role role) {
    switch (role) {
        case Role::Viewer:
            return "viewer";
        case Role::Moderator:
            return "moderator";
        case Role::Admin:
            return "admin";
    }
    return "viewer";
}

std::optional<Role> ParseRole(std::string_view text) {
    for (Role r : {Role::Viewer, Role::Moderator, Role::Admin}) {
        if (text == RoleText(r)) return r;
    }
    return std::nullopt;
}

bool ValidAccountName(std::string_view name) {
    if (name.empty() || name.size() > 32) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string AccountNameKey(std::string_view name) {
    std::string key(name);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}


std::string RoleRefusal(Role role, ActionKind kind, int64_t seconds, int64_t moderatorBanSeconds) {
    if (role == Role::Admin) return {};
    if (role == Role::Viewer) return "A viewer may look but not act.";
    switch (kind) {
        case ActionKind::Chat:
        case ActionKind::Talk:
        case ActionKind::Warn:
        case ActionKind::Punt:
            return {};
        case ActionKind::BanListed:
            if (seconds > 0 && seconds <= moderatorBanSeconds) return {};
            return "A moderator may ban for at most " + std::to_string(moderatorBanSeconds / 60) + " minutes.";
        default:
            return "Only an admin may do that.";
    }
}

}  // namespace tovi
