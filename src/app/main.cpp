#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QTimer>
#include <QWidget>
#ifndef _WIN32
#include <csignal>
#endif

#include <iostream>

#include "AccountsCommand.h"
#include "Application.h"
#include "HistoryExport.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"
#include "QtSupport.h"

int main(int argc, char** argv) {
#ifndef _WIN32
    // A file size limit must fail the write (which keeps the match in memory), not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    {
        // The export for scripts runs without a window, and without a display.
        std::vector<std::string> args;
        for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
        if (tovi::WantsHistoryExport(args)) {
            QCoreApplication core(argc, argv);
            args.clear();
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
            return tovi::ExportHistory(args, QCoreApplication::applicationDirPath().toStdString(), std::cout,
                                       std::cerr);
        }
        if (tovi::WantsAccountCommand(args)) {
            QCoreApplication core(argc, argv);
            args.clear();
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
            return tovi::RunAccountCommand(args, QCoreApplication::applicationDirPath().toStdString(), std::cin,
                                           std::cout, std::cerr);
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tovi stats"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(tovi::kVersionMajor)
                                            .arg(tovi::kVersionMinor)
                                            .arg(tovi::kVersionRevision));
    // The window hides in the tray; only the exit question ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Companion tool for a Joint Operations: Typhoon Rising 1.5.1.5 server."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataDir(
        QStringLiteral("data-dir"),
        QStringLiteral("Folder of settings.ini, automessages.txt, stats.stats and Archives (default: the program's folder)."),
        QStringLiteral("DIR"));
    parser.addOption(dataDir);
    parser.process(app);

    QString folder = parser.isSet(dataDir) ? parser.value(dataDir) : QCoreApplication::applicationDirPath();
    folder = QDir(folder).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCritical("Cannot create the data folder %s", qPrintable(folder));
        return 1;
    }

    auto backend = tovi::MakePlatformBackend();
    tovi::QtScheduler scheduler;
    tovi::QtDialogs dialogs;
    tovi::QtHttpClient http;
    tovi::Application tovistats(*backend, dialogs, scheduler, http, folder, tovi::Application::DefaultLockPath());
    QTimer::singleShot(0, &app, [&tovistats] {
        tovistats.Start([](bool started) {
            if (started) return;
            // A box that says why stays up until the operator closes it.
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->isVisible()) {
                    QApplication::setQuitOnLastWindowClosed(true);
                    return;
                }
            }
            QCoreApplication::quit();
        });
    });
    return app.exec();
}
