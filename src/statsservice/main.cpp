// tovistats-service: the stats web service the program reports to. Headless; one event loop.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "StatsService.h"
#include "ToviVersion.h"
#include "Windows1252.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop reads the pipe.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

std::string Sha256Hex(std::string_view bytes) {
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// A server code as the program sends it: the settings file's bytes, typed here in the locale's
// encoding (UTF-8).
std::string CodeBytes(const QString& argument) {
    return tovi::Utf8ToWindows1252(argument.toStdString());
}

// Where the data lives without --data-dir: beside the program, or where an installed service keeps it.
QString DefaultDataFolder() {
#if defined(TOVI_SERVICE_DATA_DIR)
    return QStringLiteral(TOVI_SERVICE_DATA_DIR);
#else
    return QCoreApplication::applicationDirPath();
#endif
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovistats-service"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(tovi::kVersionText));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The stats web service of Tovi stats: takes status reports and stats uploads, shows leaderboards."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataDir(
        QStringLiteral("data-dir"),
        QStringLiteral("Folder of tovistats-service.db and news.txt (default: %1).").arg(DefaultDataFolder()),
        QStringLiteral("DIR"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                    QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on (default 8642; 0: any free port)."),
                                  QStringLiteral("N"), QStringLiteral("8642"));
    const QCommandLineOption add(QStringLiteral("add-server"),
                                 QStringLiteral("Register a server code, then end."), QStringLiteral("CODE"));
    const QCommandLineOption remove(QStringLiteral("remove-server"),
                                    QStringLiteral("Unregister a server code (its matches stay), then end."),
                                    QStringLiteral("CODE"));
    const QCommandLineOption list(QStringLiteral("list-servers"),
                                  QStringLiteral("List the registered server codes with their public ids, then end."));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections"),
        QStringLiteral("Connections served at once; at this many, new ones wait (default 256)."),
        QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption maxPerAddress(
        QStringLiteral("max-per-address"),
        QStringLiteral("Connections served at once for one address (default 16); more wait their turn."),
        QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption requestGrace(
        QStringLiteral("request-grace"),
        QStringLiteral("Seconds a request may take before it must keep up 1 KiB/s (default 10)."),
        QStringLiteral("S"), QStringLiteral("10"));
    parser.addOptions({dataDir, listen, port, add, remove, list, maxConnections, maxPerAddress, requestGrace});
    parser.process(app);

    const QString folder =
        QDir(parser.isSet(dataDir) ? parser.value(dataDir) : DefaultDataFolder())
            .absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "Cannot create the data folder %s\n", qPrintable(folder));
        return 1;
    }
    const QString database = QDir(folder).filePath(QStringLiteral("tovistats-service.db"));
    auto opened = tovi::StatsServiceStore::Open(database.toStdString(), Sha256Hex);
    if (!opened.Store) {
        std::fprintf(stderr, "%s\n", opened.Error.c_str());
        return 1;
    }
    tovi::StatsServiceStore& store = *opened.Store;

    if (parser.isSet(add) || parser.isSet(remove) || parser.isSet(list)) {
        std::string error;
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (const QString& code : parser.values(add)) {
            if (!store.AddServer(CodeBytes(code), now, error)) {
                std::fprintf(stderr, "Cannot register %s: %s\n", qPrintable(code), error.c_str());
                return 1;
            }
            std::printf("Registered %s\n", qPrintable(code));
        }
        for (const QString& code : parser.values(remove)) {
            if (!store.RemoveServer(CodeBytes(code), error)) {
                std::fprintf(stderr, "Cannot remove %s: %s\n", qPrintable(code), error.c_str());
                return 1;
            }
            std::printf("Removed %s\n", qPrintable(code));
        }
        if (parser.isSet(list)) {
            for (const auto& server : store.Servers())
                std::printf("#%lld %s\n", static_cast<long long>(server.Id),
                            tovi::Windows1252ToUtf8(server.Code).c_str());
        }
        return 0;
    }

    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    const QHostAddress address(parser.value(listen));
    if (!portOk || portNumber > 65535 || address.isNull()) {
        std::fprintf(stderr, "Give --listen an IP address and --port a number from 0 to 65535\n");
        return 2;
    }
    auto positive = [&parser](const QCommandLineOption& option, int high) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        return ok && value >= 1 && value <= high ? value : 0;
    };
    const int connections = positive(maxConnections, 100000);
    const int perAddress = positive(maxPerAddress, 100000);
    const int grace = positive(requestGrace, 3600);
    if (connections == 0 || perAddress == 0 || grace == 0) {
        std::fprintf(stderr, "Give --max-connections, --max-per-address and --request-grace a number from 1\n");
        return 2;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return 1;
    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto reader = tovi::StatsServiceStore::OpenForReading(database.toStdString());
    if (!reader.Store) {
        std::fprintf(stderr, "%s\n", reader.Error.c_str());
        return 1;
    }
    tovi::StatsService service(store, folder, {}, std::move(reader.Store));
    service.Socket().maxConnections = connections;
    service.Socket().maxPerAddress = perAddress;
    service.Socket().pace.GraceMs = int64_t{grace} * 1000;
    const quint16 bound = service.Listen(address, static_cast<quint16>(portNumber));
    if (bound == 0) {
        std::fprintf(stderr, "Cannot listen on %s port %u\n", qPrintable(address.toString()), portNumber);
        return 1;
    }
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    // Tests started with --port 0 read the port from this line.
    std::printf("Listening on http://%s:%u/tovistats/\n", qPrintable(host), bound);
    std::fflush(stdout);
    const int status = app.exec();
    std::printf("Stopped\n");
    return status;
}
