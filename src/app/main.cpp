#include <QApplication>
#include <QCoreApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QWidget>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#endif

#include <iostream>
#include <memory>
#include <string_view>

#include "AccountsCommand.h"
#include "Application.h"
#include "Headless.h"
#include "HistoryExport.h"
#include "StopRequests.h"
#include "StoreMigration.h"
#include "UnsavedStats.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"
#include "QtSupport.h"
#include "ToviVersion.h"
#if defined(TOVI_WEB_PANEL)
#include "ServicePanel.h"
#endif

namespace {

QPalette DarkPalette() {
    QPalette dark;
    const QColor window(0x2d, 0x2f, 0x33), base(0x1f, 0x21, 0x24), text(0xe6, 0xe6, 0xe6), muted(0x80, 0x84, 0x8a);
    dark.setColor(QPalette::Window, window);
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::Base, base);
    dark.setColor(QPalette::AlternateBase, window);
    dark.setColor(QPalette::ToolTipBase, base);
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::PlaceholderText, muted);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::Button, window);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::BrightText, Qt::red);
    dark.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xff));
    dark.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xb3));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Light, window.lighter(150));
    dark.setColor(QPalette::Midlight, window.lighter(125));
    dark.setColor(QPalette::Mid, window.darker(120));
    dark.setColor(QPalette::Dark, window.darker(160));
    dark.setColor(QPalette::Shadow, Qt::black);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, muted);
    return dark;
}

// Where the data lives without --data-dir: beside the program, unless the program is installed in
// the system's folders, which are no place for a user's data.
QString DefaultDataFolder() {
#if defined(TOVI_DATA_IN_HOME)
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/tovistats");
#else
    return QCoreApplication::applicationDirPath();
#endif
}

constexpr const char* kCommandsHelp =
    "\nCommands (each does its work and ends; --data-dir DIR as above):\n"
    "  --add-user NAME --role viewer|moderator|admin  Adds a web panel account; asks for its\n"
    "                                                 password.\n"
    "  --remove-user NAME                             Removes a web panel account.\n"
    "  --list-users                                   Lists the web panel's accounts.\n"
    "  --new-token NAME                               Gives an account a new API token.\n"
    "  --export-history FILE.csv [--since YYYY-MM-DD] Writes the record to a CSV file.\n"
    "  --migrate-store FROM TO [--server CODE]        Copies the record and the ban list between a\n"
    "                                                 file and postgres:CONNINFO.\n"
    "  --recover FILE                                 Queues the matches of a saved file or of log\n"
    "                                                 lines marked tovistats-recover (program stopped).\n";

}  // namespace

int main(int argc, char** argv) {
#ifndef _WIN32
    // The record holds password hashes, login addresses and chat: what the program makes is its
    // user's alone (the folder, the record, the settings and the stats files).
    umask(077);
    // A file size limit must fail the write (which keeps the match in memory), not end the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Sockets are capped far below this, so that a match file or the record always opens while
    // strangers hold the panel's connections.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
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
            return tovi::ExportHistory(args, DefaultDataFolder().toStdString(), std::cout,
                                       std::cerr);
        }
        if (tovi::WantsStoreMigration(args)) {
            QCoreApplication core(argc, argv);
            args.clear();
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
            return tovi::MigrateStore(args, QCoreApplication::applicationDirPath().toStdString(), std::cout, std::cerr);
        }
        if (tovi::WantsRecovery(args)) {
            QCoreApplication core(argc, argv);
            args.clear();
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
            return tovi::RecoverStats(args, DefaultDataFolder().toStdString(), std::cout, std::cerr);
        }
        if (tovi::WantsAccountCommand(args)) {
            QCoreApplication core(argc, argv);
            args.clear();
            const QStringList arguments = QCoreApplication::arguments();
            for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());
            return tovi::RunAccountCommand(args, DefaultDataFolder().toStdString(), std::cin,
                                           std::cout, std::cerr);
        }
    }
    // Without a window no display is needed: a Qt Core event loop only.
    // So do the help and the version, which must not need a display either.
    bool headless = false, windowless = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        headless = headless || arg == "--headless";
        windowless = windowless || arg == "--headless" || arg == "--help" || arg == "-h" || arg == "-?" ||
                     arg == "--help-all" || arg == "--version" || arg == "-v";
    }
    std::unique_ptr<QCoreApplication> application;
    if (windowless) {
        application = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        application = std::make_unique<QApplication>(argc, argv);
        // The window hides in the tray; only its Exit or a stop request ends the program.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    QCoreApplication& app = *application;
    QCoreApplication::setApplicationName(QStringLiteral("Tovi stats"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tovi::kVersionText));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Companion tool for a Joint Operations: Typhoon Rising 1.5.1.5 server."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataDir(
        QStringLiteral("data-dir"),
        QStringLiteral("Folder of settings.ini, automessages.txt, stats.stats and Archives (default: %1).")
            .arg(QDir::toNativeSeparators(DefaultDataFolder())),
        QStringLiteral("DIR"));
    parser.addOption(dataDir);
    const QCommandLineOption palette(
        QStringLiteral("palette"),
        QStringLiteral("Draw the window in Qt's Fusion style with a light or a dark palette instead of the desktop's."),
        QStringLiteral("light|dark"));
    parser.addOption(palette);
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QStringLiteral("Run without a window or tray icon (no display needed): the log goes to stderr, questions "
                       "are answered No, and SIGTERM or Ctrl+C stops the program."));
    parser.addOption(headlessOption);
    // The commands are taken before the window's options (above); the help names them too.
    if (!parser.parse(QCoreApplication::arguments())) {
        std::cerr << parser.errorText().toStdString() << "\n";
        return 1;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::cout << parser.helpText().toStdString() << kCommandsHelp;
        return 0;
    }
    parser.process(app);  // the version, and Qt's own options for --help-all
    // A palette is the window's: without one there is nothing to draw.
    if (!headless && parser.isSet(palette)) {
        const QString wanted = parser.value(palette);
        if (wanted != QLatin1String("light") && wanted != QLatin1String("dark")) {
            qCritical("--palette takes light or dark, not %s", qPrintable(wanted));
            return 2;
        }
        QApplication::setStyle(QStringLiteral("Fusion"));
        QApplication::setPalette(wanted == QLatin1String("dark") ? DarkPalette() : QApplication::style()->standardPalette());
    }

    QString folder = parser.isSet(dataDir) ? parser.value(dataDir) : DefaultDataFolder();
    folder = QDir(folder).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCritical("Cannot create the data folder %s", qPrintable(folder));
        return 1;
    }
#if defined(TOVI_DATA_IN_HOME)
    // Made by an older version with the desktop's usual modes: the folder is the user's alone.
    if (!parser.isSet(dataDir)) QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#endif

    auto backend = tovi::MakePlatformBackend();
    #if defined(TOVI_WEB_PANEL)
    const tovi::ServiceHost::Companion panel = &tovi::ServicePanel::Start;
#else
    const tovi::ServiceHost::Companion panel;
#endif
    if (headless) return tovi::RunHeadless(*backend, folder, panel);
    // A stop request quits; a quit that the window did not start runs its exit steps without asking.
    const tovi::StopRequests stops([] { QCoreApplication::quit(); });
    if (!stops.Catching())
        qWarning("No stop signal can be caught: SIGTERM ends the program without its exit steps.");
    tovi::QtScheduler scheduler;
    tovi::QtDialogs dialogs;
    tovi::QtHttpClient http;
    tovi::Application tovistats(*backend, dialogs, scheduler, http, folder, tovi::Application::DefaultLockPath());
    tovistats.Host().SetCompanion(panel);
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
    return QCoreApplication::exec();
}
