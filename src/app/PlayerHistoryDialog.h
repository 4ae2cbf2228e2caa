#pragma once
// What the record knows of one player: the names he played under, his stints, his matches with
// their statistics, the punts, bans and messages aimed at him, and his entries in the ban list.
#include <QDialog>
#include <string>

#include <vector>

#include "BanList.h"
#include "HistoryStore.h"

namespace tovi {

class PlayerHistoryDialog : public QDialog {
    Q_OBJECT
public:
    PlayerHistoryDialog(const std::string& name, const PlayerHistory& record, const std::vector<BanEntry>& bans,
                        int64_t now, QWidget* parent);
};

}  // namespace tovi
