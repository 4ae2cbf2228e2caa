#pragma once
// /api/v1/bans: the ban list, a new ban (moderators only for a while); lifting and changing one,
// and the list as CSV in and out (admins).
#include "ApiCall.h"
#include "PanelBackend.h"

namespace tovi {

class BansController {
public:
    BansController(PanelBackend& backend, std::function<int64_t()> unixNow)
        : m_backend(backend), m_unixNow(std::move(unixNow)) {}
    ApiReply List(const ApiCall& call);
    ApiReply Add(const ApiCall& call);
    ApiReply Lift(const ApiCall& call);
    ApiReply Edit(const ApiCall& call);
    ApiReply Import(const ApiCall& call);
    ApiReply Export(const ApiCall& call);

private:
    PanelBackend& m_backend;
    std::function<int64_t()> m_unixNow;
};

}  // namespace tovi
