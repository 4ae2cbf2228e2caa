#pragma once
// /api/v1/settings: the Settings tab's values (admins only), read and saved a group at a time as
// its save buttons do. Secrets (the server code, which is the server's password at the stats
// service, the shared store's connection string, which may carry the database's password, the
// notice addresses, which carry their tokens, and the webhook's key) never go to the browser
// whole: they are sent masked, and a masked value sent back keeps the one stored.
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class SettingsController {
public:
    explicit SettingsController(PanelBackend& backend) : m_backend(backend) {}
    ApiReply Get(const ApiCall& call);
    ApiReply Save(const ApiCall& call);

    // What the browser is shown of a secret: nothing of it but, for an address, its site.
    static QString Masked(const std::string& secret);

private:
    PanelBackend& m_backend;
};

}  // namespace tovi
