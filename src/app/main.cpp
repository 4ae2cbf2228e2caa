#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "frmMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Tovi stats");
    QApplication::setApplicationVersion(QStringLiteral(TOVI_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription("Companion tool for a Joint Operations: Typhoon Rising 1.5.1.5 server.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataDir(
        "data-dir", "Folder of settings.ini, automessages.txt, stats.stats and Archives (default: the program's folder).",
        "DIR");
    parser.addOption(dataDir);
    parser.process(app);

    QString folder = parser.isSet(dataDir) ? parser.value(dataDir) : QCoreApplication::applicationDirPath();
    folder = QDir(folder).absolutePath();
    if (!QDir().mkpath(folder)) {
        qCritical("Cannot create the data folder %s", qPrintable(folder));
        return 1;
    }

    auto backend = tovi::MakePlatformBackend();
    tovi::MemoryClass memory(*backend);
    tovi::frmMain window(memory, folder);
    window.show();
    return app.exec();
}
