#pragma once
// The main window. For now it shows whether the game's server runs and in which state.
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include "MemoryClass.h"

class QLabel;

namespace tovi {

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    frmMain(MemoryClass& memory, QString dataDir, QWidget* parent = nullptr);

public slots:
    // One poll: attach to the game's window and show its state.
    void Timer_Timer();

private:

    MemoryClass& m_memory;
    QString m_dataDir;
    QTimer m_timer;
    QLabel* m_lblState = nullptr;
    QLabel* m_lblProcess = nullptr;
    QLabel* m_lblAccess = nullptr;
    bool m_permissionExplained = false;
};

}  // namespace tovi
