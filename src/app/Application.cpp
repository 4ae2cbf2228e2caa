#include "Application.h"

#include <QCoreApplication>

#include "QtSupport.h"

namespace tovi {

namespace {

// A quit the window did not start: a stop signal, the X session manager's end of the session.
// The window's exit steps run first, without its questions, as nobody is there to answer them.
class OutsideEnd : public QObject {
public:
    explicit OutsideEnd(frmMain& window) : m_window(window) {
        QCoreApplication::instance()->installEventFilter(this);
        // Windows ends a session with aboutToQuit alone, and the process right after it.
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                [this] { m_window.EndWithoutAsking(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // The exit steps quit again themselves; that quit goes through.
        return watched == QCoreApplication::instance() && event->type() == QEvent::Quit &&
               m_window.EndWithoutAsking();
    }

private:
    frmMain& m_window;
};

}  // namespace

Application::Application(ProcessBackend& backend, Dialogs& dialogs, Scheduler& scheduler, HttpClient& http,
                         QString dataDir, QString lockPath)
    : m_dialogs(dialogs), m_host(backend, dialogs, scheduler, http, std::move(dataDir), std::move(lockPath)) {}

Application::~Application() {
    // The window shows the service: it goes first, after what would end it.
    m_outsideEnd.reset();
    m_window.reset();
}

void Application::Start(std::function<void(bool started)> started) {
    m_host.Start(
        [this](Service& service) {
            m_window = std::make_unique<frmMain>(service, m_dialogs);
            if (auto* qtDialogs = dynamic_cast<QtDialogs*>(&m_dialogs)) qtDialogs->SetParent(m_window.get());
            service.OpenRecord();
            m_window->Form_Load();
            m_window->show();
            m_outsideEnd = std::make_unique<OutsideEnd>(*m_window);
        },
        std::move(started));
}

}  // namespace tovi
