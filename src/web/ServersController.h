#pragma once
// /api/v1/servers: the servers whose record the panel can show (more than this one on a store
// shared by the community), and the `server` parameter of the searches, the audit log and the
// chart. A server's code is what the stats service knows it by and must stay secret, so the
// browser sees each server by an id of this run instead: a keyed hash of the code.
#include <array>
#include <optional>

#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class ServersController {
public:
    explicit ServersController(PanelBackend& backend);
    ApiReply List(const ApiCall& call);

    // The code to search for the call's `server` id: empty for this server (no id, or its own),
    // nothing for an id of no server of the store.
    std::optional<std::string> ServerOf(const ApiCall& call);
    static ApiReply UnknownServer();

private:
    QString IdOf(const std::string& code) const;

    PanelBackend& m_backend;
    std::array<unsigned char, 32> m_key{};
};

}  // namespace tovi
