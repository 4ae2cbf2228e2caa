#pragma once
// What the record knows of one player: the names he played under, his stints, his matches with
// their statistics, and the punts, bans and messages aimed at him.
#include <QDialog>
#include <string>

#include "HistoryStore.h"

namespace tovi {

class PlayerHistoryDialog : public QDialog {
    Q_OBJECT
public:
    PlayerHistoryDialog(const std::string& name, const PlayerHistory& record, QWidget* parent);
};

}  // namespace tovi
