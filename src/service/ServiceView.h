#pragma once
// What a face shows of the poll as it happens: the labels, panels and lists the poll fills and
// empties. The face holds none of the service's state; without a face the service shows nothing.
#include <string>

#include "ChatReader.h"
#include "PlayerReader.h"
#include "PollView.h"

namespace tovi {

class ServiceView {
public:
    virtual ~ServiceView() = default;
    virtual void SetPanel(int panel, const std::string& text) = 0;
    virtual void SetLabel(StatusLabel label, const std::string& text) = 0;
    virtual void SetControlEnabled(ServerControl control, bool enabled) = 0;
    virtual void SetTrayPicture(TrayPicture picture) = 0;
    virtual void UpdateTray(const std::string& tip) = 0;
    virtual void ClearLog() = 0;
    virtual void ClearDebugLog() = 0;
    virtual void ClearChatInput() = 0;
    virtual void ClearPlayerList() = 0;
    virtual void ClearPublicChat() = 0;
    // The face's own player list and public chat list, mirrored row for row; none without one.
    virtual PlayerListView* PlayerList() { return nullptr; }
    virtual ChatView* PublicChat() { return nullptr; }
};

}  // namespace tovi
