#include "frmMain.h"

#include <QLabel>
#include <QStatusBar>
#include <QVBoxLayout>

#include "GameAddresses.h"
#include "MatchState.h"

namespace tovi {

frmMain::frmMain(MemoryClass& memory, QString dataDir, QWidget* parent)
    : QMainWindow(parent), m_memory(memory), m_dataDir(std::move(dataDir)) {
    setObjectName("frmMain");
    setWindowTitle("|QX| Tovi stats for JO:TR 1.5.1.5");
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    m_lblState = new QLabel(QString::fromLatin1(kGameNotRunning), central);
    m_lblState->setObjectName("lblState");
    QFont big = m_lblState->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    m_lblState->setFont(big);
    m_lblProcess = new QLabel(central);
    m_lblProcess->setObjectName("lblProcess");
    m_lblAccess = new QLabel(central);
    m_lblAccess->setObjectName("lblAccess");
    m_lblAccess->setWordWrap(true);
    m_lblAccess->hide();
    auto* lblData = new QLabel(tr("Data folder: %1").arg(m_dataDir), central);
    lblData->setObjectName("lblDataDir");
    lblData->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_lblState);
    layout->addWidget(m_lblProcess);
    layout->addWidget(m_lblAccess);
    layout->addStretch();
    layout->addWidget(lblData);
    setCentralWidget(central);
    resize(520, 220);

    m_timer.setObjectName("Timer");
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &frmMain::Timer_Timer);
    Timer_Timer();
    m_timer.start();
}

void frmMain::Timer_Timer() {
    if (!m_memory.SetWindow(std::string(game::kDefaultCaption))) {
        m_lblState->setText(QString::fromLatin1(kGameNotRunning));
        m_lblProcess->clear();
        statusBar()->showMessage(QString::fromLatin1(kGameNotRunning));
        // Said once: the operator can fix this, and repeating it every second helps nobody.
        if (m_memory.LastFailure() == AccessFailure::PermissionDenied && !m_permissionExplained) {
            m_permissionExplained = true;
            m_lblAccess->setText(
                tr("The game server was found, but reading its memory was refused. Run Tovi stats as root, "
                   "give it the capability with \"setcap cap_sys_ptrace=eip tovistats\", or allow it "
                   "system-wide with \"sysctl kernel.yama.ptrace_scope=0\"."));
            m_lblAccess->show();
        }
        return;
    }
    m_lblAccess->hide();
    const uint8_t state = m_memory.ReadAByte(game::kGameState);
    const QString text = QString::fromStdString(StateText(state));
    m_lblState->setText(text);
    m_lblProcess->setText(tr("PID: %1").arg(m_memory.GetProcID()));
    statusBar()->showMessage(text);
}

}  // namespace tovi
