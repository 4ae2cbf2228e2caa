#pragma once
// The whole program as an operator runs it, on a data folder of the test's: the real process
// backend and HTTP client, dialogs that answer Yes, its waits sped up `scale` times as the
// simulator's time is, and its poll every `pollMs`.
#include <QDir>
#include <memory>

#include "Application.h"
#include "LocalService.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"

namespace tovi::testing {

struct RunningProgram {
    explicit RunningProgram(const QString& folder, int scale = 1, int pollMs = 1000)
        : scheduler(scale),
          app(*backend, dialogs, scheduler, http, folder, QDir(folder).filePath("tovistats.lock")) {
        app.Start();
        Window().GetService().PollTimerObject().setInterval(pollMs);
    }
    frmMain& Window() { return *app.Window(); }

    std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
    YesDialogs dialogs;
    ScaledScheduler scheduler;
    QtHttpClient http;
    Application app;
};

}  // namespace tovi::testing
