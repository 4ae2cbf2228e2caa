#pragma once
// What the service asks of the face that shows it: the operator's choices that live in controls
// (read at the moment of use, as the poll and the settings file expect) and the controls the core
// fills. The window answers from its widgets; MemoryView keeps the same state without any.
#include <string>

#include "AutoMessages.h"
#include "ChatReader.h"
#include "PlayerReader.h"
#include "PollView.h"
#include "SettingsFile.h"

namespace tovi {

class ServiceView : public PollView, public SettingsView, public AutoMessageView {
public:
    // Days the record keeps; 0 keeps everything.
    virtual int HistoryDays() = 0;
    virtual void SetHistoryDays(int days) = 0;
    // The shared database's connection string as the face holds it (UTF-8); empty: the local file.
    virtual std::string SharedStore() = 0;
    virtual void SetSharedStore(const std::string& conninfo) = 0;
    // The face's own player list and public chat list, mirrored row for row; none without one.
    virtual PlayerListView* PlayerList() { return nullptr; }
    virtual ChatView* PublicChat() { return nullptr; }
};

}  // namespace tovi
